// CRC-32 and Adler-32: the check values every extracted byte passes through.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/AbDfBase.h"
#include "archive/AbUtils.h"

using namespace ab;

TEST(Crc32, StandardCheckValues) {
  EXPECT_EQ(Crc32OfString("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32OfString("abc"), 0x352441C2u);
  EXPECT_EQ(Crc32OfString(""), 0u);
  uint32_t crc = 0xFFFFFFFFu;
  UpdateCrc32(crc, "abc", 3);
  EXPECT_EQ(crc, 0xCADBBE3Du);  // the running value is never inverted
}

TEST(Crc32, ZeroOrNegativeCountLeavesValue) {
  uint32_t crc = 0x12345678u;
  UpdateCrc32(crc, "x", 0);
  UpdateCrc32(crc, "x", -5);
  EXPECT_EQ(crc, 0x12345678u);
}

// Every length from 0 to 600 at every alignment, plus large buffers, against
// the one-lookup-per-byte definition: this covers both folding paths (from 64
// and from 256 bytes), the slicing path and the tails between them.
TEST(Crc32, FastPathsAgreeWithByteLoop) {
  std::mt19937 rng(7);
  std::vector<uint8_t> buf(1 << 20);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (int off = 0; off < 16; ++off)
    for (int len = 0; len <= 600; ++len) {
      uint32_t a = 0xFFFFFFFFu ^ static_cast<uint32_t>(len), b = a;
      UpdateCrc32(a, buf.data() + off, len);
      UpdateCrc32Bytewise(b, buf.data() + off, len);
      ASSERT_EQ(a, b) << "offset " << off << " length " << len;
    }
  for (int64_t len : {int64_t{4096}, int64_t{65537}, int64_t{1 << 20}}) {
    uint32_t a = 0xFFFFFFFFu, b = a;
    UpdateCrc32(a, buf.data(), len);
    UpdateCrc32Bytewise(b, buf.data(), len);
    EXPECT_EQ(a, b) << len;
  }
}

TEST(Crc32, PiecesEqualWhole) {
  std::string s(10000, '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(i * 31 + 7);
  uint32_t whole = 0xFFFFFFFFu, parts = 0xFFFFFFFFu, bytes = 0xFFFFFFFFu;
  UpdateCrc32(whole, s.data(), static_cast<int64_t>(s.size()));
  size_t pos = 0;
  for (size_t step : {1u, 63u, 64u, 100u, 4000u, 5772u}) {
    UpdateCrc32(parts, s.data() + pos, static_cast<int64_t>(step));
    pos += step;
  }
  ASSERT_EQ(pos, s.size());
  for (char c : s) bytes = UpdateCrc32Byte(static_cast<uint8_t>(c), bytes);
  EXPECT_EQ(whole, parts);
  EXPECT_EQ(whole, bytes);
}

TEST(Adler32, RfcValuesAndPieces) {
  uint32_t a = 1;
  UpdateAdler32(a, "Wikipedia", 9);
  EXPECT_EQ(a, 0x11E60398u);
  // 10,000 bytes of 0xFF: several 2048-byte runs; value computed by the
  // definition (sums modulo 65521).
  std::string ff(10000, '\xFF');
  uint32_t s1 = 1, s2 = 0;
  for (int i = 0; i < 10000; ++i) { s1 = (s1 + 255) % 65521; s2 = (s2 + s1) % 65521; }
  uint32_t whole = 1, parts = 1;
  UpdateAdler32(whole, ff.data(), 10000);
  UpdateAdler32(parts, ff.data(), 3000);
  UpdateAdler32(parts, ff.data() + 3000, 7000);
  EXPECT_EQ(whole, (s2 << 16) | s1);
  EXPECT_EQ(parts, whole);
  uint32_t z = 0xABCD1234u;
  UpdateAdler32(z, ff.data(), 0);
  EXPECT_EQ(z, 0xABCD1234u);
}
