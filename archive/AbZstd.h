// AbZstd: ZIP method 93, Zstandard.
//
// The item's data is one or more Zstandard frames (skippable frames
// included), decoded by libzstd's streaming decoder. Its window is capped at
// AbDecoderMemoryLimit: a frame that asks for a larger window is refused
// with EAbMemoryLimit, which names that window in bytes, before it is
// reserved. The declared size is held to as described in AbBoundedDecode;
// corrupt data raises EAbZstdException with libzstd's own text.
#pragma once

#include <cstdint>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace ab {

class EAbZstdException : public rtl::Exception { using rtl::Exception::Exception; };

void DecodeZstdItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize);

} // namespace ab
