// Shrink, reduce and implode: real archives from other programs (their stored
// CRC-32 is the oracle), hand-made bit streams for the corners of each format,
// the write-behind window, and a robustness loop that also holds the decoders
// to a plain bit-by-bit model of the same algorithms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/AbExcept.h"
#include "archive/AbSWStm.h"
#include "archive/AbUnzHelper.h"
#include "archive/AbUtils.h"
#include "rtl/Classes.h"
#include "tests/engine/ZipTestReader.h"

using namespace ab;

namespace {

const std::string kLegacyDir = std::string(ARVELO_TEST_DATA) + "/legacy/";

struct Params {
  uint8_t method;
  uint32_t size;
  TAbZipDictionarySize dict = ds4K;
  uint8_t trees = 2;
};

std::string Decode(const std::string& data, const Params& p, rtl::TStream* out = nullptr) {
  rtl::TBytesView in(data.data(), static_cast<int64_t>(data.size()));
  rtl::TMemoryStream mem;
  TAbUnzipHelper helper(&in, out ? out : &mem, p.dict, p.size, p.method, p.trees);
  helper.Execute();
  return out ? std::string() : mem.DataString();
}

Params ParamsOf(const ziptest::Entry& e) {
  return {static_cast<uint8_t>(e.method), static_cast<uint32_t>(e.uncompressedSize),
          (e.flags & 2) ? ds8K : ds4K, static_cast<uint8_t>((e.flags & 4) ? 3 : 2)};
}

uint32_t Crc(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  UpdateCrc32(c, s.data(), static_cast<int64_t>(s.size()));
  return ~c;
}

// Bits in the order the decoders read them: least significant first.
struct BitWriter {
  std::string out;
  uint32_t acc = 0;
  int n = 0;
  BitWriter& Put(uint32_t v, int bits) {
    for (int i = 0; i < bits; ++i) {
      acc |= ((v >> i) & 1u) << n;
      if (++n == 8) {
        out += static_cast<char>(acc);
        acc = 0;
        n = 0;
      }
    }
    return *this;
  }
  // A code whose first bit is its most significant one (Shannon-Fano).
  BitWriter& PutMsbFirst(uint32_t v, int bits) {
    for (int i = bits - 1; i >= 0; --i) Put((v >> i) & 1u, 1);
    return *this;
  }
  std::string Finish() {
    std::string s = out;
    if (n > 0) s += static_cast<char>(acc);
    return s;
  }
};

template <class Fn>
std::string CorruptReason(Fn fn) {
  try {
    fn();
  } catch (const EAbCorruptData& e) {
    EXPECT_EQ(e.ErrorCode, erCorruptData);
    return e.Message();
  }
  return "(no failure)";
}

// A memory stream that records how it is driven.
class RecordingStream : public rtl::TStream {
public:
  struct Call {
    char kind;  // 'S' seek, 'W' write
    int64_t pos, count;
  };
  std::vector<Call> calls;
  rtl::TMemoryStream mem;
  int64_t writeLimit = -1;  // when set, a write takes at most this many bytes
  bool failSeek = false;

  int64_t Read(void* b, int64_t c) override { return mem.Read(b, c); }
  int64_t Write(const void* b, int64_t c) override {
    calls.push_back({'W', mem.Position(), c});
    if (writeLimit >= 0) c = std::min(c, writeLimit);
    return mem.Write(b, c);
  }
  int64_t Seek(int64_t o, rtl::TSeekOrigin origin) override {
    if (failSeek) return -1;
    calls.push_back({'S', o, 0});
    return mem.Seek(o, origin);
  }
};

// ---------------------------------------------------------------------------
// A plain model of the three decoders: one byte at a time from 4096-byte
// blocks, tree codes bit by bit over a sorted list, earlier output read from
// a string. The decoders must give exactly its bytes on any input.
// ---------------------------------------------------------------------------

struct Model {
  const std::string& in;
  size_t next = 0;
  uint8_t buf[4096] = {};
  int inPos = 4097, inCnt = 0, bitsLeft = 0;
  uint8_t cur = 0;
  bool eof = false;
  std::string out;
  uint32_t size;

  Model(const std::string& data, uint32_t sz) : in(data), size(sz) {}

  void Refill() {
    size_t n = std::min<size_t>(4096, in.size() - next);
    std::memcpy(buf, in.data() + next, n);
    next += n;
    inCnt = static_cast<int>(n);
    eof = n == 0;
    cur = buf[0];
    inPos = 2;
  }
  void NextByte() {
    if (inPos > inCnt)
      Refill();
    else
      cur = buf[inPos++ - 1];
    bitsLeft = 8;
  }
  uint32_t Bits(int n) {
    if (bitsLeft == 0) NextByte();
    if (n < bitsLeft) {
      uint32_t v = cur & ((1u << n) - 1);
      cur = static_cast<uint8_t>(cur >> n);
      bitsLeft -= n;
      return v;
    }
    if (n == bitsLeft) {
      uint32_t v = cur;
      cur = 0;
      bitsLeft = 0;
      return v;
    }
    uint32_t low = cur;
    int w = bitsLeft;
    NextByte();
    return (Bits(n - w) << w) | low;
  }
  uint8_t At(int64_t p) const { return p < 0 ? 0 : static_cast<uint8_t>(out[static_cast<size_t>(p)]); }
  void Copy(int64_t from, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) out += static_cast<char>(At(from + i));
  }
  bool Below() const { return static_cast<int64_t>(out.size()) < static_cast<int64_t>(size); }

  void Unshrink() {
    std::vector<int16_t> prefix(8193, -1);
    std::vector<uint8_t> suffix(8193, 0);
    for (int i = 0; i < 256; ++i) prefix[i] = 0, suffix[i] = static_cast<uint8_t>(i);
    int nextFree = 257, codeSize = 9;
    auto findFree = [&](int from) {
      while (from < 8192 && prefix[from] != -1) ++from;
      return from;
    };
    int old = static_cast<int>(Bits(9));
    if (eof) return;
    uint8_t first = static_cast<uint8_t>(old);
    out += static_cast<char>(first);
    while (!eof) {
      int code = static_cast<int>(Bits(codeSize));
      while (code == 256 && !eof) {
        int sub = static_cast<int>(Bits(codeSize));
        if (eof) break;
        if (sub == 1 && ++codeSize > 13) throw EAbCorruptData("model");
        if (sub == 2) {
          for (int c = 257; c < nextFree; ++c) prefix[c] = static_cast<int16_t>(prefix[c] | 0x8000);
          for (int c = 257; c < nextFree; ++c) {
            int p = prefix[c] & 0x7FFF;
            if (p >= 257 && p < nextFree) prefix[p] = static_cast<int16_t>(prefix[p] & 0x7FFF);
          }
          for (int c = 257; c < nextFree; ++c)
            if (prefix[c] & 0x8000) prefix[c] = -1;
          nextFree = findFree(257);
        }
        code = static_cast<int>(Bits(codeSize));
      }
      if (eof) break;
      int incoming = code;
      std::string stack;
      auto push = [&](uint8_t b) {
        if (stack.size() == 8193) throw EAbCorruptData("model");
        stack += static_cast<char>(b);
      };
      if (prefix[code] == -1) push(first), code = old;
      while (code >= 257) {
        if (prefix[code] == -1)
          push(first), code = old;
        else
          push(suffix[code]), code = prefix[code];
      }
      first = suffix[code];
      out += static_cast<char>(first);
      out.append(stack.rbegin(), stack.rend());
      if (nextFree < 8192) {
        prefix[nextFree] = static_cast<int16_t>(old);
        suffix[nextFree] = first;
        nextFree = findFree(nextFree + 1);
      }
      old = incoming;
    }
  }

  void Unreduce(int f) {
    uint8_t count[256] = {}, fol[256][32] = {};
    for (int b = 255; b >= 0; --b) {
      count[b] = static_cast<uint8_t>(Bits(6));
      if (count[b] > 32) throw EAbCorruptData("model");
      for (int i = 0; i < count[b]; ++i) fol[b][i] = static_cast<uint8_t>(Bits(8));
    }
    uint8_t last = 0;
    int state = 0;
    uint32_t v = 0, len = 0, mask = 0xFFu >> f;
    while (!eof && Below()) {
      uint8_t c;
      if (count[last] == 0 || Bits(1) == 1) {
        c = static_cast<uint8_t>(Bits(8));
      } else {
        int bits = 1;
        while ((1 << bits) < count[last]) ++bits;
        c = fol[last][Bits(bits)];
      }
      last = c;
      if (eof) break;
      if (state == 0) {
        if (c == 144) state = 1; else out += static_cast<char>(c);
      } else if (state == 1) {
        if (c == 0) {
          out += static_cast<char>(144);
          state = 0;
        } else {
          v = c;
          len = v & mask;
          state = len == mask ? 2 : 3;
        }
      } else if (state == 2) {
        len += c;
        state = 3;
      } else {
        int64_t dist = ((v >> (8 - f)) & ((1u << f) - 1)) * 256 + c + 1;
        Copy(static_cast<int64_t>(out.size()) - dist, len + 3);
        state = 0;
      }
    }
  }

  struct Tree {
    int n = 0;
    std::vector<int> len, val;
    std::vector<uint16_t> code;
  };
  Tree Load(int n) {
    Tree t;
    t.n = n;
    t.len.assign(n, 0);
    t.val.resize(n);
    t.code.assign(n, 0);
    for (int i = 0; i < n; ++i) t.val[i] = i;
    int k = static_cast<int>(Bits(8)) + 1, idx = 0;
    for (int j = 0; j < k; ++j) {
      uint32_t b = Bits(8);
      for (uint32_t r = 0; r <= (b >> 4); ++r) {
        if (idx >= n) throw EAbCorruptData("model");
        t.len[idx++] = static_cast<int>(b & 15) + 1;
      }
    }
    // Shell sort with halving gaps, each repeated until a pass exchanges nothing.
    auto greater = [&](int a, int b) { return t.len[a] > t.len[b] || (t.len[a] == t.len[b] && t.val[a] > t.val[b]); };
    for (int gap = n / 2; gap > 0; gap /= 2)
      for (bool swapped = true; swapped;) {
        swapped = false;
        for (int i = 0; i + gap < n; ++i)
          if (greater(i, i + gap)) std::swap(t.len[i], t.len[i + gap]), std::swap(t.val[i], t.val[i + gap]), swapped = true;
      }
    uint16_t c = 0;
    uint32_t inc = 0;
    int last = 0;
    for (int i = n - 1; i >= 0; --i) {
      c = static_cast<uint16_t>(c + inc);
      if (t.len[i] != last) last = t.len[i], inc = 1u << (16 - last);
      uint16_t r = 0;
      for (int b = 0; b < 16; ++b) r = static_cast<uint16_t>(r | (((c >> b) & 1) << (15 - b)));
      t.code[i] = r;
    }
    return t;
  }
  int Sym(const Tree& t) {
    uint32_t c = 0;
    int bits = 0, i = 0;
    for (;;) {
      c |= Bits(1) << bits++;
      while (i < t.n && t.len[i] < bits) ++i;
      for (; i < t.n && t.len[i] == bits; ++i)
        if (t.code[i] == c) return t.val[i];
      if (i >= t.n) return 0;
    }
  }
  void Explode(bool k8, int trees) {
    int low = k8 ? 7 : 6;
    Tree lit, len, dist;
    if (trees == 3) lit = Load(256);
    len = Load(64);
    dist = Load(64);
    while (!eof && Below()) {
      if (Bits(1)) {
        out += static_cast<char>(trees == 3 ? Sym(lit) : static_cast<int>(Bits(8)));
      } else {
        uint32_t d = Bits(low);
        d |= static_cast<uint32_t>(Sym(dist)) << low;
        uint32_t l = static_cast<uint32_t>(Sym(len));
        if (l == 63) l += Bits(8);
        Copy(static_cast<int64_t>(out.size()) - d - 1, l + static_cast<uint32_t>(trees));
      }
    }
  }
};

// Runs decoder and model on the same input; both must fail at a table limit
// or both give the same bytes.
void ExpectSameAsModel(const std::string& data, const Params& p) {
  std::string got, want;
  bool gotFail = false, wantFail = false;
  try {
    got = Decode(data, p);
  } catch (const EAbCorruptData&) {
    gotFail = true;
  }
  Model m(data, p.size);
  try {
    if (p.method == 1) m.Unshrink();
    else if (p.method <= 5) m.Unreduce(p.method - 1);
    else m.Explode(p.dict == ds8K, p.trees);
  } catch (const EAbCorruptData&) {
    wantFail = true;
  }
  want = m.out;
  ASSERT_EQ(gotFail, wantFail) << "method " << int(p.method) << ", " << data.size() << " bytes";
  if (!gotFail) {
    ASSERT_EQ(got, want) << "method " << int(p.method) << ", " << data.size() << " bytes";
  }
}

} // namespace

// ---------------------------------------------------------------------------
// Real archives
// ---------------------------------------------------------------------------

TEST(LegacyArchives, EveryEntryMatchesItsCrc) {
  std::vector<int> methodsSeen(7, 0);
  int files = 0;
  for (const auto& f : std::filesystem::directory_iterator(kLegacyDir)) {
    std::string ext = f.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    if (ext != ".zip") continue;
    ++files;
    for (const auto& e : ziptest::ReadEntriesFromFile(f.path().string())) {
      if (e.method < 1 || e.method > 6) continue;
      SCOPED_TRACE(f.path().filename().string() + ": " + e.name);
      std::string out = Decode(e.data, ParamsOf(e));
      EXPECT_EQ(out.size(), e.uncompressedSize);
      EXPECT_EQ(Crc(out), e.crc);
      ++methodsSeen[e.method];
    }
  }
  EXPECT_EQ(files, 10);
  for (int m : {1, 3, 5, 6}) EXPECT_GT(methodsSeen[m], 0) << "method " << m;
}

TEST(LegacyArchives, FirstTxtByteForByte) {
  std::string expected = ziptest::ReadFile(kLegacyDir + "first.txt");
  for (const char* name : {"shrink.zip", "reduce.zip", "implode.zip"}) {
    auto entries = ziptest::ReadEntriesFromFile(kLegacyDir + name);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(Decode(entries[0].data, ParamsOf(entries[0])), expected) << name;
  }
}

// The output stage's writes drive progress: shrinking hands over full 32768-
// byte buffers, the window 8192-byte chunks in order, each byte exactly once.
TEST(LegacyArchives, OutputStageSeesWholePiecesInOrder) {
  auto entries = ziptest::ReadEntriesFromFile(kLegacyDir + "PKZ80B2.ZIP");
  auto bmp = std::find_if(entries.begin(), entries.end(), [](auto& e) { return e.name == "TEST.BMP"; });
  ASSERT_NE(bmp, entries.end());
  RecordingStream rec;
  Decode(bmp->data, ParamsOf(*bmp), &rec);
  EXPECT_EQ(Crc(rec.mem.DataString()), bmp->crc);
  int64_t expectedPos = 0;
  size_t writes = 0;
  for (size_t i = 0; i < rec.calls.size(); ++i) {
    const auto& c = rec.calls[i];
    if (c.kind != 'W') continue;
    ++writes;
    EXPECT_EQ(c.pos, expectedPos);
    int64_t remaining = static_cast<int64_t>(bmp->uncompressedSize) - expectedPos;
    if (remaining >= 8192) {
      EXPECT_EQ(c.count, 8192);
    }
    ASSERT_GT(i, 0u);
    EXPECT_EQ(rec.calls[i - 1].kind, 'S');  // every chunk is placed first
    expectedPos += c.count;
  }
  EXPECT_EQ(expectedPos, static_cast<int64_t>(bmp->uncompressedSize));
  EXPECT_EQ(writes, bmp->uncompressedSize / 8192 + 1);  // the last, partial chunk included

  auto hw = ziptest::ReadEntriesFromFile(kLegacyDir + "HWSHRINK.ZIP");
  RecordingStream rec1;
  Decode(hw[2].data, ParamsOf(hw[2]), &rec1);  // 81410 bytes
  std::vector<int64_t> counts;
  for (auto& c : rec1.calls) {
    EXPECT_EQ(c.kind, 'W');  // no window, no seeks
    counts.push_back(c.count);
  }
  EXPECT_EQ(counts, (std::vector<int64_t>{32768, 32768, 81410 - 65536}));
}

// ---------------------------------------------------------------------------
// Shrink
// ---------------------------------------------------------------------------

namespace {

std::string Shrink(std::initializer_list<std::pair<uint32_t, int>> codes) {
  BitWriter w;
  for (auto [code, bits] : codes) w.Put(code, bits);
  return w.Finish();
}

std::string Unshrink(const std::string& data) { return Decode(data, {1, 0}); }

} // namespace

TEST(Shrink, UndefinedCodeIsPreviousStringPlusItsFirstCharacter) {
  // 'a', then 257 and 258 before they exist: "a" + "aa" + "aaa".
  EXPECT_EQ(Unshrink(Shrink({{'a', 9}, {257, 9}, {258, 9}})), "aaaaaa");
  // A defined code decodes through its chain: 257 = "ab", 259 = "ab" + "c".
  EXPECT_EQ(Unshrink(Shrink({{'a', 9}, {'b', 9}, {257, 9}, {'c', 9}, {259, 9}})), "ababcabc");
}

TEST(Shrink, ControlCodes) {
  // 256 1 widens every following code by one bit.
  EXPECT_EQ(Unshrink(Shrink({{'A', 9}, {256, 9}, {1, 9}, {'B', 10}, {257, 10}})), "ABAB");
  // Any other value after 256 is skipped.
  EXPECT_EQ(Unshrink(Shrink({{'a', 9}, {256, 9}, {7, 9}, {'b', 9}})), "ab");
  // 256 2 frees the leaves: 258 "ba" and 259 "abc" go, 257 "ab" stays as
  // the prefix of 259. The next string takes 258, then 259.
  EXPECT_EQ(Unshrink(Shrink({{'a', 9}, {'b', 9}, {257, 9}, {'c', 9}, {256, 9}, {2, 9},
                             {'d', 9}, {257, 9}, {258, 9}, {259, 9}})),
            "a" "b" "ab" "c" "d" "ab" "cd" "da");
}

TEST(Shrink, TableLimitsAreCorruptData) {
  // Five widenings would need 14-bit codes.
  BitWriter w;
  w.Put('a', 9);
  for (int size = 9; size <= 13; ++size) w.Put(256, size).Put(1, size);
  w.Put('b', 14);
  std::string wide = w.Finish();
  EXPECT_EQ(CorruptReason([&] { Unshrink(wide); }), "Corrupt compressed data: shrink: code size above 13 bits");
  // 300 is never defined: once it is the previous code, decoding it again
  // leads back to itself for ever.
  std::string loop = Shrink({{'a', 9}, {300, 9}, {300, 9}});
  EXPECT_EQ(CorruptReason([&] { Unshrink(loop); }),
            "Corrupt compressed data: shrink: string longer than the decoding stack");
}

TEST(Shrink, EndOfInputEndsDecodingAndPaddingIsIgnored) {
  // Three 9-bit codes fill 27 bits; the five padding bits of the last byte
  // (set to ones here) are not a code.
  BitWriter w;
  w.Put('x', 9).Put('y', 9).Put('z', 9).Put(31, 5);
  EXPECT_EQ(Unshrink(w.Finish()), "xyz");
  EXPECT_EQ(Unshrink(""), "");
  // The declared size is not a limit for shrinking.
  EXPECT_EQ(Decode(Shrink({{'a', 9}, {'b', 9}}), {1, 1}), "ab");
}

// ---------------------------------------------------------------------------
// Reduce
// ---------------------------------------------------------------------------

namespace {

// Empty follower sets for all 256 byte values, then raw 8-bit bytes.
std::string Reduced(const std::vector<int>& bytes) {
  BitWriter w;
  for (int i = 0; i < 256; ++i) w.Put(0, 6);
  for (int b : bytes) w.Put(static_cast<uint32_t>(b), 8);
  return w.Finish();
}

} // namespace

TEST(Reduce, EscapesAndCopies) {
  // 144 0 is a plain 144.
  EXPECT_EQ(Decode(Reduced({'a', 144, 0, 'b'}), {2, 3}), "a\x90" "b");
  // A copy from before the start of the output yields zeros: distance 5,
  // length 1 + 3.
  EXPECT_EQ(Decode(Reduced({144, 0x01, 4, 'x'}), {2, 5}), std::string("\0\0\0\0x", 5));
  // Distance that reaches exactly the first byte, overlapping its own output.
  EXPECT_EQ(Decode(Reduced({'a', 'b', 144, 0x02, 1}), {2, 7}), "abababa");
}

TEST(Reduce, FactorSplitsLengthAndDistance) {
  // 300 distinct-enough literals, then a copy with the lowest high-distance
  // bit set: distance 256 + 0 + 1, length 0 + 3, for every factor.
  std::vector<int> lits;
  std::string text;
  for (int i = 0; i < 300; ++i) {
    int b = (i * 7 + 1) % 251;
    if (b == 144) b = 145;
    lits.push_back(b);
    text += static_cast<char>(b);
  }
  for (int f = 1; f <= 4; ++f) {
    std::vector<int> bytes = lits;
    bytes.insert(bytes.end(), {144, 1 << (8 - f), 0});
    std::string want = text + text.substr(300 - 257, 3);
    EXPECT_EQ(Decode(Reduced(bytes), {static_cast<uint8_t>(f + 1), 303}), want) << "factor " << f;
  }
  // Factor 1: length bits all ones take one more length byte: 127 + 255 + 3.
  std::string longRun = Decode(Reduced({'a', 'b', 144, 0x7F, 255, 1}), {2, 1000});
  EXPECT_EQ(longRun.size(), 2u + 385u);
  for (size_t i = 0; i < longRun.size(); ++i) ASSERT_EQ(longRun[i], i % 2 ? 'b' : 'a');
  // Factor 4: the length nibble 15 likewise.
  EXPECT_EQ(Decode(Reduced({'z', 144, 0x0F, 2, 0}), {5, 100}), std::string(21, 'z'));
}

TEST(Reduce, FollowerSetsAndSizeLimit) {
  // Byte 0 (the "previous byte" at the start) has followers x y z; a 0 bit
  // picks one by a 2-bit index, a 1 bit takes a raw byte. Index 3 is past
  // the set and reads as 0.
  BitWriter w;
  for (int b = 255; b >= 0; --b) {
    if (b == 0) {
      w.Put(3, 6).Put('x', 8).Put('y', 8).Put('z', 8);
    } else {
      w.Put(0, 6);
    }
  }
  w.Put(0, 1).Put(2, 2);      // 'z' from the set of 0
  w.Put(0, 8);                // set of 'z' is empty: raw byte 0
  w.Put(0, 1).Put(3, 2);      // back in the set of 0: slot 3
  w.Put(1, 1).Put('q', 8);    // raw byte despite a set
  w.Put('r', 8);              // beyond the declared size
  EXPECT_EQ(Decode(w.Finish(), {3, 4}), std::string("z\0\0q", 4));

  BitWriter bad;
  bad.Put(33, 6);
  std::string data = bad.Finish();
  EXPECT_EQ(CorruptReason([&] { Decode(data, {2, 10}); }),
            "Corrupt compressed data: reduce: follower set longer than 32 bytes");
}

// ---------------------------------------------------------------------------
// Implode
// ---------------------------------------------------------------------------

namespace {

// Flat trees: every value gets the same bit length, so value v has code
// (count - 1 - v), sent most significant bit first.
void FlatTree(BitWriter& w, int count, int bits) {
  int bytes = count / 16;
  w.Put(static_cast<uint32_t>(bytes - 1), 8);
  for (int i = 0; i < bytes; ++i) w.Put(0xF0u | static_cast<uint32_t>(bits - 1), 8);
}

struct Imploder {
  BitWriter w;
  bool lit;
  int low;
  Imploder(bool literalTree, bool k8) : lit(literalTree), low(k8 ? 7 : 6) {
    if (lit) FlatTree(w, 256, 8);
    FlatTree(w, 64, 6);  // lengths
    FlatTree(w, 64, 6);  // distances
  }
  Imploder& Literal(uint8_t b) {
    w.Put(1, 1);
    if (lit) w.PutMsbFirst(255u - b, 8); else w.Put(b, 8);
    return *this;
  }
  // distance as coded (the copy starts distance + 1 back); length symbol.
  Imploder& Match(uint32_t distance, uint32_t lengthSymbol, int extra = -1) {
    w.Put(0, 1).Put(distance & ((1u << low) - 1), low);
    w.PutMsbFirst(63u - (distance >> low), 6).PutMsbFirst(63u - lengthSymbol, 6);
    if (extra >= 0) w.Put(static_cast<uint32_t>(extra), 8);
    return *this;
  }
};

} // namespace

TEST(Implode, DictionaryAndTreeCountSetDistanceBitsAndMinimumLength) {
  // 8K, three trees: 7 low distance bits, minimum length 3. Distance 129
  // (low 1, high 1) reaches back 130 bytes.
  std::string text;
  for (int i = 0; i < 140; ++i) text += static_cast<char>('A' + i % 26);
  Imploder a(true, true);
  for (char c : text) a.Literal(static_cast<uint8_t>(c));
  a.Match(129, 2);
  EXPECT_EQ(Decode(a.w.Finish(), {6, 145, ds8K, 3}), text + text.substr(140 - 130, 5));
  // 4K, two trees: raw literals, 6 low distance bits, minimum length 2.
  Imploder b(false, false);
  for (char c : text) b.Literal(static_cast<uint8_t>(c));
  b.Match(65, 2);
  EXPECT_EQ(Decode(b.w.Finish(), {6, 144, ds4K, 2}), text + text.substr(140 - 66, 4));
}

TEST(Implode, LongLengthsAndCopiesFromTheStart) {
  // Length symbol 63 adds an 8-bit value: 63 + 200 + 2. Distance 0 repeats
  // the previous byte.
  Imploder a(false, true);
  a.Literal('q').Match(0, 63, 200);
  EXPECT_EQ(Decode(a.w.Finish(), {6, 266, ds8K, 2}), std::string(266, 'q'));
  // A copy reaching exactly the first byte, and one reaching before it.
  Imploder b(true, false);
  b.Literal('x').Literal('y').Match(1, 0).Match(10, 0);
  EXPECT_EQ(Decode(b.w.Finish(), {6, 8, ds4K, 3}), std::string("xyxyx") + std::string("\0\0\0", 3));
}

TEST(Implode, TreeWiderThanItsValuesIsCorruptData) {
  BitWriter w;
  w.Put(4, 8);  // five bytes of 16 values each for a 64-value tree
  for (int i = 0; i < 5; ++i) w.Put(0xF5, 8);
  std::string data = w.Finish();
  EXPECT_EQ(CorruptReason([&] { Decode(data, {6, 100, ds8K, 2}); }),
            "Corrupt compressed data: implode: code length list longer than its tree");
}

// Lengths 1, 2, 2, 2, 2 overfill the code space: value 0 gets "0", which
// hides values 3 and 4; "10" is value 2 and "11" value 1. A one-entry tree
// of 6 bits matches only "000000"; any other 6 bits decode as value 0.
TEST(Implode, OverfullAndSparseTreesDecodeAsReadBitByBit) {
  BitWriter w;
  w.Put(1, 8).Put(0x00, 8).Put(0x31, 8);  // lengths
  w.Put(0, 8).Put(0x05, 8);               // distances
  w.Put(1, 1).Put('a', 8);
  w.Put(0, 1).Put(0, 6).Put(0, 6).Put(0, 1);            // length value 0: 2 bytes
  w.Put(0, 1).Put(0, 6).Put(63, 6).Put(1, 1).Put(0, 1);  // length value 2: 4 bytes
  w.Put(0, 1).Put(0, 6).Put(0, 6).Put(1, 1).Put(1, 1);   // length value 1: 3 bytes
  std::string data = w.Finish();
  EXPECT_EQ(Decode(data, {6, 10, ds4K, 2}), std::string(10, 'a'));
  ExpectSameAsModel(data, {6, 10, ds4K, 2});
}

// ---------------------------------------------------------------------------
// The window
// ---------------------------------------------------------------------------

TEST(SlidingWindow, KeepsFourChunksBehindTheOneBeingFilled) {
  rtl::TMemoryStream out;
  std::string data(49152 + 100, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + i / 256);
  {
    TabSlidingWindowStream win(&out);
    EXPECT_EQ(win.Write(data.data(), 40000), 32768);  // one call takes at most 32768
    EXPECT_EQ(win.Write(data.data() + 32768, 40000 - 32768), 40000 - 32768);
    // 40000 bytes written: chunk 0 still starts at 0.
    char b = 0;
    EXPECT_EQ(win.Seek(0, rtl::soBeginning), 0);
    EXPECT_EQ(win.Read(&b, 1), 1);
    EXPECT_EQ(b, data[0]);
    EXPECT_THROW(win.Write("x", 1), rtl::Exception);
    try {
      win.Write("x", 1);
    } catch (const rtl::Exception& e) {
      EXPECT_EQ(e.Message(), "TabSlidingWindowStream.Write: Not at end of stream");
    }
    win.Seek(0, rtl::soEnd);
    win.Write(data.data() + 40000, static_cast<int64_t>(data.size()) - 40000);
    // Now 49252 bytes: chunk 0 starts at 16384.
    try {
      win.Seek(16383, rtl::soBeginning);
      ADD_FAILURE();
    } catch (const rtl::Exception& e) {
      EXPECT_EQ(e.Message(), "TabSlidingWindowStream.Seek: invalid new position");
    }
    EXPECT_THROW(win.Seek(1, rtl::soEnd), rtl::Exception);
    EXPECT_EQ(win.Seek(-32868, rtl::soEnd), 16384);
    std::string back(32868, '\0');
    EXPECT_EQ(win.Read(back.data(), 40000), 32768);  // reads stop at 32768 too
    EXPECT_EQ(back.substr(0, 32768), data.substr(16384, 32768));
    EXPECT_EQ(win.Seek(-4, rtl::soCurrent), 16384 + 32764);
    uint8_t direct[4];
    win.ReadAt(20000, direct, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(direct), 4), data.substr(20000, 4));
    try {
      win.Seek(0, static_cast<rtl::TSeekOrigin>(7));
      ADD_FAILURE();
    } catch (const rtl::Exception& e) {
      EXPECT_EQ(e.Message(), "TabSlidingWindowStream.Seek: invalid origin");
    }
    EXPECT_EQ(out.Size(), 16384);  // only what left the window
  }
  EXPECT_EQ(out.DataString(), data);  // the rest on destruction
}

TEST(SlidingWindow, OutputFailuresAreReported) {
  std::string chunk(8192, 'c');
  {
    RecordingStream short_;
    short_.writeLimit = 100;
    TabSlidingWindowStream win(&short_);
    try {
      win.Write(chunk.data(), 8192);  // fills chunk 4 and moves the window
      win.Write(chunk.data(), 8192);
      win.Write(chunk.data(), 8192);
      win.Write(chunk.data(), 8192);
      win.Write(chunk.data(), 8192);  // chunk 0 now holds output: written out
      ADD_FAILURE();
    } catch (const rtl::Exception& e) {
      EXPECT_EQ(e.Message(), "TabSlidingWindowStream.bsWriteChunk: write failed");
    }
  }
  RecordingStream noSeek;
  TabSlidingWindowStream win(&noSeek);
  noSeek.failSeek = true;
  win.Write("abc", 3);
  try {
    win.Flush();
    ADD_FAILURE();
  } catch (const rtl::Exception& e) {
    EXPECT_EQ(e.Message(), "TabSlidingWindowStream.bsWriteChunk: seek failed");
  }
}

TEST(LegacyHelper, UnknownMethodAndFailingOutput) {
  try {
    Decode("abc", {7, 3});
    ADD_FAILURE();
  } catch (const EAbZipInvalidMethod& e) {
    EXPECT_EQ(e.Message(), "Cannot extract file - unsupported compression method");
  }
  // An output that takes fewer bytes than offered is a write error, not a
  // silently short file.
  RecordingStream shortOut;
  shortOut.writeLimit = 1;
  EXPECT_THROW(Decode(Shrink({{'a', 9}, {'b', 9}}), {1, 2}, &shortOut), rtl::EWriteError);
}

// A failure inside the decoder or the output stage reaches the caller as it
// was raised, after what was decoded has been passed on.
TEST(LegacyHelper, FailuresPassThroughAfterWhatWasDecoded) {
  rtl::TMemoryStream out;
  std::string loop = Shrink({{'a', 9}, {'b', 9}, {300, 9}, {300, 9}});
  EXPECT_THROW(Decode(loop, {1, 100}, &out), EAbCorruptData);
  EXPECT_EQ(out.DataString(), "abbb");

  // An output stage that aborts when the window first hands it a chunk, and
  // again on every later write.
  struct Aborting : RecordingStream {
    int64_t Write(const void*, int64_t) override {
      ++writes;
      throw EAbUserAbort();
    }
    int writes = 0;
  } aborting;
  std::vector<int> bytes(50000, 'r');
  EXPECT_THROW(Decode(Reduced(bytes), {2, 50000}, &aborting), EAbUserAbort);
  EXPECT_EQ(aborting.writes, 2);  // the chunk that failed, then one write-out attempt
}

// ---------------------------------------------------------------------------
// Robustness: random and truncated input
// ---------------------------------------------------------------------------

namespace {

// Random input for one method. Three in four get a well-formed head (follower
// sets of at most 32 bytes, code-length lists that fit their trees, with
// random lengths, so mostly overfull or sparse trees) so that the decoding
// loops are reached; the rest and every body are random bytes, some biased
// towards zero bits.
std::string RandomInput(std::mt19937& rng, const Params& p, int i) {
  BitWriter w;
  auto small = [&](uint32_t limit) { return rng() % 4 ? rng() % 5 % limit : rng() % limit; };
  if (i % 4 != 0 && p.method >= 2 && p.method <= 5) {
    for (int b = 0; b < 256; ++b) {
      uint32_t n = small(33);
      w.Put(n, 6);
      for (uint32_t k = 0; k < n; ++k) w.Put(rng(), 8);
    }
  }
  if (i % 4 != 0 && p.method == 6) {
    std::vector<int> sizes = {64, 64};
    if (p.trees == 3) sizes.insert(sizes.begin(), 256);
    for (int n : sizes) {
      std::vector<uint32_t> runs;
      for (int left = n; left > 0 && runs.size() < 256;) {
        int run = 1 + static_cast<int>(rng() % static_cast<uint32_t>(std::min(16, left)));
        int len = rng() % 3 ? 3 + static_cast<int>(rng() % 8) : 1 + static_cast<int>(rng() % 16);
        runs.push_back(static_cast<uint32_t>((run - 1) << 4 | (len - 1)));
        left -= run;
        if (rng() % 16 == 0) break;
      }
      w.Put(static_cast<uint32_t>(runs.size() - 1), 8);
      for (uint32_t r : runs) w.Put(r, 8);
    }
  }
  bool sparse = i % 2;
  for (uint32_t n = rng() % 1200; n > 0; --n) w.Put(sparse ? (rng() & rng() & rng()) : rng(), 8);
  return w.Finish();
}

} // namespace

TEST(LegacyRobustness, RandomAndTruncatedInputMatchTheModelAndEndCleanly) {
  std::mt19937 rng(20240611);
  const Params kinds[] = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0},
                          {6, 0, ds4K, 2}, {6, 0, ds8K, 2}, {6, 0, ds4K, 3}, {6, 0, ds8K, 3}};
  int runs = 0;
  for (const Params& kind : kinds) {
    for (int i = 0; i < 400; ++i) {
      Params p = kind;
      p.size = rng() % 20000;
      ASSERT_NO_FATAL_FAILURE(ExpectSameAsModel(RandomInput(rng, p, i), p));
      ++runs;
    }
  }
  // Every real entry cut short at many points, and with bytes flipped.
  for (const char* name : {"HWSHRINK.ZIP", "HWREDUCE.ZIP", "HWIMPODE.ZIP", "example-i.zip", "example-r.zip",
                           "example-s.zip"}) {
    for (const auto& e : ziptest::ReadEntriesFromFile(kLegacyDir + name)) {
      if (e.method < 1 || e.method > 6) continue;
      Params p = ParamsOf(e);
      for (int cut = 0; cut < 40; ++cut) {
        size_t len = e.data.size() * static_cast<size_t>(cut) / 40 + rng() % 7;
        ASSERT_NO_FATAL_FAILURE(ExpectSameAsModel(e.data.substr(0, std::min(len, e.data.size())), p));
        std::string flipped = e.data;
        flipped[rng() % flipped.size()] ^= static_cast<char>(1 << (rng() % 8));
        ASSERT_NO_FATAL_FAILURE(ExpectSameAsModel(flipped, p));
        runs += 2;
      }
    }
  }
  EXPECT_GT(runs, 4000);
}
