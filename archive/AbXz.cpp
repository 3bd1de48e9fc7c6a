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

} // namespace

void DecodeXzItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize) {
  if (!Src || !Des) rtl::Assert("DecodeXzItem: missing stream");
  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret r = lzma_stream_decoder(&strm, static_cast<uint64_t>(AbDecoderMemoryLimit), 0);
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
                           case LZMA_OK:
                           case LZMA_BUF_ERROR: return false;  // no progress: the loop judges
                           case LZMA_MEMLIMIT_ERROR:
                             throw EAbMemoryLimit(rtl::Format("xz stream needing %llu MiB",
                                                              static_cast<unsigned long long>(lzma_memusage(&strm) >> 20)));
                           default: RaiseLzmaResult(r);
                         }
                       });
}

} // namespace ab
