// AbUnzHelper: shrink, reduce and implode decoders. The structure is in the
// header; this file follows the order bit reader, output, decoders.
#include "archive/AbUnzHelper.h"

#include <algorithm>
#include <cstring>

#include "archive/AbEndian.h"
#include "archive/AbExcept.h"
#include "archive/AbSWStm.h"
#include "rtl/SysUtils.h"

namespace ab {

// ---------------------------------------------------------------------------
// Life cycle
// ---------------------------------------------------------------------------

TAbUnzipHelper::TAbUnzipHelper(rtl::TStream* InputStream, rtl::TStream* OutputStream,
                               TAbZipDictionarySize DictionarySize, uint32_t UnCompressedSize,
                               uint8_t CompressionMethod, uint8_t ShannonFanoTreeCount)
    : FZStream(InputStream),
      FOutStream(OutputStream),
      FUnCompressedSize(UnCompressedSize),
      FCompressionMethod(CompressionMethod),
      FDictionarySize(DictionarySize),
      FShannonFanoTreeCount(ShannonFanoTreeCount),
      FOutBuf(new uint8_t[OutBufSize]()),
      FInBuf(new uint8_t[InBufSize]()) {
  rtl::AssertTrue(InputStream != nullptr && OutputStream != nullptr, "TAbUnzipHelper.Create: missing stream");
}

TAbUnzipHelper::~TAbUnzipHelper() = default;

void TAbUnzipHelper::Execute() {
  FBitBuf = 0;
  FBitsLeft = 0;
  FInPos = 0;
  FInCnt = 0;  // the first bit read refills FInBuf
  FInEof = false;
  FOutSent = 0;
  FOutPos = 0;

  // Methods that copy earlier output write through the window, which keeps
  // that output readable; shrinking needs no look-back.
  std::unique_ptr<TabSlidingWindowStream> window;
  if (FCompressionMethod >= 2 && FCompressionMethod <= 6) {
    window = std::make_unique<TabSlidingWindowStream>(FOutStream);
    FWindow = window.get();
    FOutWriter = window.get();
  } else {
    FWindow = nullptr;
    FOutWriter = FOutStream;
  }

  try {
    switch (FCompressionMethod) {
      case 1: Unshrink(); break;
      case 2: case 3: case 4: case 5: Unreduce(); break;
      case 6: Explode(); break;
      default: throw EAbZipInvalidMethod();
    }
  } catch (...) {
    // Pass on what was decoded, as on success, but let the first failure be
    // the one reported; the window's destructor writes its chunks.
    try {
      FlushOutput();
    } catch (...) {
    }
    window.reset();
    FWindow = nullptr;
    FOutWriter = nullptr;
    throw;
  }
  FlushOutput();
  if (window) window->Flush();
  window.reset();
  FWindow = nullptr;
  FOutWriter = nullptr;
}

// ---------------------------------------------------------------------------
// Bit reader
// ---------------------------------------------------------------------------

// Reads the next block. At the end of the input the first byte of the last
// block stands in for the missing byte, so that a decoder that reads on
// before it looks at FInEof sees the same bits every time.
void TAbUnzipHelper::RefillInput() {
  int64_t got = FZStream->Read(FInBuf.get(), InBufSize);
  FInPos = 0;
  FInCnt = got > 0 ? static_cast<int32_t>(got) : 0;
  FInEof = FInCnt == 0;
  if (FInEof) {
    FBitBuf |= static_cast<uint64_t>(FInBuf[0]) << FBitsLeft;
    FBitsLeft += 8;
  }
}

// Moves whole bytes from FInBuf into the bit buffer while they fit; never
// reads the stream.
inline void TAbUnzipHelper::TopUpBits() {
  if (FBitsLeft <= 56 && FInCnt - FInPos >= 8) {
    // The same bytes the loop below would take, in one load.
    uint64_t v;
    std::memcpy(&v, FInBuf.get() + FInPos, 8);
    const int32_t take = (64 - FBitsLeft) / 8;
    if (take < 8) v &= (uint64_t{1} << (take * 8)) - 1;
    FBitBuf |= v << FBitsLeft;
    FBitsLeft += take * 8;
    FInPos += take;
    return;
  }
  while (FBitsLeft <= 56 && FInPos < FInCnt) {
    FBitBuf |= static_cast<uint64_t>(FInBuf[FInPos++]) << FBitsLeft;
    FBitsLeft += 8;
  }
}

// Makes at least n bits available, reading the stream only when FInBuf is
// used up and the bits are really needed.
void TAbUnzipHelper::FillBits(int32_t n) {
  for (;;) {
    TopUpBits();
    if (FBitsLeft >= n) return;
    RefillInput();
  }
}

inline uint32_t TAbUnzipHelper::ReadBits(int32_t n) {
  if (FBitsLeft < n) FillBits(n);
  uint32_t v = static_cast<uint32_t>(FBitBuf) & ((1u << n) - 1);
  FBitBuf >>= n;
  FBitsLeft -= n;
  return v;
}

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

// FOutBuf is passed on when it is full and when the item's size is reached.
// Bytes beyond the size (corrupt data) are passed on too, for the caller's
// CRC and size checks to see.
inline int32_t TAbUnzipHelper::RoomBeforeFlush() const {
  int32_t room = OutBufSize - FOutPos;
  int64_t toSize = static_cast<int64_t>(FUnCompressedSize) - OutputCount();
  if (toSize > 0 && toSize < room) room = static_cast<int32_t>(toSize);
  return room;
}

inline void TAbUnzipHelper::AfterPut() {
  if (FOutPos == OutBufSize || OutputCount() == static_cast<int64_t>(FUnCompressedSize)) FlushOutput();
}

inline void TAbUnzipHelper::PutByte(uint8_t b) {
  FOutBuf[FOutPos++] = b;
  AfterPut();
}

void TAbUnzipHelper::PutBytes(const uint8_t* p, int32_t n) {
  if (n < RoomBeforeFlush()) {
    // The common case, a short LZW string well inside the buffer: no flush
    // point is reached, and a call to memcpy would cost more than the copy.
    uint8_t* d = FOutBuf.get() + FOutPos;
    FOutPos += n;
    if (n > 32) {
      std::memcpy(d, p, static_cast<size_t>(n));
      return;
    }
    for (int32_t i = 0; i < n; ++i) d[i] = p[i];
    return;
  }
  while (n > 0) {
    int32_t m = std::min(n, RoomBeforeFlush());
    std::memcpy(FOutBuf.get() + FOutPos, p, static_cast<size_t>(m));
    FOutPos += m;
    p += m;
    n -= m;
    AfterPut();
  }
}

void TAbUnzipHelper::FlushOutput() {
  if (FOutPos <= 0) return;
  // Counted as passed on before the write, so that a failing output stage is
  // not handed the same bytes again when the failure path flushes.
  int32_t n = FOutPos;
  FOutPos = 0;
  FOutSent += n;
  if (FOutWriter->Write(FOutBuf.get(), n) < n) throw rtl::EWriteError();
}

// Copies Length bytes starting at absolute output position Src, one byte at a
// time in effect: the copy may overlap the bytes it produces.
void TAbUnzipHelper::CopyMatch(int64_t Src, uint32_t Length) {
  while (Length > 0) {
    int32_t n = static_cast<int32_t>(std::min<uint32_t>(Length, static_cast<uint32_t>(RoomBeforeFlush())));
    uint8_t* dst = FOutBuf.get() + FOutPos;
    int32_t i = 0;
    while (i < n) {
      int64_t p = Src + i;
      if (p < 0) {  // before the start of the output: zeros
        int32_t m = static_cast<int32_t>(std::min<int64_t>(n - i, -p));
        std::memset(dst + i, 0, static_cast<size_t>(m));
        i += m;
      } else if (p < FOutSent) {  // already passed on: from the window
        int32_t m = static_cast<int32_t>(std::min<int64_t>(n - i, FOutSent - p));
        FWindow->ReadAt(p, dst + i, m);
        i += m;
      } else {  // still in FOutBuf, possibly the bytes being produced
        const uint8_t* s = FOutBuf.get() + (p - FOutSent);
        if (dst + i - s >= n - i) {  // the source ends before the copy begins
          std::memcpy(dst + i, s, static_cast<size_t>(n - i));
          i = n;
        } else {
          for (int32_t k = 0; i < n; ++i, ++k) dst[i] = s[k];
        }
      }
    }
    FOutPos += n;
    Src += n;
    Length -= static_cast<uint32_t>(n);
    AfterPut();
  }
}

// ---------------------------------------------------------------------------
// Unshrink (method 1): LZW with 9 to 13-bit codes and partial clearing
// ---------------------------------------------------------------------------

namespace {

constexpr int32_t kLzwTableSize = 8193;     // codes 0..8191 plus one spare, as the format's tables
constexpr int32_t kLzwMaxCode = 8192;       // first code that cannot exist
constexpr int32_t kLzwMaxCodeSize = 13;
constexpr int32_t kLzwFirstFree = 257;      // 0-255 literals, 256 control
constexpr int16_t kLzwFree = -1;
constexpr int16_t kLzwMark = static_cast<int16_t>(0x8000);  // partial clear: "no child seen"

} // namespace

void TAbUnzipHelper::Unshrink() {
  std::vector<int16_t> prefix(kLzwTableSize, kLzwFree);
  std::vector<uint8_t> suffix(kLzwTableSize, 0);
  // The decoded string is built backwards from the end of the stack, one
  // byte in front reserved for the first character.
  std::vector<uint8_t> stack(kLzwTableSize + 1);
  uint8_t* const stackEnd = stack.data() + stack.size();
  uint8_t* const stackLimit = stack.data() + 1;

  for (int32_t i = 0; i < 256; ++i) {
    prefix[i] = 0;
    suffix[i] = static_cast<uint8_t>(i);
  }
  int32_t nextFree = kLzwFirstFree;
  int32_t codeSize = 9;

  auto findFree = [&](int32_t from) {
    while (from < kLzwMaxCode && prefix[from] != kLzwFree) ++from;
    return from;
  };

  auto partialClear = [&]() {
    // Leaves (codes that are nobody's prefix) become free again: mark all,
    // unmark every code that is a prefix, free what is still marked. Only
    // codes of the cleared range carry marks, so only those are unmarked.
    for (int32_t c = kLzwFirstFree; c < nextFree; ++c) prefix[c] = static_cast<int16_t>(prefix[c] | kLzwMark);
    for (int32_t c = kLzwFirstFree; c < nextFree; ++c) {
      int32_t parent = prefix[c] & 0x7FFF;
      if (parent >= kLzwFirstFree && parent < nextFree) prefix[parent] = static_cast<int16_t>(prefix[parent] & 0x7FFF);
    }
    for (int32_t c = kLzwFirstFree; c < nextFree; ++c)
      if (prefix[c] & kLzwMark) prefix[c] = kLzwFree;
    nextFree = findFree(kLzwFirstFree);
  };

  int32_t oldCode = static_cast<int32_t>(ReadBits(9));
  if (FInEof) return;
  uint8_t firstChar = static_cast<uint8_t>(oldCode);
  PutByte(firstChar);

  while (!FInEof) {
    int32_t code = static_cast<int32_t>(ReadBits(codeSize));
    while (code == 256 && !FInEof) {
      int32_t sub = static_cast<int32_t>(ReadBits(codeSize));
      if (FInEof) break;  // the control code was cut off: nothing to act on
      if (sub == 1) {
        if (++codeSize > kLzwMaxCodeSize) throw EAbCorruptData("shrink: code size above 13 bits");
      } else if (sub == 2) {
        partialClear();
      }  // other values mean nothing and are skipped
      code = static_cast<int32_t>(ReadBits(codeSize));
    }
    if (FInEof) break;
    if (code >= kLzwMaxCode) throw EAbCorruptData("shrink: code beyond the table");
    const int32_t inCode = code;

    uint8_t* sp = stackEnd;
    auto push = [&](uint8_t b) {
      if (sp == stackLimit) throw EAbCorruptData("shrink: string longer than the decoding stack");
      *--sp = b;
    };
    // A code not yet defined is the previous string plus its own first
    // character (the encoder used it in the step that defined it).
    if (prefix[code] == kLzwFree) {
      push(firstChar);
      code = oldCode;
    }
    while (code >= kLzwFirstFree) {
      if (prefix[code] == kLzwFree) {
        push(firstChar);
        code = oldCode;
      } else {
        push(suffix[code]);
        code = prefix[code];
      }
    }
    firstChar = suffix[code];
    *--sp = firstChar;  // the reserved byte in front of the stack
    PutBytes(sp, static_cast<int32_t>(stackEnd - sp));

    if (nextFree < kLzwMaxCode) {
      prefix[nextFree] = static_cast<int16_t>(oldCode);
      suffix[nextFree] = firstChar;
      nextFree = findFree(nextFree + 1);
    }
    oldCode = inCode;
  }
}

// ---------------------------------------------------------------------------
// Unreduce (methods 2-5): follower sets and a run-length/copy state machine
// ---------------------------------------------------------------------------

namespace {

constexpr int32_t kMaxFollowers = 32;
constexpr uint8_t kReduceDLE = 144;  // introduces a copy; 144 0 is a literal 144

// Bits of an index into a follower set of Count bytes: those of Count - 1,
// at least one.
constexpr int32_t FollowerIndexBits(int32_t Count) {
  int32_t bits = 1;
  while ((1 << bits) < Count) ++bits;
  return bits;
}

} // namespace

void TAbUnzipHelper::Unreduce() {
  const int32_t factor = FCompressionMethod - 1;
  struct FollowerSet {
    uint8_t Count;
    uint8_t Bits;
    uint8_t Followers[kMaxFollowers];
  };
  std::vector<FollowerSet> sets(256, FollowerSet{});
  for (int32_t b = 255; b >= 0; --b) {
    int32_t n = static_cast<int32_t>(ReadBits(6));
    if (n > kMaxFollowers) throw EAbCorruptData("reduce: follower set longer than 32 bytes");
    sets[b].Count = static_cast<uint8_t>(n);
    sets[b].Bits = static_cast<uint8_t>(FollowerIndexBits(n));
    for (int32_t i = 0; i < n; ++i) sets[b].Followers[i] = static_cast<uint8_t>(ReadBits(8));
  }

  // The length part of the byte after 144 takes 8 - factor bits; the
  // distance's high part the other factor bits.
  const uint32_t lengthMask = factor >= 1 && factor <= 4 ? 0xFFu >> factor : 0;
  uint8_t last = 0;
  int32_t state = 0;
  uint32_t v = 0, length = 0;
  while (!FInEof && OutputCount() < static_cast<int64_t>(FUnCompressedSize)) {
    const FollowerSet& set = sets[last];
    uint8_t c;
    if (set.Count == 0 || ReadBits(1) == 1)
      c = static_cast<uint8_t>(ReadBits(8));
    else
      c = set.Followers[ReadBits(set.Bits)];  // an index past Count reads a 0 slot
    last = c;
    if (FInEof) break;

    switch (state) {
      case 0:
        if (c == kReduceDLE)
          state = 1;
        else
          PutByte(c);
        break;
      case 1:
        if (c == 0) {
          PutByte(kReduceDLE);
          state = 0;
        } else {
          v = c;
          length = v & lengthMask;
          state = length == lengthMask ? 2 : 3;
        }
        break;
      case 2:
        length += c;
        state = 3;
        break;
      default: {
        if (factor < 1 || factor > 4) throw EAbZipInvalidFactor();
        uint32_t high = (v >> (8 - factor)) & ((1u << factor) - 1);
        int64_t distance = static_cast<int64_t>(high) * 256 + c + 1;
        CopyMatch(OutputCount() - distance, length + 3);
        state = 0;
        break;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Explode (method 6): Shannon-Fano coded literals, lengths and distances
// ---------------------------------------------------------------------------

namespace {

constexpr int32_t kLiteralTreeSize = 256;
constexpr int32_t kLengthTreeSize = 64;
constexpr int32_t kDistanceTreeSize = 64;
constexpr uint32_t kLongLengthSymbol = 63;  // followed by 8 more length bits

uint16_t Reverse16(uint16_t v) {
  uint16_t r = 0;
  for (int32_t i = 0; i < 16; ++i) {
    r = static_cast<uint16_t>((r << 1) | (v & 1));
    v >>= 1;
  }
  return r;
}

} // namespace

// The tree is sent as bit lengths: one byte per run of values with the same
// length. Codes follow from the lengths alone: the longest codes count up from
// 0 and each shorter length continues from there. A length list that does not
// fill the code space leaves codes that never match; those decode as value 0,
// as do bit patterns that no code matches.
void TAbUnzipHelper::LoadShannonFanoTree(TShannonFanoTree& Tree, int32_t n) {
  Tree.Count = n;
  Tree.MaxLength = 0;
  for (int32_t i = 0; i < n; ++i) Tree.Entries[i] = {0, static_cast<uint8_t>(i), 0};

  int32_t bytes = static_cast<int32_t>(ReadBits(8)) + 1;
  int32_t next = 0;
  for (int32_t k = 0; k < bytes; ++k) {
    uint32_t b = ReadBits(8);
    int32_t len = static_cast<int32_t>(b & 15) + 1, run = static_cast<int32_t>(b >> 4) + 1;
    if (run > n - next) throw EAbCorruptData("implode: code length list longer than its tree");
    for (int32_t r = 0; r < run; ++r) Tree.Entries[next++].BitLength = static_cast<uint8_t>(len);
    Tree.MaxLength = std::max(Tree.MaxLength, len);
  }

  auto* first = Tree.Entries;
  std::sort(first, first + n, [](const TShannonFanoTree::Entry& a, const TShannonFanoTree::Entry& b) {
    return a.BitLength != b.BitLength ? a.BitLength < b.BitLength : a.Value < b.Value;
  });

  uint16_t code = 0;
  uint32_t increment = 0;
  int32_t lastLength = 0;
  for (int32_t i = n - 1; i >= 0; --i) {
    code = static_cast<uint16_t>(code + increment);
    if (Tree.Entries[i].BitLength != lastLength) {
      lastLength = Tree.Entries[i].BitLength;
      increment = 1u << (16 - lastLength);
    }
    Tree.Entries[i].Code = code;
  }
  for (int32_t i = 0; i < n; ++i) Tree.Entries[i].Code = Reverse16(Tree.Entries[i].Code);

  // Lookup table over TableBits bits. Entries are entered in sorted order and
  // the first to claim a pattern keeps it, which is what reading bit by bit
  // and taking the first matching entry of the shortest length gives. If the
  // pattern of a code's own bits is taken, all its extensions are taken too
  // (by a code that is a prefix of it), so the entry is skipped whole: every
  // slot is written at most once. Slots left 0 (codes longer than the table,
  // patterns no code matches) are decoded bit by bit, which gives the same
  // answer the full table would.
  Tree.TableBits = std::min(Tree.MaxLength, LookupBits);
  Tree.Lookup.assign(size_t{1} << Tree.TableBits, 0);
  for (int32_t i = 0; i < n; ++i) {
    const auto& e = Tree.Entries[i];
    if (e.BitLength == 0 || (e.Code >> e.BitLength) != 0) continue;  // can never match
    if (e.BitLength > Tree.TableBits) break;  // sorted: the rest are longer
    if (Tree.Lookup[e.Code] != 0) continue;
    uint16_t packed = static_cast<uint16_t>(e.BitLength << 8 | e.Value);
    for (uint32_t idx = e.Code; idx < Tree.Lookup.size(); idx += 1u << e.BitLength) Tree.Lookup[idx] = packed;
  }
}

// Reads one bit at a time and looks, at each length, for the first entry of
// that length whose code matches; no match by the longest length gives 0.
// Used where fewer than MaxLength bits are at hand without reading the
// stream, so that the stream is read exactly when a bit is needed.
uint8_t TAbUnzipHelper::DecodeShannonFanoBitwise(const TShannonFanoTree& Tree) {
  uint32_t code = 0;
  int32_t bits = 0, i = 0;
  for (;;) {
    code |= ReadBits(1) << bits;
    ++bits;
    while (i < Tree.Count && Tree.Entries[i].BitLength < bits) ++i;
    for (; i < Tree.Count && Tree.Entries[i].BitLength == bits; ++i)
      if (Tree.Entries[i].Code == code) return Tree.Entries[i].Value;
    if (i >= Tree.Count) return 0;
  }
}

inline uint8_t TAbUnzipHelper::DecodeShannonFano(const TShannonFanoTree& Tree) {
  if (FBitsLeft < Tree.MaxLength) TopUpBits();
  if (FBitsLeft < Tree.MaxLength) return DecodeShannonFanoBitwise(Tree);
  uint16_t e = Tree.Lookup[static_cast<uint32_t>(FBitBuf) & ((1u << Tree.TableBits) - 1)];
  if (e == 0) return DecodeShannonFanoBitwise(Tree);  // the bits are at hand: no stream read
  int32_t used = e >> 8;
  FBitBuf >>= used;
  FBitsLeft -= used;
  return static_cast<uint8_t>(e);
}

void TAbUnzipHelper::Explode() {
  const int32_t lowDistanceBits = FDictionarySize == ds8K ? 7 : 6;
  const uint32_t minLength = FShannonFanoTreeCount;
  const bool literalTree = FShannonFanoTreeCount == 3;

  auto trees = std::make_unique<TShannonFanoTree[]>(3);
  TShannonFanoTree& literals = trees[0];
  TShannonFanoTree& lengths = trees[1];
  TShannonFanoTree& distances = trees[2];
  if (literalTree) LoadShannonFanoTree(literals, kLiteralTreeSize);
  LoadShannonFanoTree(lengths, kLengthTreeSize);
  LoadShannonFanoTree(distances, kDistanceTreeSize);

  // The end of the input is looked at only between symbols; a match that
  // runs past it is copied in full.
  while (!FInEof && OutputCount() < static_cast<int64_t>(FUnCompressedSize)) {
    if (ReadBits(1) == 1) {
      PutByte(literalTree ? DecodeShannonFano(literals) : static_cast<uint8_t>(ReadBits(8)));
    } else {
      uint32_t distance = ReadBits(lowDistanceBits);
      distance |= static_cast<uint32_t>(DecodeShannonFano(distances)) << lowDistanceBits;
      uint32_t length = DecodeShannonFano(lengths);
      if (length == kLongLengthSymbol) length += ReadBits(8);
      length += minLength;
      CopyMatch(OutputCount() - distance - 1, length);
    }
  }
}

} // namespace ab
