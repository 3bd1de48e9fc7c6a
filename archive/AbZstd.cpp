// AbZstd: the libzstd streaming decoder behind method 93. See the header.
#include "archive/AbZstd.h"

#define ZSTD_STATIC_LINKING_ONLY  // the frame header reader
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>
#include <string>

#include "archive/AbBoundedDecode.h"

namespace ab {

namespace {

// The window limit as libzstd takes it: a power of two.
constexpr int kWindowLogMax = 28;
static_assert((int64_t{1} << kWindowLogMax) == AbDecoderMemoryLimit, "the window cap is the decoder limit");
constexpr size_t kHeaderMax = ZSTD_FRAMEHEADERSIZE_MAX;

struct DStreamFree {
  void operator()(ZSTD_DStream* s) const { ZSTD_freeDStream(s); }
};

// Raises for a library error. Head holds the first bytes of the frame in
// hand, so that a window refused as too large can be named exactly.
void Check(size_t Result, const std::string& Head) {
  if (!ZSTD_isError(Result)) return;
  if (ZSTD_getErrorCode(Result) == ZSTD_error_frameParameter_windowTooLarge) {
    ZSTD_frameHeader fh{};
    if (ZSTD_getFrameHeader(&fh, Head.data(), Head.size()) == 0)
      throw EAbMemoryLimit(rtl::Format("Zstandard window of %llu bytes", static_cast<unsigned long long>(fh.windowSize)));
    throw EAbMemoryLimit("Zstandard window above 256 MiB");
  }
  throw EAbZstdException(std::string("Zstandard: ") + ZSTD_getErrorName(Result));
}

} // namespace

void DecodeZstdItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize) {
  if (!Src || !Des) rtl::Assert("DecodeZstdItem: missing stream");
  std::unique_ptr<ZSTD_DStream, DStreamFree> ds(ZSTD_createDStream());
  if (!ds) throw EAbZstdException("Zstandard: out of memory");
  Check(ZSTD_DCtx_setParameter(ds.get(), ZSTD_d_windowLogMax, kWindowLogMax), {});
  // 0 once a frame has been decoded and flushed whole: the stream may end
  // there, or another frame follow.
  size_t last = 1;
  // The bytes of the current frame consumed so far, up to a whole header
  // (the library keeps its own copy to itself).
  std::string head;
  DecodeToDeclaredSize(*Src, *Des, UncompressedSize,
                       [&](const uint8_t*& In, size_t& InAvail, uint8_t* Out, size_t& OutAvail, bool InputEnded) {
                         if (InAvail == 0 && InputEnded) return last == 0;
                         if (last == 0) head.clear();
                         const char* const at = reinterpret_cast<const char*>(In);
                         ZSTD_inBuffer ib{In, InAvail, 0};
                         ZSTD_outBuffer ob{Out, OutAvail, 0};
                         last = ZSTD_decompressStream(ds.get(), &ob, &ib);
                         if (ZSTD_isError(last)) Check(last, head + std::string(at, std::min(InAvail, kHeaderMax)));
                         if (head.size() < kHeaderMax) head.append(at, std::min(ib.pos, kHeaderMax - head.size()));
                         In += ib.pos;
                         InAvail -= ib.pos;
                         OutAvail -= ob.pos;
                         return false;
                       });
}

} // namespace ab
