// AbXz: ZIP method 95, an xz stream.
//
// The item's data is a whole .xz stream (header, blocks, index, footer), so
// liblzma's stream decoder reads it as it is, checks included. The decoder's
// memory is capped at AbDecoderMemoryLimit through liblzma's own limit: a
// stream whose filters need more is refused with EAbMemoryLimit before its
// dictionary is reserved. The declared size is held to as described in
// AbBoundedDecode; corrupt data raises EAbLZMAException with the LZMA
// messages.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"

namespace ab {

void DecodeXzItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize);

} // namespace ab
