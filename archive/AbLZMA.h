// AbLZMA: ZIP method 14, LZMA.
//
// A method-14 item starts with a small header of its own: two version bytes
// of the compressing SDK (ignored), a 16-bit count of property bytes, and the
// properties: the lc/lp/pb byte and the 32-bit dictionary size. The raw LZMA
// stream follows. The engine reads that header itself and gives the five
// property bytes to liblzma's raw LZMA1 decoder.
//
// End rules. The item's uncompressed size is known, so decoding stops there:
// the stream may end at that size with or without an end marker, and an end
// marker anywhere else is a data error (liblzma's LZMA1EXT filter with the
// known size and ALLOW_EOPM gives exactly this). Input that runs out first is
// not an error here: the decoder stops with what it has and the CRC check of
// the pipeline rejects the short output.
//
// Memory. The window reserved is the dictionary the header names, but never
// more than the item's size (no match reaches back past its first byte); a
// window still above AbDecoderMemoryLimit refuses the item with
// EAbMemoryLimit before anything is reserved.
//
// Results are numbered as the LZMA SDK numbers them (1 data error, 2 memory,
// 4 unsupported, 5 parameter, 9 write error, ...); liblzma's own codes are
// mapped onto that numbering before an EAbLZMAException is raised, so that
// the messages are the same whichever decoder sits underneath.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace ab {

class EAbLZMAException : public rtl::Exception { using rtl::Exception::Exception; };

// Message for an SDK-numbered result, "Unknown LZMA error (%d)" for others.
std::string LzmaErrorMessage(int Result);

// Raises the EAbLZMAException for one of liblzma's results (an lzma_ret),
// numbered as the SDK numbers them.
[[noreturn]] void RaiseLzmaResult(int LzmaRet);

// Decodes one whole method-14 item from Src (positioned at the item's data)
// into Des. UncompressedSize -1 means unknown: the stream must then end with
// an end marker. Failures raise EAbLZMAException; a short header raises
// rtl::EReadError; a window above the decoder limit raises EAbMemoryLimit.
void DecodeLzmaItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize);

} // namespace ab
