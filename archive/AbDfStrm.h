// AbDfStrm: the inflater's bit reader.
//
// Compressed input arrives from a stream in requests of up to 16 KiB (read
// where it lies when the source is in memory, copied otherwise) and is
// handed out as bits, first bit in bit 0. The accumulator is 64 bits wide so
// that the decoder's inner loop can refill it with one unaligned 8-byte load
// and then decode a literal/length code, its extra bits, a distance code and
// its extra bits without looking at the input again. The class's own
// operations (ReadBit, PeekBits, ...) are the careful path used near the end
// of a buffer, for block headers and for stored data; the decoder's fast loop
// works on the same fields directly (it is a friend) while enough input
// remains in the buffer for its word-sized loads.
//
// Rules the careful path keeps:
//
//   * A peek never fails; bits past the end of the input read as 0. Only a
//     consuming operation fails, with a cause that names the operation, so a
//     truncated stream fails at the first symbol whose bits are missing.
//   * The input is read as if it were consumed in 32-bit words counted from
//     the start (or from the end of the last stored-data read). When the
//     source ends in the middle of such a word, up to 3 zero bytes complete it
//     and count as input. The same rule fixes the size of every read request
//     (16384 minus the bytes of a started word), so the source sees the same
//     requests, and a progress handler the same percentages, whatever the
//     decoder does in between.
//   * Bits above BitsLeft are zero whenever the careful path runs; the fast
//     loop masks its look-ahead off before handing the state back.
//   * Close (or destruction) moves the source back to just after the last
//     byte from which a bit was consumed, so a reader that follows (a gzip
//     trailer, the next member) continues at the right place. Bits taken
//     from the zero bytes past the end leave the source at its end, never
//     beyond it.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/AbDfBase.h"
#include "rtl/Classes.h"

namespace ab {

class TAbDfDecoder;

class TAbDfInBitStream {
public:
  TAbDfInBitStream(rtl::TStream* aStream, TAbProgressStep aOnProgress, int32_t aStreamSize);
  ~TAbDfInBitStream();
  TAbDfInBitStream(const TAbDfInBitStream&) = delete;
  TAbDfInBitStream& operator=(const TAbDfInBitStream&) = delete;

  bool ReadBit();
  uint32_t ReadBits(int32_t aCount);               // 1..16 bits
  uint32_t PeekBits(int32_t aCount);               // 0..32 bits, zeros past the end
  void DiscardBits(int32_t aCount);                // at most the last peek's width
  void AlignToByte();
  void ReadBuffer(void* aBuffer, int32_t aCount);  // whole bytes, byte-aligned only

  // Repositions the source after the last consumed byte. Destruction does the
  // same when Close was not called; a failure there is swallowed, so callers
  // that want to see it call Close.
  void Close();

  uint64_t BitBuffer() const { return FBitBuffer; }
  int32_t BitsLeft() const { return static_cast<int32_t>(FBitsLeft); }

  // One read request: the size the source is asked for when the buffer runs dry.
  static constexpr int32_t kBufferSize = 16384;

private:
  friend class TAbDfDecoder;

  // Loads whole bytes into the accumulator until it holds at least aCount
  // bits, reading the source when the buffer runs dry. False: input ended.
  bool Need(uint32_t aCount) {
    if (FBitsLeft >= aCount) return true;
    return NeedSlow(aCount);
  }
  bool NeedSlow(uint32_t aCount);
  bool ibsFillBuffer();
  void Consume(uint32_t aCount) {
    FBitBuffer >>= aCount;
    FBitsLeft -= aCount;
  }
  [[noreturn]] static void NoMoreData(const char* aWho);

  uint64_t FBitBuffer = 0;
  uint32_t FBitsLeft = 0;
  std::unique_ptr<uint8_t[]> FBuffer;
  const uint8_t* FBufStart = nullptr;  // the buffered bytes: FBuffer or a view of the source
  const uint8_t* FBufPos = nullptr;
  const uint8_t* FBufEnd = nullptr;
  int64_t FByteCount = 0;
  int32_t FFakeCount = 0;
  TAbProgressStep FOnProgress;
  int32_t FPeekCount = 0;
  rtl::TStream* FStream;
  int32_t FStreamSize;
  int64_t FBufBase = 0;  // input offset of FBufStart[0]
  int64_t FAnchor = 0;   // input offset where 32-bit words are counted from
  bool FClosed = false;
};

} // namespace ab
