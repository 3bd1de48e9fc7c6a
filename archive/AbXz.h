// AbXz: ZIP method 95, xz data.
//
// The item's data is one or more whole .xz streams (header, blocks, index,
// footer), with stream padding between and after them, as the xz program
// writes and reads them; liblzma's stream decoder reads them as they are,
// checks included. Anything else after the last stream damages the item, and
// so does data that holds no stream at all, even for an empty item. Memory:
// a block whose dictionary is above AbDecoderMemoryLimit is refused with
// EAbMemoryLimit, which names the bytes it would need, before its dictionary
// is reserved. The declared size is held to as described in AbBoundedDecode;
// corrupt or cut data raises EAbLZMAException with the LZMA messages.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"

namespace ab {

void DecodeXzItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize);

} // namespace ab
