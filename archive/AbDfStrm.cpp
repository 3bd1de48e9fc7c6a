#include "archive/AbDfStrm.h"

#include <algorithm>
#include <cstring>

namespace ab {

// ---------------------------------------------------------------------------
// Construction and repositioning
// ---------------------------------------------------------------------------

TAbDfInBitStream::TAbDfInBitStream(rtl::TStream* aStream, TAbProgressStep aOnProgress, int32_t aStreamSize)
    : FStream(aStream), FStreamSize(aStreamSize) {
  if (aStream == nullptr) rtl::Assert("TAbDfInBitStream.Create: Cannot create a bit stream wrapping a nil stream");
  FBuffer = std::make_unique<uint8_t[]>(kBufferSize);
  FBufStart = FBufPos = FBufEnd = FBuffer.get();
  if (aOnProgress && aStreamSize > 0) FOnProgress = std::move(aOnProgress);
}

TAbDfInBitStream::~TAbDfInBitStream() {
  try {
    Close();
  } catch (...) {
    // Destruction during a failure must not replace that failure.
  }
}

void TAbDfInBitStream::Close() {
  if (FClosed) return;
  FClosed = true;
  // Everything not consumed goes back: the unread buffer bytes and the whole
  // bytes still in the accumulator. Zero bytes that completed the last word
  // were never read from the source, so they are not given back; and when
  // the decoder consumed some of them, the source simply stays at its end:
  // moving it forward would put it past data that does not exist (and make
  // the reported compressed size larger than the input).
  int64_t unconsumed = (FBufEnd - FBufPos) + static_cast<int64_t>(FBitsLeft / 8);
  int64_t back = std::max<int64_t>(0, unconsumed - FFakeCount);
  if (back > 0) FStream->Seek(-back, rtl::soCurrent);
}

[[noreturn]] void TAbDfInBitStream::NoMoreData(const char* aWho) {
  throw EAbInternalInflateError(std::string("no more compressed data in stream [TAbDfInBitStream.") + aWho + "]");
}

// ---------------------------------------------------------------------------
// Refilling
// ---------------------------------------------------------------------------

bool TAbDfInBitStream::NeedSlow(uint32_t aCount) {
  while (FBitsLeft < aCount) {
    if (FBufPos == FBufEnd && !ibsFillBuffer()) return false;
    // Stop below 56 bits so that a fast-loop refill never shifts by 64.
    while (FBitsLeft < 56 && FBufPos < FBufEnd) {
      FBitBuffer |= static_cast<uint64_t>(*FBufPos++) << FBitsLeft;
      FBitsLeft += 8;
    }
  }
  return true;
}

bool TAbDfInBitStream::ibsFillBuffer() {
  if (FBufEnd - FBufPos >= 4) rtl::Assert("TAbDfInBitStream.ibsFillBuffer: the buffer should be almost empty");
  // Every buffered byte is in the accumulator by now. The bytes of the
  // current 32-bit word that are already here count against the request,
  // exactly as if they had been kept at the start of the buffer.
  int64_t end = FBufBase + (FBufEnd - FBufStart);
  int32_t started = static_cast<int32_t>((end - FAnchor) & 3);
  FBufBase = end;
  // A source in memory is read where it lies; the request is the same.
  int64_t got = 0;
  const uint8_t* view = FStream->ReadView(kBufferSize - started, got);
  FBufStart = view != nullptr ? view : FBuffer.get();
  if (view == nullptr) got = FStream->Read(FBuffer.get(), kBufferSize - started);
  FBufPos = FBufEnd = FBufStart;
  if (got > 0) {
    FBufEnd = FBufStart + got;
    FByteCount += got;
    if (FOnProgress) {
      // Nearest integer, ties to even.
      int64_t num = FByteCount * 100, q = num / FStreamSize, r = num % FStreamSize;
      if (2 * r > FStreamSize || (2 * r == FStreamSize && (q & 1))) ++q;
      FOnProgress(static_cast<int32_t>(q));
    }
    return true;
  }
  if (started != 0) {
    int32_t fake = 4 - started;
    std::memset(FBuffer.get(), 0, static_cast<size_t>(fake));
    FBufStart = FBufPos = FBuffer.get();
    FBufEnd = FBuffer.get() + fake;
    FFakeCount += fake;
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Bit operations
// ---------------------------------------------------------------------------

bool TAbDfInBitStream::ReadBit() {
  if (!Need(1)) NoMoreData("ReadBit");
  bool bit = FBitBuffer & 1;
  Consume(1);
  return bit;
}

uint32_t TAbDfInBitStream::ReadBits(int32_t aCount) {
  if (aCount < 1 || aCount > 16)
    throw EAbInternalInflateError("count of bits must be between 1 and 16 inclusive [TAbDfInBitStream.ReadBits]");
  if (!Need(static_cast<uint32_t>(aCount))) NoMoreData("ReadBits");
  uint32_t v = static_cast<uint32_t>(FBitBuffer & ((1u << aCount) - 1));
  Consume(static_cast<uint32_t>(aCount));
  return v;
}

uint32_t TAbDfInBitStream::PeekBits(int32_t aCount) {
  if (aCount < 0 || aCount > 32)
    rtl::Assert("TAbDfInBitStream.PeekBits: count of bits must be between 1 and 32 inclusive");
  Need(static_cast<uint32_t>(aCount));  // what is missing reads as zeros
  FPeekCount = aCount;
  return static_cast<uint32_t>(FBitBuffer & ((uint64_t{1} << aCount) - 1));
}

void TAbDfInBitStream::DiscardBits(int32_t aCount) {
  if (aCount > FPeekCount) rtl::Assert("TAbDfInBitStream.DiscardBits: discarding more bits than peeked");
  if (aCount < 1 || aCount > 32)
    throw EAbInternalInflateError("count of bits must be between 1 and 32 inclusive [TAbDfInBitStream.DiscardBits]");
  if (!Need(static_cast<uint32_t>(aCount))) NoMoreData("DiscardBits");
  Consume(static_cast<uint32_t>(aCount));
  FPeekCount = 0;
}

void TAbDfInBitStream::AlignToByte() { Consume(FBitsLeft % 8); }

void TAbDfInBitStream::ReadBuffer(void* aBuffer, int32_t aCount) {
  if (FBitsLeft % 8 != 0)
    rtl::Assert("TAbDfInBitStream.ReadBuffer. cannot read a buffer unless the stream is byte-aligned");
  auto* out = static_cast<uint8_t*>(aBuffer);
  while (aCount > 0 && FBitsLeft > 0) {
    *out++ = static_cast<uint8_t>(FBitBuffer);
    Consume(8);
    --aCount;
  }
  while (aCount > 0) {
    if (FBufPos == FBufEnd && !ibsFillBuffer()) NoMoreData("ReadBuffer");
    int32_t n = static_cast<int32_t>(std::min<int64_t>(aCount, FBufEnd - FBufPos));
    std::memcpy(out, FBufPos, static_cast<size_t>(n));
    out += n;
    FBufPos += n;
    aCount -= n;
  }
  // Words are counted afresh from the first byte after the copied data.
  FAnchor = FBufBase + (FBufPos - FBufStart) - FBitsLeft / 8;
}

} // namespace ab
