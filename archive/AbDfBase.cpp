#include "archive/AbDfBase.h"

#include <algorithm>
#include <cstring>

namespace ab {

// ---------------------------------------------------------------------------
// Adler-32
// ---------------------------------------------------------------------------

void UpdateAdler32(uint32_t& CurAdler, const void* Buffer, int64_t BufSize) {
  constexpr uint32_t kBase = 65521;  // largest prime below 2^16
  constexpr int64_t kRun = 2048;     // sums stay below 2^32 within a run
  auto* p = static_cast<const uint8_t*>(Buffer);
  uint32_t s1 = CurAdler & 0xFFFF, s2 = CurAdler >> 16;
  while (BufSize > 0) {
    int64_t n = BufSize < kRun ? BufSize : kRun;
    BufSize -= n;
    while (n--) {
      s1 += *p++;
      s2 += s1;
    }
    s1 %= kBase;
    s2 %= kBase;
  }
  CurAdler = (s2 << 16) | s1;
}

// ---------------------------------------------------------------------------
// Exceptions
// ---------------------------------------------------------------------------

EAbInflateError::EAbInflateError(const std::string& aCause)
    : rtl::Exception("Arvelo inflate error, possibly a corrupted compressed stream. (Internal cause: " + aCause +
                     ")"),
      FCause(aCause) {}

// ---------------------------------------------------------------------------
// TAbDeflateHelper
// ---------------------------------------------------------------------------

TAbDeflateHelper::TAbDeflateHelper() = default;

void TAbDeflateHelper::Assign(const TAbDeflateHelper& aHelper) {
  FAmpleLength = aHelper.FAmpleLength;
  FChainLength = aHelper.FChainLength;
  FLogFile = aHelper.FLogFile;
  FMaxLazy = aHelper.FMaxLazy;
  FOptions = aHelper.FOptions;
  FPartSize = aHelper.FPartSize;
  FStreamSize = aHelper.FStreamSize;
  FWindowSize = aHelper.FWindowSize;
  FZipOption = aHelper.FZipOption;
  OnProgressStep = aHelper.OnProgressStep;
}

// Tuning values below 4 make no sense to the compressor; -1 means "default".
static int32_t AtLeastFour(int32_t v) { return (v < 4 && v != -1) ? 4 : v; }

void TAbDeflateHelper::SetAmpleLength(int32_t aValue) {
  FAmpleLength = AtLeastFour(aValue);
  FZipOption = '?';
}

void TAbDeflateHelper::SetChainLength(int32_t aValue) {
  FChainLength = AtLeastFour(aValue);
  FZipOption = '?';
}

void TAbDeflateHelper::SetMaxLazyLength(int32_t aValue) {
  FMaxLazy = AtLeastFour(aValue);
  FZipOption = '?';
}

void TAbDeflateHelper::SetOptions(int32_t aValue) {
  if (aValue != FOptions) {
    FOptions = aValue;
    FZipOption = '?';
  }
}

void TAbDeflateHelper::SetWindowSize(int32_t aValue) {
  // The compressor's hash chains work in 1 KiB steps; beyond 32 KiB only the
  // full history of the chosen format is meaningful.
  int32_t v = static_cast<int32_t>(((static_cast<int64_t>(aValue) + 1023) / 1024) * 1024);
  if (v > 32768) v = (FOptions & dfc_UseDeflate64) ? 65536 : 32768;
  FWindowSize = v;
}

void TAbDeflateHelper::SetPKZipOption(char aValue) {
  if (aValue >= 'A' && aValue <= 'Z') aValue = static_cast<char>(aValue - 'A' + 'a');
  if (aValue == FZipOption) return;
  int32_t options, ample, chain, lazy;
  switch (aValue) {
    case '0': options = (FOptions & ~0x0F) | 0x01; ample = 8; chain = 32; lazy = 16; break;
    case '2': options = FOptions | 0x0F; ample = 8; chain = 32; lazy = 16; break;
    case 'f': options = FOptions | 0x07; ample = 4; chain = 32; lazy = 6; break;
    case 'n': options = FOptions | 0x0F; ample = 16; chain = 32; lazy = 24; break;
    case 's': options = FOptions | 0x07; ample = 4; chain = 4; lazy = 4; break;
    case 'x': options = FOptions | 0x0F; ample = 64; chain = 4096; lazy = 258; break;
    default: return;
  }
  FOptions = options;
  FAmpleLength = ample;
  FChainLength = chain;
  FMaxLazy = lazy;
  FZipOption = aValue;
}

// ---------------------------------------------------------------------------
// TAbLogger
// ---------------------------------------------------------------------------

TAbLogger::TAbLogger(const std::string& aLogName) {
  if (aLogName.empty()) rtl::Assert("TAbLogger.Create: a filename must be provided for the logger");
  FStream = std::make_unique<rtl::TFileStream>(aLogName, rtl::fmCreate);
  FBuffer = std::make_unique<uint8_t[]>(kBufferSize);
}

TAbLogger::~TAbLogger() {
  try {
    Flush();
  } catch (...) {
    // A log that cannot be written must not turn a finished inflation into
    // a failure; the lines are diagnostic only.
  }
}

void TAbLogger::Flush() {
  if (FBufPos > 0) {
    int n = FBufPos;
    FBufPos = 0;
    FStream->WriteBuffer(FBuffer.get(), n);
  }
}

int64_t TAbLogger::Read(void*, int64_t) { rtl::Assert("TAbLogger.Read: loggers are write-only, no reading allowed"); }

int64_t TAbLogger::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<const uint8_t*>(Buffer);
  int64_t left = Count;
  while (left > 0) {
    if (FBufPos == kBufferSize) Flush();
    int64_t n = std::min<int64_t>(left, kBufferSize - FBufPos);
    std::memcpy(FBuffer.get() + FBufPos, p, static_cast<size_t>(n));
    FBufPos += static_cast<int>(n);
    p += n;
    left -= n;
  }
  if (FBufPos == kBufferSize) Flush();
  return Count;
}

int64_t TAbLogger::Seek(int64_t Offset, rtl::TSeekOrigin Origin) {
  if (Offset != 0 || Origin != rtl::soCurrent) rtl::Assert("TAbLogger.Seek: loggers are write-only, no seeking allowed");
  return FStream->Position() + FBufPos;
}

void TAbLogger::WriteStr(const std::string& aStr) { Write(aStr.data(), static_cast<int64_t>(aStr.size())); }

void TAbLogger::WriteLine(const std::string& aStr) {
  WriteStr(aStr);
  WriteStr(FLineDelim == ldCRLF ? "\r\n" : "\n");
}

} // namespace ab
