// The inflate routines: block loop, stored, fixed and dynamic blocks, and
// the symbol decoder.
//
// The symbol decoder has two gears. The fast loop keeps the bit accumulator,
// the input pointer and the output pointer in registers and runs while at
// least TAbDfInBitStream::kFastMargin input bytes remain: it refills the
// accumulator with one unaligned 8-byte load (never past the buffered
// input), decodes up to two literals per refill, takes a length's and a
// distance's extra bits straight out of the accumulator, and copies matches
// 16 or 8 bytes at a time into the window, which keeps spare room behind
// every match for exactly that. Its only per-symbol check of the window is
// one pointer compare against the window's next event (a piece due to be
// written, or the partial-size stop).
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

// ---------------------------------------------------------------------------
// Memory helpers
// ---------------------------------------------------------------------------

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian hosts only, as everywhere in the engine
}

inline void Copy8(uint8_t* d, const uint8_t* s) { std::memcpy(d, s, 8); }
inline void Copy16(uint8_t* d, const uint8_t* s) { std::memcpy(d, s, 16); }

// For a match distance d below 8: the smallest multiple of d that is at
// least 8, so that an 8-byte copy from that far back repeats the pattern.
constexpr uint8_t kPeriodStride[8] = {0, 8, 8, 9, 8, 10, 12, 14};

// The longest code (15) plus the most extra bits a length (5, or 16 in
// Deflate64) or a distance (14) can carry: one peek covers symbol and extras.
constexpr int32_t kLenPeekExtra32 = 5, kLenPeekExtra64 = 16, kDistPeekExtra = 14, kCodeLenPeekExtra = 7;
// A dynamic block lists at most 286 literal/length and 32 distance lengths.
constexpr int kMaxLengths = 286 + 32;

// The fast loop's helpers work on its locals by reference; unless they are
// inlined those locals would live in memory instead of registers.
#define AB_INLINE __attribute__((always_inline))

#if defined(__x86_64__) && defined(__GNUC__)
#define AB_HAVE_BMI2 1
const bool kHasBmi2 = __builtin_cpu_supports("bmi2");
#else
#define AB_HAVE_BMI2 0
#endif

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
        case 1: DecodeData(FixedLitLenFast(FDeflate64), FixedDistFast(FDeflate64)); break;
        case 2: InflateDynamicBlock(); break;
        default: Fail(kBadBlockType);
      }
    } while (!final);
  }

private:
  // Tables of the current dynamic block and the stored-data transfer buffer:
  // allocated once per inflation, rebuilt in place for every block.
  struct Work {
    TAbDfLitLenTable LitLen;
    TAbDfDistTable Dist;
    TAbDfCodeLenTable CodeLen;
    uint8_t Lengths[kMaxLengths];
    uint8_t Transfer[TAbDfInBitStream::kBufferSize];
  };

  void InflateStoredBlock();
  void InflateDynamicBlock();
  void ReadLitDistCodeLengths(int aTotal);
  void DecodeData(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist) {
    if (FDeflate64)
      DecodeDataT<true>(aLit, aDist);
    else
      DecodeDataT<false>(aLit, aDist);
  }
  template <bool D64> void DecodeDataT(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist);
  template <bool D64> bool FastLoopBody(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist);
  template <bool D64> bool FastLoop(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist);
  template <bool D64> bool FastLoopBmi2(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist);
  template <bool D64> bool CarefulSymbol(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist);

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
  uint32_t len = head[0] | (head[1] << 8), nlen = head[2] | (head[3] << 8);
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
  if (!BuildFastTable(w.LitLen, w.Lengths, hlit, FDeflate64 ? tkLitLen64 : tkLitLen)) Fail(kOverSubscribed);
  if (!BuildFastTable(w.Dist, w.Lengths + hlit, hdist, FDeflate64 ? tkDist64 : tkDist)) Fail(kOverSubscribed);
  DecodeData(w.LitLen, w.Dist);
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
void TAbDfDecoder::DecodeDataT(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist) {
  for (;;) {
    if (FIn.FBufEnd - FIn.FBufPos >= TAbDfInBitStream::kFastMargin) {
#if AB_HAVE_BMI2
      if (kHasBmi2 ? FastLoopBmi2<D64>(aLit, aDist) : FastLoop<D64>(aLit, aDist)) return;
#else
      if (FastLoop<D64>(aLit, aDist)) return;
#endif
    }
    if (CarefulSymbol<D64>(aLit, aDist)) return;
  }
}

// One symbol through the bit reader's own operations. True: end of block.
template <bool D64>
bool TAbDfDecoder::CarefulSymbol(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist) {
  FIn.PeekBits(aLit.MaxCodeLen + (D64 ? kLenPeekExtra64 : kLenPeekExtra32));
  uint64_t bits = FIn.FBitBuffer;
  uint32_t e = aLit.Lookup(bits);
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

  FIn.PeekBits(aDist.MaxCodeLen + kDistPeekExtra);
  bits = FIn.FBitBuffer;
  e = aDist.Lookup(bits);
  if (e & dfe::kBad) Fail(D64 ? kBadDistSym64 : kBadDistSym);
  uint32_t dist = dfe::Value(e) + dfe::ExtraValue(bits, e);
  FIn.DiscardBits(static_cast<int32_t>(dfe::Total(e)));
  if (dist > static_cast<uint64_t>(FOut.FCurrent - FOut.FBuffer.get())) Fail(kDistTooFar);
  FOut.AddLenDist(static_cast<int32_t>(len), static_cast<int32_t>(dist));
  return false;
}

// The inner loop. True: end of block; false: the buffered input ran low.
//
// The next symbol's table entry is looked up as soon as its bits are in the
// accumulator (before a match is copied), so the load overlaps the copy.
// Between two checks of the input margin at most two refills happen, each
// reading 8 bytes and advancing at most 7: well inside kFastMargin.
template <bool D64>
AB_INLINE inline bool TAbDfDecoder::FastLoopBody(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist) {
  TAbDfInBitStream& bs = FIn;
  TAbDfOutputWindow& win = FOut;
  const uint8_t* in = bs.FBufPos;
  const uint8_t* const inEnd = bs.FBufEnd;
  uint64_t bb = bs.FBitBuffer;
  uint32_t bl = bs.FBitsLeft;
  uint8_t* out = win.FCurrent;
  uint8_t* event = win.EventPoint();
  uint8_t* const lowest = win.FBuffer.get();

  // Hands the state back before anything that may raise or move the window.
  // The look-ahead above the counted bits is dropped; the bytes it came from
  // are still unread.
  auto save = [&]() AB_INLINE {
    bs.FBufPos = in;
    bs.FBitBuffer = bb & ((uint64_t{1} << bl) - 1);
    bs.FBitsLeft = bl;
    win.FCurrent = out;
  };
  auto afterAdd = [&]() AB_INLINE {
    save();
    win.AfterAdd();
    out = win.FCurrent;
    event = win.EventPoint();
  };
  // Tops the accumulator up to 56..63 bits. The load may bring more bits
  // than are counted; they are the true next bits, so OR-ing them in again
  // at the next refill changes nothing.
  auto refill = [&]() AB_INLINE {
    bb |= Load64(in) << bl;
    in += (63 - bl) >> 3;
    bl |= 56;
  };
  auto inputLow = [&]() AB_INLINE { return inEnd - in < TAbDfInBitStream::kFastMargin; };
  // The entry's low byte is the number of bits it takes.
  auto consume = [&](uint32_t e) AB_INLINE {
    bb >>= static_cast<uint8_t>(e);
    bl -= static_cast<uint8_t>(e);
  };
  auto literal = [&](uint32_t e) AB_INLINE {
    *out++ = dfe::Literal(e);
    if (out >= event) [[unlikely]] afterAdd();
    consume(e);
  };

  if (inputLow()) return false;
  refill();
  uint32_t e = aLit.Lookup(bb);
  for (;;) {
    if (e & dfe::kLiteral) {
      // 56 bits hold three literal codes of up to 15 bits each.
      literal(e);
      e = aLit.Lookup(bb);
      if (e & dfe::kLiteral) {
        literal(e);
        e = aLit.Lookup(bb);
        if (e & dfe::kLiteral) {
          literal(e);
          if (inputLow()) break;
          refill();
          e = aLit.Lookup(bb);
          continue;
        }
      }
      if (inputLow()) break;
      refill();
    }
    if (e & (dfe::kEndOfBlock | dfe::kBad)) [[unlikely]] {
      if (e & dfe::kBad) {
        save();
        Fail(kBadLenSym);
      }
      consume(e);
      save();
      return true;
    }

    uint32_t len = dfe::Value(e) + dfe::ExtraValue(bb, e);
    consume(e);
    if constexpr (D64) {
      // A Deflate64 length may take 31 bits, its distance 29 more.
      if (bl < 29) refill();
    }
    e = aDist.Lookup(bb);
    if (e & dfe::kBad) [[unlikely]] {
      save();
      Fail(D64 ? kBadDistSym64 : kBadDistSym);
    }
    uint32_t dist = dfe::Value(e) + dfe::ExtraValue(bb, e);
    consume(e);
    if (dist > static_cast<uint64_t>(out - lowest)) [[unlikely]] {
      save();
      Fail(kDistTooFar);
    }
    const bool last = inputLow();
    if (!last) {
      refill();
      e = aLit.Lookup(bb);
    }

    // The window keeps room for the longest match plus a 64-byte stride
    // behind the current position, so the strides may overshoot the end.
    const uint8_t* src = out - dist;
    uint8_t* dst = out;
    uint8_t* const end = out + len;
    if (dist >= 16) {
      // Each 16-byte source lies wholly behind its destination.
      do {
        Copy16(dst, src);
        dst += 16;
        src += 16;
      } while (dst < end);
    } else if (dist == 1) {
      uint64_t v = 0x0101010101010101ull * src[0];
      do {
        std::memcpy(dst, &v, 8);
        std::memcpy(dst + 8, &v, 8);
        dst += 16;
      } while (dst < end);
    } else if (dist >= 8) {
      do {
        Copy8(dst, src);
        dst += 8;
        src += 8;
      } while (dst < end);
    } else {
      // Periods 2..7: lay down the first 8 bytes one by one, then copy 8
      // bytes at a time from a whole number of periods back (8 to 14
      // bytes), which lies inside what this match has already written.
      for (int i = 0; i < 8; ++i) dst[i] = src[i];
      const uint32_t stride = kPeriodStride[dist];
      for (dst += 8; dst < end; dst += 8) Copy8(dst, dst - stride);
    }
    out = end;
    if (out >= event) [[unlikely]] afterAdd();
    if (last) break;
  }
  save();
  return false;
}

template <bool D64>
bool TAbDfDecoder::FastLoop(const TAbDfLitLenTable& aLit, const TAbDfDistTable& aDist) {
  return FastLoopBody<D64>(aLit, aDist);
}

#if AB_HAVE_BMI2
// The same loop where the processor has BMI2: the extra bits then come out
// with one bzhi and one shrx instead of a mask built by shifting.
template <bool D64>
__attribute__((target("bmi2"))) bool TAbDfDecoder::FastLoopBmi2(const TAbDfLitLenTable& aLit,
                                                                const TAbDfDistTable& aDist) {
  return FastLoopBody<D64>(aLit, aDist);
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
