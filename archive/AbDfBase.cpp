#include "archive/AbDfBase.h"

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

} // namespace ab
