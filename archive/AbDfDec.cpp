// The inflate routines: block loop, stored, fixed and dynamic blocks, and
// the symbol decoder.
//
// The symbol decoder has two gears. The fast loop keeps the bit accumulator,
// the input pointer and the output pointer in registers and runs while at
// least kFastMargin input bytes remain. It works in steps of up to four
// literals, or up to two literals and a match; every bound it relies on (bits
// per refill, bytes per step of input and of output, the copies' overshoot)
// is derived from the format's limits below and checked at compile time.
//
//   * Refills OR one unaligned 8-byte load into a 64-bit accumulator, with
//     no branch, and are placed where a table load is under way, so that the
//     chain of dependent loads and shifts per symbol stays as short as the
//     table lookups themselves.
//   * Table entries carry all a symbol needs: the literal, or the length or
//     distance base with the code's length and the total bits to take. The
//     extra bits come out of the same accumulator with one mask and shift.
//   * Matches are copied in whole words into the window, which keeps spare
//     room past the longest match: 16 bytes at a time from 16 bytes back or
//     further, 8 from 8..15 back, and for shorter distances the repeating
//     pattern is built in a register and stored, never read back.
//   * The window's next event (a piece due to be written, or the partial
//     stop) is checked once per step while it is further away than a step
//     can write; closer to it a checked run looks after every literal and
//     match, so the event fires on exactly the symbol that reaches it.
//   * Where the processor has BMI2 (asked once), the same loop is built for
//     it: shifts by a register without flags, bzhi for the extra bits.
//
// Near the end of the buffered input the careful gear decodes one symbol at
// a time through the bit reader's own operations, which know how to read the
// source, pad its last word and fail with the right cause when bits are
// missing. Both gears use the same tables and make the same decisions in the
// same order: the symbol is checked before its bits are consumed, a literal
// is stored (and may stop the inflation at the partial size) before its bits
// are consumed, a match's bits are consumed before it is copied.
//
// Faults of the data that the format leaves open are refused with causes of
// their own: a repeat of the previous code length as the very first length,
// a set of code lengths that over-subscribes its code space, a Deflate64
// distance code without a symbol, and a distance that reaches before the
// first byte of the output.
#include "archive/AbDfDec.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "archive/AbDfHufD.h"
#include "archive/AbDfOutW.h"
#include "archive/AbDfStrm.h"
#include "archive/AbEndian.h"
#include "archive/AbExcept.h"

namespace ab {

namespace {

// ---------------------------------------------------------------------------
// Cause texts
// ---------------------------------------------------------------------------

constexpr const char* kBadBlockType = "starting new block, but invalid block type [Inflate]";
constexpr const char* kBadStored = "invalid stored block (length and NOT length do not match) [InflateStoredBlock]";
constexpr const char* kTooManyLit = "count of literal codes in dynamic block is greater than 286 [InflateDynamicBlock]";
constexpr const char* kTooManyDist = "count of distance codes in dynamic block is greater than 30 [InflateDynamicBlock]";
constexpr const char* kOverSubscribed = "over-subscribed set of code lengths [InflateDynamicBlock]";
constexpr const char* kBadCodeLenSym = "decoded a symbol not between 0 and 18 {ReadLitDistCodeLengths}";
constexpr const char* kBadCodeLenLen = "decoded a code length out of range {ReadLitDistCodeLengths}";
constexpr const char* kNothingToRepeat = "repeat of the previous code length, but there is none {ReadLitDistCodeLengths}";
constexpr const char* kBadLenSym = "decoded an invalid length symbol: greater than 285 [DecodeData]";
constexpr const char* kBadDistSym = "decoded an invalid distance symbol: greater than 29 [DecodeData]";
constexpr const char* kBadDistSym64 = "decoded an invalid distance symbol: no code for these bits [DecodeData]";
constexpr const char* kDistTooFar = "distance reaches before the start of the output [DecodeData]";

[[noreturn]] void Fail(const char* aCause) { throw EAbInternalInflateError(aCause); }

// The fast loop's helpers work on its locals by reference; unless they are
// inlined those locals would live in memory instead of registers.
#define AB_INLINE __attribute__((always_inline))

#if defined(__x86_64__) && defined(__GNUC__)
#define AB_HAVE_BMI2 1
#else
#define AB_HAVE_BMI2 0
#endif

// ---------------------------------------------------------------------------
// Memory helpers
// ---------------------------------------------------------------------------

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only (AbEndian.h)
}

inline void Store64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline void Copy8(uint8_t* d, const uint8_t* s) { std::memcpy(d, s, 8); }
inline void Copy16(uint8_t* d, const uint8_t* s) { std::memcpy(d, s, 16); }

// ---------------------------------------------------------------------------
// Limits of the fast loop
// ---------------------------------------------------------------------------

// The longest code (15) plus the most extra bits a length (5, or 16 in
// Deflate64) or a distance (13, or 14 in Deflate64) can carry: one peek
// covers symbol and extras.
constexpr int32_t kMaxCodeBits = 15;
constexpr int32_t kLenPeekExtra32 = 5, kLenPeekExtra64 = 16, kDistPeekExtra = 14, kCodeLenPeekExtra = 7;
constexpr uint32_t kMaxLenBits32 = kMaxCodeBits + kLenPeekExtra32, kMaxLenBits64 = kMaxCodeBits + kLenPeekExtra64;
constexpr uint32_t kMaxDistBits32 = kMaxCodeBits + 13, kMaxDistBits64 = kMaxCodeBits + kDistPeekExtra;

// A refill ORs one 8-byte load into the accumulator and counts whole bytes
// until it holds 56 to 63 bits: it advances the input by at most 7 bytes.
constexpr uint32_t kRefillBits = 56;
constexpr int32_t kRefillLoad = 8, kRefillAdvance = 7;
static_assert(kRefillBits + kRefillAdvance <= 64 && kRefillBits + 8 > 63, "refill keeps 56..63 bits");

// What one step of the fast loop may take between refills. A step refills
// first; then it takes up to four literals from the root table (at most
// TAbDfLitLenTable::kRootBits bits each) and looks the next entry up; or it
// refills again after up to three literals, takes a length, looks the
// distance up, refills, takes the distance and looks the next entry up.
// The next entry needs kRootBits valid bits; bits above the counted ones are
// true input bits or zeros, so a root entry looked up early stays right.
constexpr uint32_t kRootLitBits = TAbDfLitLenTable::kRootBits;
static_assert(4 * kRootLitBits + kRootLitBits <= kRefillBits, "four literals and a lookup per refill");
static_assert(kMaxLenBits32 <= kRefillBits && kMaxLenBits64 <= kRefillBits, "a length fits one refill");
static_assert(kMaxDistBits32 <= kMaxDistBits64 && kMaxDistBits64 + kRootLitBits <= kRefillBits,
              "a distance and the next lookup fit one refill");
// A literal that goes through the subtable takes at most 15 bits after a
// refill, leaving enough for the next root lookup.
static_assert(kMaxCodeBits + kRootLitBits <= kRefillBits);

// Refills per step: at its start, after the literals, after the length.
// The last refill's load may reach 7 bytes further per earlier refill plus
// its own 8 bytes.
constexpr int32_t kMaxRefills = 3;
constexpr int32_t kFastMargin = (kMaxRefills - 1) * kRefillAdvance + kRefillLoad;
static_assert(kFastMargin <= TAbDfInBitStream::kBufferSize);

// A dynamic block lists at most 286 literal/length and 32 distance lengths.
constexpr int kMaxLengths = 286 + 32;

// Output of one step: four literals, or two literals and the longest Deflate
// match. (A longer Deflate64 match is checked against the event on its own.)
constexpr int32_t kMaxStepOut = 2 + 258;

// ---------------------------------------------------------------------------
// Match copies
// ---------------------------------------------------------------------------

// For a distance d of 1..7, the 8-byte word of the repeating pattern is the
// first d bytes times kRepeat[d]; the next word follows from the previous one
// as (w >> 8s) | (w << 8(d - s)) with s = 8 mod d (the bytes that both halves
// provide agree, as the pattern repeats every d bytes).
constexpr uint64_t kRepeat[8] = {0,
                                 0x0101010101010101ull,
                                 0x0001000100010001ull,
                                 0x0001000001000001ull,
                                 0x0000000100000001ull,
                                 0x0000010000000001ull,
                                 0x0001000000000001ull,
                                 0x0100000000000001ull};
constexpr uint8_t kPhaseShift[8] = {0, 0, 0, 16, 0, 24, 16, 8};  // 8 * (8 mod d)
constexpr uint8_t kCarryShift[8] = {0, 8, 16, 8, 32, 16, 32, 48};  // 8 * (d - 8 mod d)

// Copies a match of aLen (3..65538) bytes from aDist (>= 1) bytes back. The
// copy works in whole words and may write up to kCopyOvershoot bytes past
// the match; the window keeps that much spare room.
constexpr int32_t kMinMatch = 3;
constexpr int32_t kCopyOvershoot = 48 - kMinMatch;
static_assert(TAbDfOutputWindow::kCopySlack >= kCopyOvershoot);

AB_INLINE inline void CopyMatch(uint8_t* dst, uint32_t dist, uint32_t len) {
  uint8_t* const end = dst + len;
  if (dist >= 16) {
    // Each 16-byte source lies wholly behind its destination.
    const uint8_t* src = dst - dist;
    Copy16(dst, src);
    Copy16(dst + 16, src + 16);
    Copy16(dst + 32, src + 32);
    if (len > 48) [[unlikely]] {
      dst += 48;
      src += 48;
      do {
        Copy16(dst, src);
        dst += 16;
        src += 16;
      } while (dst < end);
    }
  } else if (dist >= 8) {
    const uint8_t* src = dst - dist;
    Copy8(dst, src);
    Copy8(dst + 8, src + 8);
    dst += 16;
    src += 16;
    while (dst < end) {
      Copy8(dst, src);
      dst += 8;
      src += 8;
    }
  } else {
    // A short period: the pattern is built in a register and stored word by
    // word, without reading back what the match itself has written.
    uint64_t w = Load64(dst - dist) & (~uint64_t{0} >> (64 - 8 * dist));
    w *= kRepeat[dist];
    const uint32_t ps = kPhaseShift[dist], cs = kCarryShift[dist];
    for (;;) {
      Store64(dst, w);
      w = (w >> ps) | (w << cs);
      Store64(dst + 8, w);
      w = (w >> ps) | (w << cs);
      dst += 16;
      if (dst >= end) break;
    }
  }
}

// The extra bits of a length or distance entry, out of the bits its code
// starts at. With BMI2 the low bits come out with one bzhi; compilers do not
// always find it themselves inside a function built for that target.
template <bool Bmi2>
AB_INLINE inline uint32_t Extra(uint64_t aBits, uint32_t e) {
#if AB_HAVE_BMI2
  if constexpr (Bmi2) {
    uint64_t low;
    asm("bzhi %q2, %1, %0" : "=r"(low) : "r"(aBits), "r"(e));
    return static_cast<uint32_t>(low >> ((e >> 8) & 63));
  }
#endif
  return dfe::ExtraValue(aBits, e);
}

} // namespace

// ---------------------------------------------------------------------------
// TAbDfDecoder
// ---------------------------------------------------------------------------

class TAbDfDecoder {
public:
  TAbDfDecoder(TAbDfInBitStream& aIn, TAbDfOutputWindow& aOut, bool aDeflate64)
      : FIn(aIn), FOut(aOut), FDeflate64(aDeflate64), FWork(std::make_unique<Work>()) {}

  void Run() {
    bool final;
    do {
      final = FIn.ReadBit();
      switch (FIn.ReadBits(2)) {
        case 0: InflateStoredBlock(); break;
        case 1: DecodeData(FixedCodesFast(FDeflate64)); break;
        case 2: InflateDynamicBlock(); break;
        default: Fail(kBadBlockType);
      }
    } while (!final);
  }

private:
  // Tables of the current dynamic block and the stored-data transfer buffer:
  // allocated once per inflation, rebuilt in place for every block.
  struct Work {
    TAbDfBlockCodes Codes;
    TAbDfCodeLenTable CodeLen;
    uint8_t Lengths[kMaxLengths];
    uint8_t Transfer[TAbDfInBitStream::kBufferSize];
  };

  void InflateStoredBlock();
  void InflateDynamicBlock();
  void ReadLitDistCodeLengths(int aTotal);
  void DecodeData(const TAbDfBlockCodes& aCodes) {
    if (FDeflate64)
      DecodeDataT<true>(aCodes);
    else
      DecodeDataT<false>(aCodes);
  }
  template <bool D64> void DecodeDataT(const TAbDfBlockCodes& aCodes);
  // How a run of the fast loop ended.
  enum TFastStop { fsEndOfBlock, fsInputLow, fsNearEvent, fsEventDone };
  template <bool D64, bool Checked, bool Bmi2> TFastStop FastLoopBody(const TAbDfBlockCodes& aCodes);
  template <bool D64, bool Checked> TFastStop FastLoop(const TAbDfBlockCodes& aCodes);
  template <bool D64, bool Checked> TFastStop FastLoopBmi2(const TAbDfBlockCodes& aCodes);
  // The fast loop built for this processor, chosen at the first run.
  template <bool D64, bool Checked> TFastStop FastRun(const TAbDfBlockCodes& aCodes) {
    using TLoop = TFastStop (TAbDfDecoder::*)(const TAbDfBlockCodes&);
#if AB_HAVE_BMI2
    static const TLoop loop =
        __builtin_cpu_supports("bmi2") ? &TAbDfDecoder::FastLoopBmi2<D64, Checked> : &TAbDfDecoder::FastLoop<D64, Checked>;
#else
    static const TLoop loop = &TAbDfDecoder::FastLoop<D64, Checked>;
#endif
    return (this->*loop)(aCodes);
  }
  template <bool D64> bool CarefulSymbol(const TAbDfBlockCodes& aCodes);

  TAbDfInBitStream& FIn;
  TAbDfOutputWindow& FOut;
  bool FDeflate64;
  std::unique_ptr<Work> FWork;
};

// ---------------------------------------------------------------------------
// Stored and dynamic blocks
// ---------------------------------------------------------------------------

void TAbDfDecoder::InflateStoredBlock() {
  FIn.AlignToByte();
  uint8_t head[4];
  FIn.ReadBuffer(head, 4);
  uint32_t len = AbGetLE16(head), nlen = AbGetLE16(head + 2);
  if (nlen != (~len & 0xFFFF)) Fail(kBadStored);
  // Piece by piece: a piece that cannot be read whole never reaches the
  // output, which keeps the output of a truncated stored block predictable.
  while (len > 0) {
    int32_t n = static_cast<int32_t>(std::min<uint32_t>(len, TAbDfInBitStream::kBufferSize));
    FIn.ReadBuffer(FWork->Transfer, n);
    FOut.AddBuffer(FWork->Transfer, n);
    len -= static_cast<uint32_t>(n);
  }
}

void TAbDfDecoder::InflateDynamicBlock() {
  int hlit = static_cast<int>(FIn.ReadBits(5)) + 257;
  int hdist = static_cast<int>(FIn.ReadBits(5)) + 1;
  int hclen = static_cast<int>(FIn.ReadBits(4)) + 4;
  if (hlit > 286) Fail(kTooManyLit);
  if (!FDeflate64 && hdist > 30) Fail(kTooManyDist);

  uint8_t codeLens[19] = {};
  for (int i = 0; i < hclen; ++i) codeLens[AbDfCodeLengthIndex[i]] = static_cast<uint8_t>(FIn.ReadBits(3));
  Work& w = *FWork;
  if (!BuildFastTable(w.CodeLen, codeLens, 19, tkCodeLen)) Fail(kOverSubscribed);

  ReadLitDistCodeLengths(hlit + hdist);
  if (!BuildFastTable(w.Codes.LitLen, w.Lengths, hlit, FDeflate64 ? tkLitLen64 : tkLitLen)) Fail(kOverSubscribed);
  if (!BuildFastTable(w.Codes.Dist, w.Lengths + hlit, hdist, FDeflate64 ? tkDist64 : tkDist)) Fail(kOverSubscribed);
  DecodeData(w.Codes);
}

void TAbDfDecoder::ReadLitDistCodeLengths(int aTotal) {
  Work& w = *FWork;
  std::fill(std::begin(w.Lengths), std::end(w.Lengths), uint8_t{0});
  const TAbDfCodeLenTable& t = w.CodeLen;
  int32_t width = t.MaxCodeLen + kCodeLenPeekExtra;
  int i = 0;
  while (i < aTotal) {
    FIn.PeekBits(width);
    uint64_t bits = FIn.FBitBuffer;
    uint32_t e = t.Lookup(bits);
    uint32_t sym = (e & dfe::kBad) ? 0xFFFF : dfe::Value(e);
    int32_t n = static_cast<int32_t>(dfe::Total(e));
    if (sym > 18) Fail(kBadCodeLenSym);
    if (n == 0 || n > t.MaxCodeLen) Fail(kBadCodeLenLen);
    bits >>= n;
    if (sym <= 15) {
      FIn.DiscardBits(n);
      w.Lengths[i++] = static_cast<uint8_t>(sym);
      continue;
    }
    // A repeat that runs past the end just ends the list.
    int repeat;
    uint8_t value = 0;
    if (sym == 16) {
      if (i == 0) Fail(kNothingToRepeat);
      repeat = 3 + static_cast<int>(bits & 3);
      value = w.Lengths[i - 1];
      FIn.DiscardBits(n + 2);
    } else if (sym == 17) {
      repeat = 3 + static_cast<int>(bits & 7);
      FIn.DiscardBits(n + 3);
    } else {
      repeat = 11 + static_cast<int>(bits & 127);
      FIn.DiscardBits(n + 7);
    }
    int end = std::min(i + repeat, aTotal);
    std::fill(w.Lengths + i, w.Lengths + end, value);
    i = end;
  }
}

// ---------------------------------------------------------------------------
// Symbols
// ---------------------------------------------------------------------------

template <bool D64>
void TAbDfDecoder::DecodeDataT(const TAbDfBlockCodes& aCodes) {
  for (;;) {
    // Unchecked runs far from the window's next event, checked runs up to
    // and across it, the careful gear where the buffered input runs out.
    TFastStop stop = FastRun<D64, false>(aCodes);
    while (stop == fsNearEvent || stop == fsEventDone)
      stop = stop == fsNearEvent ? FastRun<D64, true>(aCodes) : FastRun<D64, false>(aCodes);
    if (stop == fsEndOfBlock) return;
    if (CarefulSymbol<D64>(aCodes)) return;
  }
}

// One symbol through the bit reader's own operations. True: end of block.
template <bool D64>
bool TAbDfDecoder::CarefulSymbol(const TAbDfBlockCodes& aCodes) {
  FIn.PeekBits(aCodes.LitLen.MaxCodeLen + (D64 ? kLenPeekExtra64 : kLenPeekExtra32));
  uint64_t bits = FIn.FBitBuffer;
  uint32_t e = aCodes.LitLen.Lookup(bits);
  if (e & dfe::kLiteral) {
    FOut.AddLiteral(dfe::Literal(e));
    FIn.DiscardBits(static_cast<int32_t>(dfe::Total(e)));
    return false;
  }
  if (e & dfe::kEndOfBlock) {
    FIn.DiscardBits(static_cast<int32_t>(dfe::Total(e)));
    return true;
  }
  if (e & dfe::kBad) Fail(kBadLenSym);
  uint32_t len = dfe::Value(e) + dfe::ExtraValue(bits, e);
  FIn.DiscardBits(static_cast<int32_t>(dfe::Total(e)));

  FIn.PeekBits(aCodes.Dist.MaxCodeLen + kDistPeekExtra);
  bits = FIn.FBitBuffer;
  e = aCodes.Dist.Lookup(bits);
  if (e & dfe::kBad) Fail(D64 ? kBadDistSym64 : kBadDistSym);
  uint32_t dist = dfe::Value(e) + dfe::ExtraValue(bits, e);
  FIn.DiscardBits(static_cast<int32_t>(dfe::Total(e)));
  if (dist > static_cast<uint64_t>(FOut.FCurrent - FOut.FOrigin)) Fail(kDistTooFar);
  FOut.AddLenDist(static_cast<int32_t>(len), static_cast<int32_t>(dist));
  return false;
}

// The inner loop. It says why it stopped: the end of the block, the
// buffered input running low (the careful gear takes over), the window's
// next event coming near (an unchecked run), or that event handled.
//
// The loop advances one step at a time: up to four literals, or up to two
// literals and then a length/distance pair. Two limits are checked once per
// step instead of once per symbol:
//
//   * input: a step refills at most kMaxRefills times, each refill loading 8
//     bytes and advancing at most 7, so kFastMargin unread bytes cover it;
//   * output: while the next window event (a piece due, or the partial stop)
//     is more than kMaxStepOut bytes away, no symbol of the step can reach it.
//     Closer to the event the same steps run with a check after every literal
//     and match, so the event fires on exactly the symbol that reaches it.
//
// At the start of every step the root entry for the next bits is already
// loaded; the step refills at once, while that load is under way. The next
// step's entry is looked up before a match is copied, so that load overlaps
// the copy.
template <bool D64, bool Checked, bool Bmi2>
AB_INLINE inline TAbDfDecoder::TFastStop TAbDfDecoder::FastLoopBody(const TAbDfBlockCodes& aCodes) {
  TAbDfInBitStream& bs = FIn;
  TAbDfOutputWindow& win = FOut;
  const uint8_t* in = bs.FBufPos;
  if (bs.FBufEnd - in < kFastMargin) return fsInputLow;
  const uint8_t* const inLast = bs.FBufEnd - kFastMargin;  // a step may start here
  uint64_t bb = bs.FBitBuffer;
  uint32_t bl = bs.FBitsLeft;
  uint8_t* out = win.FCurrent;
  uint8_t* lowest = win.FOrigin;  // moves with the window, as out does
  uint8_t* const event = win.EventPoint();
  // Unchecked steps run while the output is below this.
  uint8_t* const outFast = event - out > kMaxStepOut ? event - kMaxStepOut : out;
  if (!Checked && out >= outFast) return fsNearEvent;
  bool eventDone = false;

  // Hands the state back before anything that may raise or move the window.
  // The look-ahead above the counted bits is dropped; the bytes it came from
  // are still unread.
  auto save = [&]() AB_INLINE {
    const uint32_t n = bl & 63;
    bs.FBufPos = in;
    bs.FBitBuffer = bb & ((uint64_t{1} << n) - 1);
    bs.FBitsLeft = n;
    win.FCurrent = out;
  };
  // Once the event has been met the run ends after the current step, and
  // the next run looks at the window afresh.
  auto reachedEvent = [&]() AB_INLINE {
    if (!eventDone && out >= event) [[unlikely]] {
      save();
      win.AfterAdd();
      out = win.FCurrent;
      lowest = win.FOrigin;
      eventDone = true;
    }
  };
  // Tops the accumulator up to 56..63 bits. The load may bring more bits
  // than are counted; they are the true next bits, so OR-ing them in again
  // at the next refill changes nothing.
  //
  // Only the low 6 bits of bl count: a step subtracts whole table entries,
  // whose low byte is the number of bits taken (never above 31) and whose
  // upper bits only disturb bl's upper bits, as no borrow crosses out of the
  // low byte while it holds at least the bits taken.
  auto refill = [&]() AB_INLINE {
    bb |= Load64(in) << static_cast<uint8_t>(bl);
    in += (~bl & 63) >> 3;
    bl |= kRefillBits;
  };
  auto consume = [&](uint32_t e) AB_INLINE {
    bb >>= (e & 63);
    bl -= e;
  };
  // A literal is stored, and may meet the event, before its bits are taken.
  auto literal = [&](uint32_t e) AB_INLINE {
    *out++ = dfe::Literal(e);
    if constexpr (Checked) reachedEvent();
    consume(e);
  };

  // One step; true at the end of the block. Each refill is placed while a
  // table load is in flight, so its few operations stay off the chain of
  // dependent loads and shifts that bounds the loop's speed.
  uint32_t e;
  auto step = [&]() AB_INLINE -> bool {
    refill();
    if (e & dfe::kLiteral) {
      literal(e);
      e = aCodes.LitLen.Root(bb);
      if (e & dfe::kLiteral) {
        literal(e);
        e = aCodes.LitLen.Root(bb);
        if (e & dfe::kLiteral) {
          literal(e);
          e = aCodes.LitLen.Root(bb);
          if (e & dfe::kLiteral) {
            literal(e);
            e = aCodes.LitLen.Root(bb);
          }
          return false;
        }
      }
      refill();
    }
    uint32_t entry = e;
    if (entry & dfe::kExceptional) [[unlikely]] {
      if (entry & dfe::kSubTable) entry = aCodes.LitLen.Sub(entry, bb);
      if (entry & dfe::kLiteral) {
        literal(entry);
        e = aCodes.LitLen.Root(bb);
        return false;
      }
      if (entry & dfe::kEndOfBlock) {
        consume(entry);
        save();
        return true;
      }
      if (entry & dfe::kBad) {
        save();
        Fail(kBadLenSym);
      }
    }

    uint32_t len = dfe::Value(entry) + Extra<Bmi2>(bb, entry);
    consume(entry);
    uint32_t d = aCodes.Dist.Root(bb);
    refill();
    if (d & (dfe::kSubTable | dfe::kBad)) [[unlikely]] {
      if (d & dfe::kSubTable) d = aCodes.Dist.Sub(d, bb);
      if (d & dfe::kBad) {
        save();
        Fail(D64 ? kBadDistSym64 : kBadDistSym);
      }
    }
    uint32_t dist = dfe::Value(d) + Extra<Bmi2>(bb, d);
    consume(d);
    if (dist > static_cast<uint64_t>(out - lowest)) [[unlikely]] {
      save();
      Fail(kDistTooFar);
    }
    e = aCodes.LitLen.Root(bb);
    CopyMatch(out, dist, len);
    out += len;
    // A Deflate64 match may be longer than the unchecked distance itself.
    if constexpr (D64 || Checked) reachedEvent();
    return false;
  };

  refill();
  e = aCodes.LitLen.Root(bb);
  if constexpr (Checked) {
    while (in <= inLast) {
      if (step()) return fsEndOfBlock;
      if (eventDone) {
        save();
        return fsEventDone;
      }
    }
  } else {
    while (in <= inLast && out < outFast) {
      if (step()) return fsEndOfBlock;
      if (D64 && eventDone) {
        save();
        return fsEventDone;
      }
    }
    if (in <= inLast) {
      save();
      return fsNearEvent;
    }
  }
  save();
  return fsInputLow;
}

template <bool D64, bool Checked>
TAbDfDecoder::TFastStop TAbDfDecoder::FastLoop(const TAbDfBlockCodes& aCodes) {
  return FastLoopBody<D64, Checked, false>(aCodes);
}

#if AB_HAVE_BMI2
// The same loop where the processor has BMI2: the extra bits then come out
// with one bzhi and one shrx instead of a mask built by shifting.
template <bool D64, bool Checked>
__attribute__((target("bmi2"))) TAbDfDecoder::TFastStop TAbDfDecoder::FastLoopBmi2(const TAbDfBlockCodes& aCodes) {
  return FastLoopBody<D64, Checked, true>(aCodes);
}
#endif

// ---------------------------------------------------------------------------
// Inflate
// ---------------------------------------------------------------------------

uint32_t Inflate(rtl::TStream* aSource, rtl::TStream* aDest, TAbDeflateHelper* aHelper) {
  if (aSource == nullptr) rtl::Assert("Inflate: a source stream must be given");
  if (aDest == nullptr) rtl::Assert("Inflate: a destination stream must be given");

  auto helper = std::make_unique<TAbDeflateHelper>();
  if (aHelper) helper->Assign(*aHelper);
  int64_t sourceStart = aSource->Position(), destStart = aDest->Position();

  if (!helper->OnProgressStep)
    helper->SetStreamSize(0);
  else if (helper->StreamSize() == -1)
    helper->SetStreamSize(aSource->Size());

  std::unique_ptr<TAbLogger> log;
  if (!helper->LogFile().empty()) {
    log = std::make_unique<TAbLogger>(helper->LogFile());
    log->WriteLine("INFLATING STREAM...");
    log->WriteLine("Need to recompile the app with UseLogging turned on");
  }

  const int32_t options = helper->Options();
  const bool deflate64 = (options & dfc_UseDeflate64) != 0;
  const bool testOnly = (options & dfc_TestOnly) != 0;
  std::unique_ptr<TAbDfInBitStream> in;
  std::unique_ptr<TAbDfOutputWindow> out;
  std::exception_ptr failure;
  uint32_t result = 0;
  try {
    in = std::make_unique<TAbDfInBitStream>(aSource, helper->OnProgressStep,
                                            static_cast<int32_t>(helper->StreamSize()));
    out = std::make_unique<TAbDfOutputWindow>(aDest, deflate64, (options & dfc_UseAdler32) == 0,
                                              static_cast<int32_t>(helper->PartialSize()), testOnly, log.get());
    TAbDfDecoder(*in, *out, deflate64).Run();
    result = out->Checksum();
    if (testOnly && aHelper) aHelper->SetNormalSize(out->Position());
  } catch (const EAbPartSizedInflate&) {
    result = 0;
  } catch (const EAbAbortProgress&) {
    result = 0;
  } catch (const EAbInternalInflateError& e) {
    if (log) log->WriteLine(rtl::Format("Internal exception raised: %s", e.what()));
    failure = std::make_exception_ptr(EAbInflateError(e.Message()));
  } catch (...) {
    failure = std::current_exception();
  }

  // Tear down in a fixed order: the window writes out what is pending, then
  // the bit reader gives back the unconsumed input. A failure while doing so
  // replaces any earlier one, as the last word on what went wrong.
  helper.reset();
  try {
    if (out) out->Close();
  } catch (...) {
    failure = std::current_exception();
  }
  out.reset();
  try {
    if (in) in->Close();
  } catch (...) {
    failure = std::current_exception();
  }
  in.reset();
  log.reset();
  if (failure) std::rethrow_exception(failure);

  if (aHelper) {
    if (!testOnly) aHelper->SetNormalSize(aDest->Position() - destStart);
    aHelper->SetCompressedSize(aSource->Position() - sourceStart);
  }
  return result;
}

} // namespace ab
