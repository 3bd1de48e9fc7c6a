// AbZstd: the libzstd streaming decoder behind method 93. See the header.
#include "archive/AbZstd.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <memory>

#include "archive/AbBoundedDecode.h"

namespace ab {

namespace {

// The window limit as libzstd takes it: a power of two.
constexpr int kWindowLogMax = 28;
static_assert((int64_t{1} << kWindowLogMax) == AbDecoderMemoryLimit, "the window cap is the decoder limit");

struct DStreamFree {
  void operator()(ZSTD_DStream* s) const { ZSTD_freeDStream(s); }
};

void Check(size_t Result) {
  if (!ZSTD_isError(Result)) return;
  if (ZSTD_getErrorCode(Result) == ZSTD_error_frameParameter_windowTooLarge)
    throw EAbMemoryLimit("Zstandard window above 256 MiB");
  throw EAbZstdException(std::string("Zstandard: ") + ZSTD_getErrorName(Result));
}

} // namespace

void DecodeZstdItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize) {
  if (!Src || !Des) rtl::Assert("DecodeZstdItem: missing stream");
  std::unique_ptr<ZSTD_DStream, DStreamFree> ds(ZSTD_createDStream());
  if (!ds) throw EAbZstdException("Zstandard: out of memory");
  Check(ZSTD_DCtx_setParameter(ds.get(), ZSTD_d_windowLogMax, kWindowLogMax));
  // 0 once a frame has been decoded and flushed whole: the stream may end
  // there, or another frame follow.
  size_t last = 1;
  DecodeToDeclaredSize(*Src, *Des, UncompressedSize,
                       [&](const uint8_t*& In, size_t& InAvail, uint8_t* Out, size_t& OutAvail, bool InputEnded) {
                         if (InAvail == 0 && InputEnded) return last == 0;
                         ZSTD_inBuffer ib{In, InAvail, 0};
                         ZSTD_outBuffer ob{Out, OutAvail, 0};
                         last = ZSTD_decompressStream(ds.get(), &ob, &ib);
                         Check(last);
                         In += ib.pos;
                         InAvail -= ib.pos;
                         OutAvail -= ob.pos;
                         return false;
                       });
}

} // namespace ab
