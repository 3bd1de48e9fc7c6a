// AbXz: the liblzma stream decoder behind method 95. See the header.
#include "archive/AbXz.h"

#include <lzma.h>

#include <memory>

#include "archive/AbBoundedDecode.h"
#include "archive/AbLZMA.h"

namespace ab {

namespace {

struct LzmaStreamEnd {
  void operator()(lzma_stream* s) const { lzma_end(s); }
};

// liblzma counts a block's whole decoder state against its limit: the
// dictionary and, besides it, a few KiB for the LZMA2 coder and any filters
// before it. The engine's limit is on the dictionary, so the cap handed to
// liblzma leaves room for that state. No LZMA2 dictionary lies between
// 256 MiB and 384 MiB, so the allowance admits no larger dictionary.
constexpr uint64_t kStateAllowance = uint64_t{1} << 20;

} // namespace

void DecodeXzItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize) {
  if (!Src || !Des) rtl::Assert("DecodeXzItem: missing stream");
  lzma_stream strm = LZMA_STREAM_INIT;
  // Concatenated: streams may follow one another, with stream padding
  // between and after them, and whatever else follows the last is an error.
  lzma_ret r = lzma_stream_decoder(&strm, static_cast<uint64_t>(AbDecoderMemoryLimit) + kStateAllowance,
                                   LZMA_CONCATENATED);
  if (r != LZMA_OK) {
    lzma_end(&strm);
    RaiseLzmaResult(r);
  }
  std::unique_ptr<lzma_stream, LzmaStreamEnd> guard(&strm);
  DecodeToDeclaredSize(*Src, *Des, UncompressedSize,
                       [&](const uint8_t*& In, size_t& InAvail, uint8_t* Out, size_t& OutAvail, bool InputEnded) {
                         strm.next_in = In;
                         strm.avail_in = InAvail;
                         strm.next_out = Out;
                         strm.avail_out = OutAvail;
                         r = lzma_code(&strm, InputEnded ? LZMA_FINISH : LZMA_RUN);
                         In = strm.next_in;
                         InAvail = strm.avail_in;
                         OutAvail = strm.avail_out;
                         switch (r) {
                           case LZMA_STREAM_END: return true;
                           case LZMA_OK: return false;
                           // With all input given, no progress means the
                           // stream was cut short (or is not there at all).
                           case LZMA_BUF_ERROR:
                             if (InputEnded) RaiseLzmaResult(r);
                             return false;
                           case LZMA_MEMLIMIT_ERROR:
                             throw EAbMemoryLimit(rtl::Format("xz stream needing %llu bytes",
                                                              static_cast<unsigned long long>(lzma_memusage(&strm))));
                           default: RaiseLzmaResult(r);
                         }
                       });
}

} // namespace ab
