// A memory stream that neither lends its memory for in-place output nor
// shows it to a reader, so that producers and consumers able to work in a
// memory stream's own memory take the ordinary ways of writing and reading.
// The fuzz targets and the tests run the inflater both ways with it.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"

namespace arvelofuzz {

struct TUnlentMemoryStream : rtl::TMemoryStream {
  using rtl::TMemoryStream::TMemoryStream;
  uint8_t* InPlaceRoom(int64_t, int64_t, int64_t& Room) override {
    Room = 0;
    return nullptr;
  }
  const uint8_t* ReadView(int64_t, int64_t& Got) override {
    Got = 0;
    return nullptr;
  }
};

} // namespace arvelofuzz
