// CRC-32 for the whole engine: the table-driven byte step, slicing-by-16, and
// carry-less-multiply folding on x86-64.
//
// All three compute the same reflected CRC-32 (polynomial 0xEDB88320) on a
// running value that is never inverted here. Which one runs depends only on
// the buffer length and the processor, never on the result:
//
//   * below 64 bytes, or without PCLMULQDQ: slicing-by-16, 16 bytes per step
//     through 16 tables (16 KiB, derived at compile time from Crc32Table);
//   * 64 bytes and more with PCLMULQDQ: four 128-bit accumulators are folded
//     forward 512 bits per step, then folded into one, reduced 128 -> 64 bits
//     and finished with a Barrett reduction to 32 bits. The folding constants
//     are x^n mod P (bit-reflected) for the fold distances used below;
//   * 256 bytes and more where the processor also has AVX-512 and VPCLMULQDQ:
//     the same folding on sixteen 128-bit lanes at once, four times the
//     bytes per multiply; it ends in the 128-bit path's last steps.
//
// The inflater folds each 32 KiB piece it writes out while the piece is in
// cache, so this speed is part of every extracted Deflate item's speed.
#include <array>
#include <cstring>

#include "archive/AbEndian.h"
#include "archive/AbUtils.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define AB_HAVE_CLMUL 1
#endif

namespace ab {

#include "archive/AbCrc32.inc"

// ---------------------------------------------------------------------------
// Slicing-by-16 tables
// ---------------------------------------------------------------------------

namespace {

using SliceTables = std::array<std::array<uint32_t, 256>, 16>;

constexpr SliceTables MakeSliceTables() {
  SliceTables t{};
  for (int i = 0; i < 256; ++i) {
    uint32_t c = static_cast<uint32_t>(i);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (int s = 1; s < 16; ++s)
    for (int i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  return t;
}

alignas(64) constexpr SliceTables kSlice = MakeSliceTables();

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint32_t CrcSlice16(uint32_t crc, const uint8_t* p, int64_t n) {
  while (n >= 16) {
    uint32_t a = Load32(p) ^ crc, b = Load32(p + 4), c = Load32(p + 8), d = Load32(p + 12);
    crc = kSlice[15][a & 0xFF] ^ kSlice[14][(a >> 8) & 0xFF] ^ kSlice[13][(a >> 16) & 0xFF] ^ kSlice[12][a >> 24] ^
          kSlice[11][b & 0xFF] ^ kSlice[10][(b >> 8) & 0xFF] ^ kSlice[9][(b >> 16) & 0xFF] ^ kSlice[8][b >> 24] ^
          kSlice[7][c & 0xFF] ^ kSlice[6][(c >> 8) & 0xFF] ^ kSlice[5][(c >> 16) & 0xFF] ^ kSlice[4][c >> 24] ^
          kSlice[3][d & 0xFF] ^ kSlice[2][(d >> 8) & 0xFF] ^ kSlice[1][(d >> 16) & 0xFF] ^ kSlice[0][d >> 24];
    p += 16;
    n -= 16;
  }
  while (n-- > 0) crc = Crc32Table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

#if AB_HAVE_CLMUL

#define AB_CLMUL __attribute__((target("pclmul,sse4.1")))

AB_CLMUL inline __m128i FoLd(__m128i x, __m128i k, __m128i next) {
  __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

AB_CLMUL inline __m128i Ld(const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }

// x^(512+32), x^(512-32) mod P: fold one 64-byte group into the next.
constexpr int64_t kFold512Lo = 0x154442bd4LL, kFold512Hi = 0x1c6e41596LL;

// Folds four 16-byte accumulators (one 64-byte group, already folded up to
// p) and the rest of the data, whole 16-byte blocks of it, down to the CRC.
AB_CLMUL inline uint32_t CrcFinish(__m128i x0, __m128i x1, __m128i x2, __m128i x3, const uint8_t* p, int64_t n) {
  // x^(128+32), x^(128-32) mod P: fold one 16-byte block into the next.
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
  // x^64 mod P, for the 64 -> 32-bit step of the final fold.
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124LL);
  // Barrett reduction: P (low) and floor(x^64 / P) (high), both reflected.
  const __m128i poly = _mm_set_epi64x(0x1F7011641LL, 0x1DB710641LL);
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);

  x0 = FoLd(x0, k3k4, x1);
  x0 = FoLd(x0, k3k4, x2);
  x0 = FoLd(x0, k3k4, x3);
  while (n >= 16) {
    x0 = FoLd(x0, k3k4, Ld(p));
    p += 16;
    n -= 16;
  }
  // 128 -> 64 bits.
  __m128i t = _mm_clmulepi64_si128(x0, k3k4, 0x10);
  x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), t);
  // 64 -> 32 bits.
  t = _mm_srli_si128(x0, 4);
  x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, mask32), k5, 0x00);
  x0 = _mm_xor_si128(x0, t);
  // Barrett reduction.
  t = x0;
  x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, mask32), poly, 0x10);
  x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, mask32), poly, 0x00);
  x0 = _mm_xor_si128(x0, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x0, 1));
}

// Folds whole 16-byte blocks; n is at least 64 and a multiple of 16.
AB_CLMUL uint32_t CrcClmul(uint32_t crc, const uint8_t* p, int64_t n) {
  const __m128i k1k2 = _mm_set_epi64x(kFold512Hi, kFold512Lo);
  __m128i x0 = _mm_xor_si128(Ld(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Ld(p + 16), x2 = Ld(p + 32), x3 = Ld(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x0 = FoLd(x0, k1k2, Ld(p));
    x1 = FoLd(x1, k1k2, Ld(p + 16));
    x2 = FoLd(x2, k1k2, Ld(p + 32));
    x3 = FoLd(x3, k1k2, Ld(p + 48));
    p += 64;
    n -= 64;
  }
  return CrcFinish(x0, x1, x2, x3, p, n);
}

bool HaveClmul() { return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"); }

// The same folding four 128-bit lanes at a time with VPCLMULQDQ on 512-bit
// registers: four such registers cover 256 bytes, each lane folded forward
// by 2048 bits per step, which keeps the multiplier busy instead of waiting
// on one chain. The four registers are then folded into one (512 bits apart,
// the constants above), whose lanes are exactly the four accumulators of the
// 128-bit path after one 64-byte group; that path finishes.
#define AB_VPCLMUL __attribute__((target("pclmul,sse4.1,avx512f,vpclmulqdq")))

// x^(2048+32), x^(2048-32) mod P: fold one 256-byte group into the next.
constexpr int64_t kFold2048Lo = 0x11542778aLL, kFold2048Hi = 0x1322d1430LL;

AB_VPCLMUL inline __m512i FoLd512(__m512i x, __m512i k, __m512i next) {
  __m512i lo = _mm512_clmulepi64_epi128(x, k, 0x00);
  __m512i hi = _mm512_clmulepi64_epi128(x, k, 0x11);
  return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // three-way xor
}

AB_VPCLMUL inline __m512i Ld512(const uint8_t* q) { return _mm512_loadu_si512(q); }

// n is at least 256 and a multiple of 16.
AB_VPCLMUL uint32_t CrcVpclmul(uint32_t crc, const uint8_t* p, int64_t n) {
  const __m512i k2048 = _mm512_set_epi64(kFold2048Hi, kFold2048Lo, kFold2048Hi, kFold2048Lo, kFold2048Hi, kFold2048Lo,
                                         kFold2048Hi, kFold2048Lo);
  const __m512i k512 =
      _mm512_set_epi64(kFold512Hi, kFold512Lo, kFold512Hi, kFold512Lo, kFold512Hi, kFold512Lo, kFold512Hi, kFold512Lo);
  __m512i z0 = _mm512_xor_si512(Ld512(p), _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                           static_cast<int>(crc)));
  __m512i z1 = Ld512(p + 64), z2 = Ld512(p + 128), z3 = Ld512(p + 192);
  p += 256;
  n -= 256;
  while (n >= 256) {
    z0 = FoLd512(z0, k2048, Ld512(p));
    z1 = FoLd512(z1, k2048, Ld512(p + 64));
    z2 = FoLd512(z2, k2048, Ld512(p + 128));
    z3 = FoLd512(z3, k2048, Ld512(p + 192));
    p += 256;
    n -= 256;
  }
  z0 = FoLd512(z0, k512, z1);
  z0 = FoLd512(z0, k512, z2);
  z0 = FoLd512(z0, k512, z3);
  while (n >= 64) {
    z0 = FoLd512(z0, k512, Ld512(p));
    p += 64;
    n -= 64;
  }
  alignas(64) uint8_t lanes[64];
  _mm512_store_si512(lanes, z0);
  return CrcFinish(Ld(lanes), Ld(lanes + 16), Ld(lanes + 32), Ld(lanes + 48), p, n);
}

bool HaveVpclmul() {
  return HaveClmul() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq");
}

// Whole 16-byte groups, at least 64 bytes: 512-bit lanes where there are
// enough bytes for them.
uint32_t CrcFoldWide(uint32_t crc, const uint8_t* p, int64_t n) {
  return n >= 256 ? CrcVpclmul(crc, p, n) : CrcClmul(crc, p, n);
}

#endif

// The folding routine this processor has, or none: whole 16-byte groups,
// at least 64 bytes.
using TCrcFold = uint32_t (*)(uint32_t crc, const uint8_t* p, int64_t n);

TCrcFold ChooseFold() {
#if AB_HAVE_CLMUL
  if (HaveClmul()) return HaveVpclmul() ? CrcFoldWide : CrcClmul;
#endif
  return nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// Public routines
// ---------------------------------------------------------------------------

void UpdateCrc32(uint32_t& CurCrc, const void* Buffer, int64_t BufSize) {
  if (BufSize <= 0) return;
  auto* p = static_cast<const uint8_t*>(Buffer);
  uint32_t crc = CurCrc;
  // Chosen once, at the first call.
  static const TCrcFold fold = ChooseFold();
  if (BufSize >= 64 && fold) {
    int64_t whole = BufSize & ~int64_t{15};
    crc = fold(crc, p, whole);
    p += whole;
    BufSize -= whole;
  }
  CurCrc = CrcSlice16(crc, p, BufSize);
}

void UpdateCrc32Bytewise(uint32_t& CurCrc, const void* Buffer, int64_t BufSize) {
  auto* p = static_cast<const uint8_t*>(Buffer);
  uint32_t crc = CurCrc;
  for (int64_t i = 0; i < BufSize; ++i) crc = Crc32Table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  CurCrc = crc;
}

uint32_t UpdateCrc32Byte(uint8_t Octet, uint32_t CurCrc) {
  return Crc32Table[(CurCrc ^ Octet) & 0xFF] ^ (CurCrc >> 8);
}

uint32_t Crc32OfString(const std::string& S) {
  if (S.empty()) return 0;
  uint32_t crc = 0xFFFFFFFFu;
  UpdateCrc32(crc, S.data(), static_cast<int64_t>(S.size()));
  return ~crc;
}

} // namespace ab
