// Building the Huffman tables of the inflater.
//
// A dynamic block brings new codes every few ten thousand symbols, so the
// tables are built often and their building has to be cheap next to the
// decoding it serves. The builder therefore does little per symbol and
// nothing per table slot that it can avoid:
//
//   * an entry is the symbol's part (flags, base, extra bits), looked up in
//     a table made at compile time for each kind of code, plus the code
//     length twice: one load and one add instead of a switch per symbol;
//   * the root is filled by doubling: each code goes into the first 2^l
//     slots for its length l, and the filled part is copied behind itself
//     before the next length, so the repeats of short codes cost wide
//     contiguous copies rather than one strided store each;
//   * codes longer than the root are the last ones of the canonical order,
//     so the subtables are laid out from the first long code's prefix on,
//     never by scanning all root slots.
#include "archive/AbDfHufD.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "archive/AbDfBase.h"
#include "rtl/SysUtils.h"

namespace ab {

// ---------------------------------------------------------------------------
// Constant tables
// ---------------------------------------------------------------------------

constexpr uint16_t AbDfLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
// 99 for 286 and 287: the fixed code gives them codes, valid data never uses
// them, and no table entry built from them can be taken for a length.
constexpr uint8_t AbDfLengthExtraBits[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                         3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16, 99, 99};
constexpr uint32_t AbDfDistanceBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,    33,
                                       49,   65,   97,   129,  193,  257,   385,   513,   769,   1025,  1537,
                                       2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr uint8_t AbDfDistanceExtraBits[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                           7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
const uint8_t AbDfCodeLengthIndex[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

namespace {

// Huffman codes are defined most significant bit first, but the bits arrive
// least significant first; table indexes use the arrival order.
constexpr std::array<uint8_t, 256> MakeByteReverse() {
  std::array<uint8_t, 256> t{};
  for (int i = 0; i < 256; ++i)
    for (int b = 0; b < 8; ++b)
      if (i & (1 << b)) t[i] |= static_cast<uint8_t>(0x80 >> b);
  return t;
}
constexpr std::array<uint8_t, 256> kByteReverse = MakeByteReverse();

// The low aLen (0..16) bits of aCode in reverse order.
inline uint32_t Reverse(uint32_t aCode, int aLen) {
  uint32_t r16 = (static_cast<uint32_t>(kByteReverse[aCode & 0xFF]) << 8) | kByteReverse[(aCode >> 8) & 0xFF];
  return r16 >> (16 - aLen);
}

// Canonical codes: the first code of each length follows from the counts of
// the shorter lengths; codes of one length are consecutive in symbol order.
// Returns false when the lengths over-subscribe the code space.
bool FirstCodes(const int (&aCount)[16], int aMaxLen, uint32_t (&aNext)[16]) {
  int32_t left = 1;
  for (int l = 1; l <= aMaxLen; ++l) {
    left = 2 * left - aCount[l];
    if (left < 0) return false;
  }
  uint32_t code = 0;
  aNext[0] = 0;
  for (int l = 1; l < 16; ++l) {
    code = (code + static_cast<uint32_t>(l == 1 ? 0 : aCount[l - 1])) << 1;
    aNext[l] = code;
  }
  return true;
}

} // namespace

// ---------------------------------------------------------------------------
// TAbDfDecodeHuffmanTree
// ---------------------------------------------------------------------------

TAbDfDecodeHuffmanTree::TAbDfDecodeHuffmanTree(int32_t aAlphabetSize, int32_t aDefMaxCodeLen,
                                               TAbDfHuffmanUsage aUsage)
    : FAlphaSize(aAlphabetSize), FDefMaxCodeLen(aDefMaxCodeLen), FUsage(aUsage) {
  if (aAlphabetSize < 2)
    rtl::Assert("TAbDfDecodeHuffmanTree.Create: a huffman tree must be for at least two symbols");
  if (aUsage != huDecoding) FEncodes.assign(static_cast<size_t>(aAlphabetSize), 0xFFFFFFFFu);
}

void TAbDfDecodeHuffmanTree::Build(std::span<const int32_t> aCodeLengths, int32_t aStartInx, int32_t aCount,
                                   std::span<const uint8_t> aExtraBits, int32_t aExtraOffset) {
  if (aStartInx < 0 || aCount < 0 || aCount > FAlphaSize ||
      static_cast<size_t>(aStartInx) + static_cast<size_t>(aCount) > aCodeLengths.size())
    rtl::Assert("TAbDfDecodeHuffmanTree.Build: code lengths out of range");
  const int32_t* lens = aCodeLengths.data() + aStartInx;
  int count[16] = {};
  int maxLen = 0;
  for (int32_t i = 0; i < aCount; ++i) {
    if (lens[i] < 0 || lens[i] > FDefMaxCodeLen || lens[i] > 15)
      rtl::Assert(rtl::Format("TAbDfDecodeHuffmanTree.Build: a code length is greater than %d", FDefMaxCodeLen));
    ++count[lens[i]];
    maxLen = std::max(maxLen, static_cast<int>(lens[i]));
  }
  count[0] = 0;
  uint32_t next[16];
  if (!FirstCodes(count, maxLen, next))
    throw EAbInternalInflateError("over-subscribed set of code lengths [TAbDfDecodeHuffmanTree.Build]");

  FMaxCodeLen = maxLen;
  uint32_t size = 1u << maxLen;
  if (FUsage != huEncoding) {
    FDecodes.assign(size, 0xFFFFFFFFu);
    FMask = ~(size - 1);
  }
  if (FUsage != huDecoding) std::fill(FEncodes.begin(), FEncodes.end(), 0xFFFFFFFFu);
  for (int32_t sym = 0; sym < aCount; ++sym) {
    int n = lens[sym];
    if (n == 0) continue;
    uint32_t r = Reverse(next[n]++, n);
    uint32_t extra = 0;
    if (sym >= aExtraOffset && static_cast<size_t>(sym - aExtraOffset) < aExtraBits.size())
      extra = aExtraBits[static_cast<size_t>(sym - aExtraOffset)];
    uint32_t head = (extra << 24) | (static_cast<uint32_t>(n) << 16);
    if (FUsage != huEncoding)
      for (uint32_t k = r; k < size; k += 1u << n) FDecodes[k] = head | static_cast<uint32_t>(sym);
    if (FUsage != huDecoding) FEncodes[static_cast<size_t>(sym)] = head | r;
  }
}

uint32_t TAbDfDecodeHuffmanTree::Decode(uint32_t aLookupBits) const {
  if ((aLookupBits & FMask) != 0 || FDecodes.empty())
    rtl::Assert("TAbDfDecodeHuffmanTree.Decode: trying to decode too many bits, use LookupBitLength property");
  return FDecodes[aLookupBits];
}

// ---------------------------------------------------------------------------
// The fixed codes
// ---------------------------------------------------------------------------

namespace {

// Literal/length: 8 bits for 0..143, 9 for 144..255, 7 for 256..279, 8 for
// 280..287. Distance: 5 bits for all 32 symbols.
int FixedLitLenLength(int aSym) { return aSym < 144 ? 8 : aSym < 256 ? 9 : aSym < 280 ? 7 : 8; }

} // namespace

const TAbDfDecodeHuffmanTree& FixedLitLenTree() {
  static const TAbDfDecodeHuffmanTree tree = [] {
    TAbDfDecodeHuffmanTree t(288, 15, huBoth);
    int32_t lens[288];
    for (int i = 0; i < 288; ++i) lens[i] = FixedLitLenLength(i);
    t.Build(lens, 0, 288, AbDfLengthExtraBits, 257);
    return t;
  }();
  return tree;
}

const TAbDfDecodeHuffmanTree& FixedDistTree() {
  static const TAbDfDecodeHuffmanTree tree = [] {
    TAbDfDecodeHuffmanTree t(32, 15, huBoth);
    int32_t lens[32];
    std::fill(std::begin(lens), std::end(lens), 5);
    t.Build(lens, 0, 32, AbDfDistanceExtraBits, 0);
    return t;
  }();
  return tree;
}

// ---------------------------------------------------------------------------
// TAbDfFastTable
// ---------------------------------------------------------------------------

namespace {

// An entry is its symbol's part, the same for every code length, plus the
// code length once in bits 8..11 and once in the bits to consume. The parts
// are made at compile time for each kind, so that building the tables of a
// block looks each symbol's part up instead of working it out.
constexpr uint32_t SymbolPart(TAbDfTableKind aKind, int aSym) {
  auto withExtra = [](uint32_t base, uint32_t extra) { return (base << 16) | extra; };
  switch (aKind) {
    case tkLitLen:
    case tkLitLen64:
      if (aSym < 256) return dfe::kLiteral | (static_cast<uint32_t>(aSym) << 16);
      if (aSym == 256) return dfe::kEndOfBlock;
      if (aSym > 285) return dfe::kBad;
      if (aSym == 285 && aKind == tkLitLen) return withExtra(258, 0);
      return withExtra(AbDfLengthBase[aSym - 257], AbDfLengthExtraBits[aSym - 257]);
    case tkDist:
    case tkDist64:
      if (aSym > 31 || (aSym > 29 && aKind == tkDist)) return dfe::kBad;
      return withExtra(AbDfDistanceBase[aSym], AbDfDistanceExtraBits[aSym]);
    case tkCodeLen: return static_cast<uint32_t>(aSym) << 16;
  }
  return dfe::kBad;
}

template <TAbDfTableKind Kind, int N>
constexpr std::array<uint32_t, N> MakeParts() {
  std::array<uint32_t, N> a{};
  for (int i = 0; i < N; ++i) a[i] = SymbolPart(Kind, i);
  return a;
}

constexpr auto kLitLenParts = MakeParts<tkLitLen, 288>();
constexpr auto kLitLen64Parts = MakeParts<tkLitLen64, 288>();
constexpr auto kDistParts = MakeParts<tkDist, 32>();
constexpr auto kDist64Parts = MakeParts<tkDist64, 32>();
constexpr auto kCodeLenParts = MakeParts<tkCodeLen, 19>();

const uint32_t* PartsFor(TAbDfTableKind aKind) {
  switch (aKind) {
    case tkLitLen: return kLitLenParts.data();
    case tkLitLen64: return kLitLen64Parts.data();
    case tkDist: return kDistParts.data();
    case tkDist64: return kDist64Parts.data();
    case tkCodeLen: return kCodeLenParts.data();
  }
  return kCodeLenParts.data();
}

inline uint32_t EntryOf(const uint32_t* aParts, int aSym, int aLen) {
  const uint32_t len = static_cast<uint32_t>(aLen);
  return aParts[aSym] + (len << 8) + len;
}

// The root by doubling: once the codes of length l are in the first 2^l
// slots, the filled part is copied behind itself, which gives every code
// so far its repeat at the next bit. Every slot is so written by a
// contiguous copy instead of a strided store per repeat. Slots that no
// short code covers start as no-symbol entries and are repeated as such:
// they are unused patterns, or prefixes of long codes whose subtable
// pointer is written afterwards.
template <int R, int Symbols>
inline void FillRoot(uint32_t* t, const uint32_t* parts, const uint8_t* aLengths, int aCount, const int* count,
                     const uint16_t* codes) {
  int first[R + 2] = {};
  for (int l = 1; l <= R; ++l) first[l + 1] = first[l] + count[l];
  uint16_t byLength[Symbols];
  int fill[R + 1];
  std::copy(first, first + R + 1, fill);
  for (int s = 0; s < aCount; ++s)
    if (aLengths[s] && aLengths[s] <= R) byLength[fill[aLengths[s]]++] = static_cast<uint16_t>(s);
  t[0] = t[1] = dfe::kBad;
  for (int l = 1; l <= R; ++l) {
    for (int i = first[l]; i < first[l + 1]; ++i) {
      const int sym = byLength[i];
      t[Reverse(codes[sym], l)] = EntryOf(parts, sym, l);
    }
    if (l < R) std::memcpy(t + (1u << l), t, sizeof(uint32_t) << l);
  }
}

// Codes longer than the root share subtables by their first R bits; each
// subtable is as wide as the longest code that uses it. Their prefixes all
// lie in [pFirst, 2^R). Only the subtables of an incomplete code need the
// no-symbol entry first; a complete code writes each of their slots itself.
template <int R, int Symbols, int MaxLen>
inline bool FillSubtables(TAbDfFastTable<R, Symbols, MaxLen>& aTable, const uint32_t* parts, const uint8_t* aLengths,
                          int aCount, const uint16_t* codes, uint32_t pFirst, bool complete) {
  constexpr uint32_t kRootSize = 1u << R;
  uint32_t* t = aTable.Entries;
  uint8_t subBits[kRootSize];
  uint16_t subOffset[kRootSize];
  std::fill(subBits + pFirst, subBits + kRootSize, uint8_t{0});
  for (int s = 0; s < aCount; ++s) {
    int l = aLengths[s];
    if (l <= R) continue;
    uint32_t p = codes[s] >> (l - R);
    subBits[p] = std::max<uint8_t>(subBits[p], static_cast<uint8_t>(l - R));
  }
  uint32_t offset = kRootSize;
  for (uint32_t p = pFirst; p < kRootSize; ++p) {
    if (!subBits[p]) continue;
    // Cannot happen by the bound on kSize; kept so that a mistake there
    // could never write past the table.
    if (offset + (1u << subBits[p]) > static_cast<uint32_t>(aTable.kSize)) return false;
    t[Reverse(p, R)] = dfe::kSubTable | (offset << 16) | subBits[p];
    subOffset[p] = static_cast<uint16_t>(offset);
    if (!complete) std::fill(t + offset, t + offset + (1u << subBits[p]), dfe::kBad);
    offset += 1u << subBits[p];
  }
  for (int s = 0; s < aCount; ++s) {
    int l = aLengths[s];
    if (l <= R) continue;
    uint32_t p = codes[s] >> (l - R);
    uint32_t r = Reverse(codes[s] & ((1u << (l - R)) - 1), l - R);
    uint32_t e = EntryOf(parts, s, l);
    for (uint32_t k = r; k < (1u << subBits[p]); k += 1u << (l - R)) t[subOffset[p] + k] = e;
  }
  return true;
}

} // namespace

template <int RootBits, int Symbols, int MaxLen>
bool BuildFastTable(TAbDfFastTable<RootBits, Symbols, MaxLen>& aTable, const uint8_t* aLengths, int aCount,
                    TAbDfTableKind aKind) {
  constexpr int R = RootBits;
  constexpr uint32_t kRootSize = 1u << R;
  const uint32_t* parts = PartsFor(aKind);
  int count[16] = {};
  int maxLen = 0;
  for (int s = 0; s < aCount; ++s) {
    if (aLengths[s] > MaxLen) return false;
    ++count[aLengths[s]];
    maxLen = std::max(maxLen, static_cast<int>(aLengths[s]));
  }
  count[0] = 0;
  uint32_t next[16];
  if (!FirstCodes(count, maxLen, next)) return false;
  aTable.MaxCodeLen = maxLen;
  uint32_t space = 0;
  for (int l = 1; l <= MaxLen; ++l) space += static_cast<uint32_t>(count[l]) << (MaxLen - l);
  const bool complete = space == (1u << MaxLen);

  // The first code longer than the root, as its first R bits: codes of one
  // length follow each other, and longer codes follow all shorter ones.
  const uint32_t firstLongPrefix = MaxLen > R ? next[std::min(R + 1, 15)] >> 1 : kRootSize;
  uint16_t codes[Symbols];
  for (int s = 0; s < aCount; ++s)
    if (aLengths[s]) codes[s] = static_cast<uint16_t>(next[aLengths[s]]++);

  FillRoot<R, Symbols>(aTable.Entries, parts, aLengths, aCount, count, codes);
  if constexpr (MaxLen > R) {
    if (maxLen > R) return FillSubtables(aTable, parts, aLengths, aCount, codes, firstLongPrefix, complete);
  }
  return true;
}

template bool BuildFastTable(TAbDfLitLenTable&, const uint8_t*, int, TAbDfTableKind);
template bool BuildFastTable(TAbDfDistTable&, const uint8_t*, int, TAbDfTableKind);
template bool BuildFastTable(TAbDfCodeLenTable&, const uint8_t*, int, TAbDfTableKind);

namespace {

struct FixedFast {
  TAbDfBlockCodes Codes[2];
  FixedFast() {
    uint8_t lit[288], dist[32];
    for (int i = 0; i < 288; ++i) lit[i] = static_cast<uint8_t>(FixedLitLenLength(i));
    std::fill(std::begin(dist), std::end(dist), uint8_t{5});
    BuildFastTable(Codes[0].LitLen, lit, 288, tkLitLen);
    BuildFastTable(Codes[1].LitLen, lit, 288, tkLitLen64);
    BuildFastTable(Codes[0].Dist, dist, 32, tkDist);
    BuildFastTable(Codes[1].Dist, dist, 32, tkDist64);
  }
};

const FixedFast& Fixed() {
  static const FixedFast f;
  return f;
}

} // namespace

const TAbDfBlockCodes& FixedCodesFast(bool aDeflate64) { return Fixed().Codes[aDeflate64 ? 1 : 0]; }

} // namespace ab
