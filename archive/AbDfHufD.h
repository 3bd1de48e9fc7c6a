// AbDfHufD: Huffman codes of the inflater.
//
// Two forms of the same code live here.
//
// TAbDfDecodeHuffmanTree is the general one, shared with the compressor: a
// flat table of 2^LookupBitLength entries, each entry (extra bits << 24) |
// (code length << 16) | symbol, and optionally a per-symbol encode table.
// One masked index decodes a symbol. The two fixed codes of the format exist
// in this form, built once.
//
// TAbDfFastTable is what the inflater's inner loop reads. A flat table of
// 2^15 entries per dynamic block costs 128 KiB of cache and as many stores to
// build; instead a root table of kRootBits bits resolves every code of that
// length or shorter in one load, and the rare longer codes go through one
// small subtable. Each entry already holds what the decoder needs next, so a
// symbol costs one load (two for long codes) and no further table:
//
//   bits  0..7   bits to consume: the code and its extra bits (for a
//                subtable link: the subtable's index bits)
//   bits  8..11  code length alone; the extra bits sit above it
//   bit  12      no symbol / not allowed here
//   bit  13      end of block
//   bit  14      subtable link
//   bit  31      literal (literal/length tables only)
//   bits 16..31  the length or distance base, the code-length symbol, or
//                the subtable's offset; bits 16..23 the literal
//
// The low byte is a shift count as it stands, which keeps the decoder's
// dependency chain per symbol at one load and one shift.
//
// Deflate and Deflate64 differ only in the entries: length symbol 285 is 258
// with no extra bits in Deflate, 3 with 16 extra bits in Deflate64; distance
// symbols 30 and 31 exist only in Deflate64.
//
// Both builders refuse a set of code lengths that over-subscribes the code
// space (more codes than fit), which could otherwise make codes collide or
// index past their table; an incomplete code is allowed, its unused bit
// patterns decode to the no-symbol entry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace ab {

// ---------------------------------------------------------------------------
// Constant tables of the format
// ---------------------------------------------------------------------------

// Length symbols 257..285 (285 as Deflate64 reads it: base 3, 16 extra bits),
// then 286 and 287 of the fixed code with an impossible extra count.
extern const uint16_t AbDfLengthBase[29];
extern const uint8_t AbDfLengthExtraBits[31];
// Distance symbols 0..31; 30 and 31 are Deflate64's.
extern const uint32_t AbDfDistanceBase[32];
extern const uint8_t AbDfDistanceExtraBits[32];
// The order in which a dynamic block lists the code-length code's lengths.
extern const uint8_t AbDfCodeLengthIndex[19];

// ---------------------------------------------------------------------------
// TAbDfDecodeHuffmanTree
// ---------------------------------------------------------------------------

enum class TAbDfHuffmanUsage { huEncoding, huDecoding, huBoth };
using enum TAbDfHuffmanUsage;

class TAbDfDecodeHuffmanTree {
public:
  TAbDfDecodeHuffmanTree(int32_t aAlphabetSize, int32_t aDefMaxCodeLen, TAbDfHuffmanUsage aUsage);

  // Symbol i takes the length aCodeLengths[aStartInx + i]; symbols from
  // aExtraOffset on take aExtraBits[i - aExtraOffset] extra bits.
  void Build(std::span<const int32_t> aCodeLengths, int32_t aStartInx, int32_t aCount,
             std::span<const uint8_t> aExtraBits, int32_t aExtraOffset);
  uint32_t Decode(uint32_t aLookupBits) const;

  int32_t LookupBitLength() const { return FMaxCodeLen; }
  const std::vector<uint32_t>& Decodes() const { return FDecodes; }
  const std::vector<uint32_t>& Encodes() const { return FEncodes; }

private:
  int32_t FAlphaSize;
  std::vector<uint32_t> FDecodes;
  int32_t FDefMaxCodeLen;
  std::vector<uint32_t> FEncodes;
  uint32_t FMask = 0;
  int32_t FMaxCodeLen = 0;
  TAbDfHuffmanUsage FUsage;
};

// The fixed codes (288 literal/length symbols, 32 distance symbols), built
// once on first use and shared read-only.
const TAbDfDecodeHuffmanTree& FixedLitLenTree();
const TAbDfDecodeHuffmanTree& FixedDistTree();

// ---------------------------------------------------------------------------
// TAbDfFastTable
// ---------------------------------------------------------------------------

namespace dfe {
constexpr uint32_t kBad = 1u << 12;
constexpr uint32_t kEndOfBlock = 1u << 13;
constexpr uint32_t kSubTable = 1u << 14;
constexpr uint32_t kLiteral = 1u << 31;
// Anything but a literal or a length: one test sends the rare cases aside.
constexpr uint32_t kExceptional = kBad | kEndOfBlock | kSubTable;
inline uint32_t Total(uint32_t e) { return e & 0xFF; }
inline uint32_t Len(uint32_t e) { return (e >> 8) & 0x0F; }
inline uint32_t Value(uint32_t e) { return e >> 16; }
inline uint8_t Literal(uint32_t e) { return static_cast<uint8_t>(e >> 16); }
// The extra bits that follow the code in aBits.
// The shift count may take the whole second byte: for an entry with extra
// bits the flag bits above the code length are clear.
inline uint32_t ExtraValue(uint64_t aBits, uint32_t e) {
  // Written so that compilers find BMI2's bzhi where the target has it.
  const uint32_t total = e & 0xFF;
  return static_cast<uint32_t>((aBits & ~(~uint64_t{0} << total)) >> ((e >> 8) & 0x0F));
}
} // namespace dfe

enum class TAbDfTableKind { tkLitLen, tkLitLen64, tkDist, tkDist64, tkCodeLen };
using enum TAbDfTableKind;

// Root widths: 11 bits cover nearly every literal/length code of real data,
// 8 bits nearly every distance code; code-length codes are at most 7 bits.
//
// Size of the subtables. Codes longer than the root are the last ones of
// the canonical order: they fill one run of the code space, in order of
// length, starting at a root slot boundary. Each root slot they touch gets
// one subtable as wide as the slot's longest code. A slot filled by codes
// of one length has exactly one entry per code. Any other slot either holds
// a step from one length to the next (there are at most MaxLen - RootBits - 1
// steps) or is the last, partly filled slot; it has at most 2^(MaxLen -
// RootBits) entries and at least one code. Hence at most Symbols +
// (MaxLen - RootBits) * (2^(MaxLen - RootBits) - 1) subtable entries, and
// never more than Symbols subtables of the widest kind.
template <int RootBits, int Symbols, int MaxLen = 15>
struct TAbDfFastTable {
  static constexpr int kRootBits = RootBits;
  static constexpr int kSubWidest = MaxLen > RootBits ? 1 << (MaxLen - RootBits) : 0;
  static constexpr int kSubBound =
      MaxLen > RootBits ? std::min(Symbols * kSubWidest, Symbols + (MaxLen - RootBits) * (kSubWidest - 1)) : 0;
  static constexpr int kSize = (1 << RootBits) + kSubBound;
  // A subtable link keeps its offset in the entry's upper 16 bits.
  static_assert(kSize <= 0x10000, "subtable offsets fit an entry");
  uint32_t Entries[kSize];
  int32_t MaxCodeLen;  // longest code present, 0 when there is none

  // The root entry for the next bits: final unless it links a subtable.
  uint32_t Root(uint64_t aBits) const { return Entries[aBits & ((1u << RootBits) - 1)]; }
  // The entry a subtable link leads to.
  uint32_t Sub(uint32_t aLink, uint64_t aBits) const {
    return Entries[dfe::Value(aLink) + ((aBits >> RootBits) & ((1u << dfe::Total(aLink)) - 1))];
  }
  uint32_t Lookup(uint64_t aBits) const {
    uint32_t e = Root(aBits);
    if (e & dfe::kSubTable) [[unlikely]]
      e = Sub(e, aBits);
    return e;
  }
};

using TAbDfLitLenTable = TAbDfFastTable<11, 288>;
using TAbDfDistTable = TAbDfFastTable<8, 32>;
using TAbDfCodeLenTable = TAbDfFastTable<7, 19, 7>;

// Builds a table from aCount lengths (each 0..15). False: the lengths
// over-subscribe the code space; the table is then unusable.
template <int RootBits, int Symbols, int MaxLen>
bool BuildFastTable(TAbDfFastTable<RootBits, Symbols, MaxLen>& aTable, const uint8_t* aLengths, int aCount,
                    TAbDfTableKind aKind);

// The two codes of one block side by side, so that the decoder reaches both
// through one base address.
struct TAbDfBlockCodes {
  TAbDfLitLenTable LitLen;
  TAbDfDistTable Dist;
};

// The fixed codes in fast form, for Deflate and for Deflate64.
const TAbDfBlockCodes& FixedCodesFast(bool aDeflate64);

} // namespace ab
