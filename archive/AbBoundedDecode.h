// AbBoundedDecode: the input and output loop shared by the streaming
// library decoders whose items carry their own end (xz, Zstandard).
//
// Such a stream says itself where it ends, and the item says how many bytes
// it holds; the two must agree. The loop feeds the decoder 64 KiB of input
// at a time and offers it no more output room than the declared size still
// allows. Once the size is reached it offers one byte of room: the stream
// must then end (its trailer and checksums are still read and checked), and
// a byte produced there is output past the declared size. Both that and a
// stream that ends, or runs out of input, before the size is reached fail
// with EAbSizeMismatch; nothing past the declared size is ever written.
//
// The decoder is a step function over the two windows:
//
//   bool Step(const uint8_t*& In, size_t& InAvail, uint8_t* Out, size_t& OutAvail, bool InputEnded)
//
// It consumes from In (advancing it and lowering InAvail), produces into Out
// (lowering OutAvail), and returns true once the stream has ended. It raises
// its own exceptions for corrupt data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "archive/AbExcept.h"
#include "rtl/Classes.h"

namespace ab {

template <class TStep>
void DecodeToDeclaredSize(rtl::TStream& Src, rtl::TStream& Des, int64_t Size, TStep&& Step) {
  constexpr size_t kBufSize = 65536;
  std::unique_ptr<uint8_t[]> inBuf(new uint8_t[kBufSize]), outBuf(new uint8_t[kBufSize]);
  const uint8_t* in = inBuf.get();
  size_t inAvail = 0;
  bool inputEnded = false;
  int64_t remaining = Size;
  int stalls = 0;
  for (;;) {
    if (inAvail == 0 && !inputEnded) {
      const int64_t got = Src.Read(inBuf.get(), kBufSize);
      in = inBuf.get();
      inAvail = got > 0 ? static_cast<size_t>(got) : 0;
      inputEnded = got <= 0;
    }
    const size_t room = remaining > 0 ? static_cast<size_t>(std::min<int64_t>(remaining, kBufSize)) : 1;
    size_t outAvail = room;
    const size_t inBefore = inAvail;
    const bool ended = Step(in, inAvail, outBuf.get(), outAvail, inputEnded);
    const size_t produced = room - outAvail;
    if (static_cast<int64_t>(produced) > remaining) throw EAbSizeMismatch();
    if (produced) Des.WriteBuffer(outBuf.get(), static_cast<int64_t>(produced));
    remaining -= static_cast<int64_t>(produced);
    if (ended) break;
    // A decoder that has input (or has been told there is no more) and twice
    // neither takes nor gives anything cannot go on: the item is cut short.
    const bool stalled = inAvail == inBefore && produced == 0 && (inputEnded || inAvail > 0);
    stalls = stalled ? stalls + 1 : 0;
    if (stalls > 1) throw EAbSizeMismatch();
  }
  if (remaining != 0) throw EAbSizeMismatch();
}

} // namespace ab
