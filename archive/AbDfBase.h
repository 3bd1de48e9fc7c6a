// AbDfBase: base definitions of the inflater: the options object of one
// inflation, its progress type, its exceptions, the diagnostic log, and the
// Adler-32 check value.
//
// The options object is plain data. The inflater copies it on entry and only
// writes the two result sizes back, so a caller may reuse one object for many
// inflations. It also carries a compressor's tuning (ample, chain and lazy
// lengths, window size, preset letter), kept with their rules for callers
// that set them; nothing in this engine compresses with it, and inflation
// ignores them.
//
// Exceptions come in two layers. The inflater's own routines raise
// EAbInternalInflateError with a short cause text that names the routine;
// Inflate turns each one into a single public EAbInflateError that carries
// the cause in its message. EAbPartSizedInflate is a quiet stop signal and
// never leaves Inflate. All of them derive from the platform's base class,
// not from the engine's EAbException, so that the extraction loop classifies
// them as "other" failures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace ab {

// Adler-32 step of RFC 1950 on a running value (start value 1). The sums are
// reduced every 2048 bytes, the longest run that cannot overflow 32 bits here.
void UpdateAdler32(uint32_t& CurAdler, const void* Buffer, int64_t BufSize);

// ---------------------------------------------------------------------------
// Option bits
// ---------------------------------------------------------------------------

// Bits 0x01..0x08 are the compressor's choices; the inflater reads only these.
constexpr int32_t dfc_UseDeflate64 = 0x10;       // 64 KiB history, Deflate64 codes
constexpr int32_t dfc_UseAdler32 = 0x20;         // return Adler-32 instead of CRC-32
constexpr int32_t dfc_TestOnly = 0x40000000;     // decode and check, write nothing

// ---------------------------------------------------------------------------
// Progress and exceptions
// ---------------------------------------------------------------------------

// Called with the percentage of the compressed input read so far.
using TAbProgressStep = std::function<void(int32_t aPercentDone)>;

// The one public failure of Inflate: any internal fault, with its cause.
class EAbInflateError : public rtl::Exception {
public:
  explicit EAbInflateError(const std::string& aCause);
  const std::string& Cause() const { return FCause; }

private:
  std::string FCause;
};

// An internal fault; its message is the bare cause text. Never leaves Inflate.
class EAbInternalInflateError : public rtl::Exception {
public:
  using rtl::Exception::Exception;
};

// The output window reached the partial size; a signal, not an error.
class EAbPartSizedInflate : public rtl::Exception {
public:
  EAbPartSizedInflate() : rtl::Exception(std::string()) {}
};

// ---------------------------------------------------------------------------
// TAbDeflateHelper
// ---------------------------------------------------------------------------

class TAbDeflateHelper {
public:
  TAbDeflateHelper();

  // Copies every property except the two result sizes.
  void Assign(const TAbDeflateHelper& aHelper);

  int32_t AmpleLength() const { return FAmpleLength; }
  void SetAmpleLength(int32_t aValue);
  int32_t ChainLength() const { return FChainLength; }
  void SetChainLength(int32_t aValue);
  int32_t MaxLazyLength() const { return FMaxLazy; }
  void SetMaxLazyLength(int32_t aValue);
  int32_t WindowSize() const { return FWindowSize; }
  void SetWindowSize(int32_t aValue);
  int32_t Options() const { return FOptions; }
  void SetOptions(int32_t aValue);
  char PKZipOption() const { return FZipOption; }
  void SetPKZipOption(char aValue);

  int64_t StreamSize() const { return FStreamSize; }
  void SetStreamSize(int64_t aValue) { FStreamSize = aValue; }
  int64_t PartialSize() const { return FPartSize; }
  void SetPartialSize(int64_t aValue) { FPartSize = aValue; }
  const std::string& LogFile() const { return FLogFile; }
  void SetLogFile(const std::string& aValue) { FLogFile = aValue; }

  int64_t CompressedSize() const { return FSizeCompressed; }
  void SetCompressedSize(int64_t aValue) { FSizeCompressed = aValue; }
  int64_t NormalSize() const { return FSizeNormal; }
  void SetNormalSize(int64_t aValue) { FSizeNormal = aValue; }

  TAbProgressStep OnProgressStep;

private:
  int32_t FAmpleLength = 8;
  int32_t FChainLength = 32;
  std::string FLogFile;
  int32_t FMaxLazy = 16;
  int32_t FOptions = 0x0F;
  int64_t FPartSize = 0;
  int64_t FSizeCompressed = 0;
  int64_t FSizeNormal = 0;
  int64_t FStreamSize = 0;
  int32_t FWindowSize = 32768;
  char FZipOption = 'n';
};

// ---------------------------------------------------------------------------
// TAbLogger: a write-only diagnostic log over a newly created file
// ---------------------------------------------------------------------------

enum class TAbLineDelimiter { ldCRLF, ldLF };
using enum TAbLineDelimiter;

class TAbLogger : public rtl::TStream {
public:
  explicit TAbLogger(const std::string& aLogName);
  ~TAbLogger() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  // Only a position query (offset 0 from the current position) is allowed.
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;

  void WriteLine(const std::string& aStr);
  void WriteStr(const std::string& aStr);
  TAbLineDelimiter LineDelimiter() const { return FLineDelim; }
  void SetLineDelimiter(TAbLineDelimiter aValue) { FLineDelim = aValue; }

private:
  void Flush();

  // Lines are small and many; one file write per 4 KiB keeps logging cheap.
  static constexpr int kBufferSize = 4096;
  std::unique_ptr<rtl::TFileStream> FStream;
  std::unique_ptr<uint8_t[]> FBuffer;
  int FBufPos = 0;
  TAbLineDelimiter FLineDelim = ldCRLF;
};

} // namespace ab
