// Little-endian field decoding, shared by every reader of on-disk records.
//
// ZIP, gzip, tar's old headers, LZMA properties and Deflate's stored-block
// lengths all store integers least significant byte first. Each reader used
// to assemble them by hand; a record's layout is now read through these
// helpers, so that a field is one call and its width is in its name.
//
// The loads assemble bytes with shifts: safe at any alignment and on any
// host byte order, and GCC and Clang fold the pattern into one load.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

// The word-at-a-time readers (the inflater's and the legacy methods' bit
// buffers, the CRC-32 slices) load several bytes at once in host order and
// take them least significant first: they need a little-endian host, as
// every system the programs are built for is. The helpers below do not.
static_assert(std::endian::native == std::endian::little, "the engine's word loads need a little-endian host");

inline uint16_t AbGetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t AbGetLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t AbGetLE64(const uint8_t* p) {
  return static_cast<uint64_t>(AbGetLE32(p)) | (static_cast<uint64_t>(AbGetLE32(p + 4)) << 32);
}

inline void AbPutLE16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void AbPutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void AbPutLE64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A cursor over one record: fields are taken in order, and a read past the
// record's end yields zero and marks the cursor, so that a parser checks
// Ok() once after the fields it needs instead of before every field.
class TAbLEReader {
 public:
  TAbLEReader(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

  uint8_t U8() { return Take(1) ? FData[FPos - 1] : 0; }
  uint16_t U16() { return Take(2) ? AbGetLE16(FData + FPos - 2) : 0; }
  uint32_t U32() { return Take(4) ? AbGetLE32(FData + FPos - 4) : 0; }
  uint64_t U64() { return Take(8) ? AbGetLE64(FData + FPos - 8) : 0; }
  void Skip(size_t n) { Take(n); }

  const uint8_t* Here() const { return FData + FPos; }
  size_t Position() const { return FPos; }
  size_t Remaining() const { return FSize - FPos; }
  bool Ok() const { return !FOverrun; }

 private:
  bool Take(size_t n) {
    if (FOverrun || n > FSize - FPos) {
      FOverrun = true;
      FPos = FSize;
      return false;
    }
    FPos += n;
    return true;
  }

  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
  bool FOverrun = false;
};
