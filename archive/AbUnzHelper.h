// AbUnzHelper: decoders for the three oldest ZIP methods: shrinking (1),
// reducing with factors 1 to 4 (2 to 5) and imploding (6).
//
// One helper decodes one item. It reads the item's (bounded, decrypted)
// compressed data from the input stream and passes the decoded bytes to the
// output stage, which checks the CRC-32 and reports progress; the caller
// compares the CRC. Bad data is mostly left for that comparison to catch, as
// these formats carry no check of their own, but input that would break a
// table's bounds (too many followers, a code-length list longer than its
// tree, LZW codes or strings beyond the table) fails at once with
// EAbCorruptData, before anything is read or written outside a table.
//
// Data flow:
//
//   input --4096-byte blocks--> FInBuf --64-bit bit buffer--> decoder
//   decoder --bytes--> FOutBuf (32768) --FlushOutput--> FOutWriter
//   FOutWriter = the output stage (method 1)
//              = a TabSlidingWindowStream over it (methods 2-6)
//
// Reducing and imploding copy earlier output. The bytes still in FOutBuf are
// copied from there, older ones straight from the window's memory, and
// positions before the start of the output read as 0. FOutBuf is passed on
// only when it is full or the item's size is reached; the window turns that
// into 8192-byte chunks, so the output stage sees the same pieces whatever
// the decoder does.
//
// Bits are consumed least significant first. The bit buffer is topped up from
// FInBuf without stream calls; the stream is read only when a bit is needed
// that FInBuf no longer holds. When the stream has ended, every further byte
// reads as the first byte of the last block (0 if none was read) and FInEof is
// set; each decoder looks at FInEof where its format allows it to stop.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "archive/AbZipTyp.h"  // TAbZipDictionarySize
#include "rtl/Classes.h"

namespace ab {

class TabSlidingWindowStream;

class TAbUnzipHelper {
public:
  // Neither stream is owned. InputStream delivers the compressed data and
  // ends where it ends; OutputStream receives the decoded bytes (for methods
  // 2-6 through a window that first sets its position to 0).
  TAbUnzipHelper(rtl::TStream* InputStream, rtl::TStream* OutputStream,
                 TAbZipDictionarySize DictionarySize = dsInvalid, uint32_t UnCompressedSize = 0,
                 uint8_t CompressionMethod = 8, uint8_t ShannonFanoTreeCount = 0);
  ~TAbUnzipHelper();

  TAbUnzipHelper(const TAbUnzipHelper&) = delete;
  TAbUnzipHelper& operator=(const TAbUnzipHelper&) = delete;

  // Decodes the whole item. Whatever happens, what has been decoded is passed
  // on before it returns or the failure propagates.
  void Execute();

  uint32_t UnCompressedSize() const { return FUnCompressedSize; }
  void SetUnCompressedSize(uint32_t Value) { FUnCompressedSize = Value; }
  TAbZipDictionarySize DictionarySize() const { return FDictionarySize; }
  void SetDictionarySize(TAbZipDictionarySize Value) { FDictionarySize = Value; }
  uint8_t ShannonFanoTreeCount() const { return FShannonFanoTreeCount; }
  void SetShannonFanoTreeCount(uint8_t Value) { FShannonFanoTreeCount = Value; }
  uint8_t CompressionMethod() const { return FCompressionMethod; }
  void SetCompressionMethod(uint8_t Value) { FCompressionMethod = Value; }

  // Sizes of the buffers.
  static constexpr int32_t OutBufSize = 32768;
  static constexpr int32_t InBufSize = 4096;

private:
  // One Shannon-Fano tree of an imploded item, sorted by (bit length, value),
  // with a lookup table indexed by the next MaxLength input bits.
  struct TShannonFanoTree {
    int32_t Count = 0;     // entries: 256 for literals, 64 for lengths and distances
    int32_t MaxLength = 0; // largest bit length
    struct Entry {
      uint16_t Code;       // bit-reversed: the code's first bit is bit 0
      uint8_t Value;
      uint8_t BitLength;   // 0 for values the length list did not describe
    } Entries[256];
    // Per input pattern: BitLength shl 8 or value; 0 where no code matches.
    std::vector<uint16_t> Lookup;
  };

  // Bit reader.
  uint32_t ReadBits(int32_t n);
  void FillBits(int32_t n);
  void TopUpBits();
  void RefillInput();

  // Output.
  void PutByte(uint8_t b);
  void PutBytes(const uint8_t* p, int32_t n);
  void CopyMatch(int64_t Src, uint32_t Length);
  int32_t RoomBeforeFlush() const;
  void AfterPut();
  void FlushOutput();

  // Decoders.
  void Unshrink();
  void Unreduce();
  void Explode();
  void LoadShannonFanoTree(TShannonFanoTree& Tree, int32_t n);
  uint8_t DecodeShannonFano(const TShannonFanoTree& Tree);
  uint8_t DecodeShannonFanoBitwise(const TShannonFanoTree& Tree);

  int64_t OutputCount() const { return FOutSent + FOutPos; }

  rtl::TStream* FZStream;    // compressed input; not owned
  rtl::TStream* FOutStream;  // output stage; not owned
  rtl::TStream* FOutWriter = nullptr;       // FOutStream or the window
  TabSlidingWindowStream* FWindow = nullptr; // the window while methods 2-6 run

  uint32_t FUnCompressedSize = 0;
  uint8_t FCompressionMethod = 8;
  TAbZipDictionarySize FDictionarySize = dsInvalid;
  uint8_t FShannonFanoTreeCount = 0;

  std::unique_ptr<uint8_t[]> FOutBuf;
  int64_t FOutSent = 0;   // bytes passed on to FOutWriter
  int32_t FOutPos = 0;    // bytes waiting in FOutBuf

  std::unique_ptr<uint8_t[]> FInBuf;
  int32_t FInPos = 0;     // next byte of FInBuf to take
  int32_t FInCnt = 0;     // valid bytes in FInBuf
  bool FInEof = false;
  uint64_t FBitBuf = 0;   // unconsumed bits, next bit in bit 0
  int32_t FBitsLeft = 0;
};

} // namespace ab
