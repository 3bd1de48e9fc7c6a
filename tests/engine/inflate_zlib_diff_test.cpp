// Inflate against zlib on generated streams: the engine's decoder and
// zlib's must read every valid raw Deflate stream alike, and on damaged
// streams they may differ only in where they stop.
//
// The generator writes what compressors rarely do: dynamic blocks whose
// codes have every longest length from 1 to 15 bits (so that the decoder's
// root tables and subtables both see use), code lengths sent with and
// without the repeat codes, stored blocks of every size up to 65535 bytes
// between Huffman blocks, fixed blocks, matches of every length and of
// distances up to the exact start of the output or the full 32 KiB window,
// and enough output to cross the window's write-out point many times.
// Each stream is also cut short and bit-flipped; then:
//
//   * where zlib reads the stream to its end, the engine gives the same
//     output and consumes the same bytes;
//   * otherwise the shorter of the two outputs is a prefix of the longer:
//     zlib refuses incomplete codes, which the engine accepts, and copies
//     part of a stored block that is cut short, which the engine does not;
//     the engine may decode a few symbols from the zero bytes that complete
//     the last word of its input.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "archive/AbDfBase.h"
#include "archive/AbDfDec.h"
#include "archive/AbDfHufD.h"
#include "TestUtil.h"
#include "rtl/Classes.h"

using namespace ab;

namespace {

struct Bits {
  std::string out;
  uint64_t acc = 0;
  int n = 0;
  void Put(uint32_t v, int count) {
    acc |= static_cast<uint64_t>(v) << n;
    n += count;
    for (; n >= 8; n -= 8, acc >>= 8) out.push_back(static_cast<char>(acc & 0xFF));
  }
  // Huffman codes go most significant bit first.
  void Code(uint32_t code, int len) {
    for (int i = len - 1; i >= 0; --i) Put((code >> i) & 1, 1);
  }
  std::string Done() const { return n ? out + static_cast<char>(acc) : out; }
};

// A complete prefix code for aSymbols symbols, longest code at most aMax
// bits, in a random shape: leaves are split one at a time, sometimes always
// the deepest so that codes of the full length appear.
std::vector<int> RandomLengths(size_t aSymbols, int aMax, std::mt19937& rng) {
  std::vector<int> depth{0};
  bool deep = rng() % 3 == 0;
  while (depth.size() < aSymbols) {
    std::vector<size_t> open;
    for (size_t i = 0; i < depth.size(); ++i)
      if (depth[i] < aMax) open.push_back(i);
    size_t pick = open[rng() % open.size()];
    if (deep)
      for (size_t i : open)
        if (depth[i] > depth[pick]) pick = i;
    int d = ++depth[pick];
    depth.push_back(d);
  }
  if (aSymbols == 1) depth[0] = 1;  // a single code of one bit
  std::shuffle(depth.begin(), depth.end(), rng);
  return depth;
}

std::vector<uint32_t> Canonical(const std::vector<int>& lens) {
  int count[16] = {};
  for (int l : lens) ++count[l];
  count[0] = 0;
  uint32_t next[16] = {}, code = 0;
  for (int l = 1; l < 16; ++l) next[l] = code = (code + count[l - 1]) << 1;
  std::vector<uint32_t> codes(lens.size());
  for (size_t s = 0; s < lens.size(); ++s)
    if (lens[s]) codes[s] = next[lens[s]]++;
  return codes;
}

struct Code {
  std::vector<int> len;
  std::vector<uint32_t> code;
  std::vector<int> used;
  void Put(Bits& b, int sym) const { b.Code(code[static_cast<size_t>(sym)], len[static_cast<size_t>(sym)]); }
};

// Gives aUsed of the alphabet's symbols codes of at most aMax bits.
Code MakeCode(size_t aAlphabet, std::vector<int> aUsed, int aMax, std::mt19937& rng) {
  Code c;
  c.len.assign(aAlphabet, 0);
  std::vector<int> lens = RandomLengths(aUsed.size(), aMax, rng);
  for (size_t i = 0; i < aUsed.size(); ++i) c.len[static_cast<size_t>(aUsed[i])] = lens[i];
  c.code = Canonical(c.len);
  c.used = std::move(aUsed);
  return c;
}

class Generator {
public:
  explicit Generator(uint32_t aSeed) : rng(aSeed) {}

  // A whole stream of several blocks; aMaxLen caps the dynamic codes.
  std::string Stream(int aMaxLen) {
    int blocks = 1 + static_cast<int>(rng() % 5);
    for (int i = 0; i < blocks; ++i) {
      bool final = i == blocks - 1;
      switch (rng() % 6) {
        case 0: Stored(final); break;
        case 1: Fixed(final); break;
        default: Dynamic(final, aMaxLen); break;
      }
    }
    return b.Done();
  }

private:
  void Stored(bool final) {
    b.Put(final, 1);
    b.Put(0, 2);
    if (b.n) b.Put(0, 8 - b.n);
    uint32_t len = rng() % 4 == 0 ? rng() % 16 : rng() % 8 == 0 ? 65535 : rng() % 70000 % 65536;
    b.Put(len, 16);
    b.Put(~len & 0xFFFF, 16);
    for (uint32_t i = 0; i < len; ++i) b.Put(rng() & 0xFF, 8);
    produced += len;
  }

  void Fixed(bool final) {
    b.Put(final, 1);
    b.Put(1, 2);
    Code lit, dist;
    lit.len.resize(288);
    for (int s = 0; s < 288; ++s) lit.len[static_cast<size_t>(s)] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    lit.code = Canonical(lit.len);
    for (int s = 0; s < 286; ++s) lit.used.push_back(s);
    dist.len.assign(30, 5);
    dist.code = Canonical(dist.len);
    for (int s = 0; s < 30; ++s) dist.used.push_back(s);
    Symbols(lit, dist);
  }

  void Dynamic(bool final, int aMaxLen) {
    // Which symbols get codes: the end of block, some literals, some length
    // symbols, and distance symbols; at most 2^aMaxLen of each code.
    size_t litRoom = std::min<size_t>(size_t{1} << aMaxLen, 286);
    std::vector<int> all;
    for (int s = 0; s < 286; ++s)
      if (s != 256) all.push_back(s);
    std::shuffle(all.begin(), all.end(), rng);
    std::vector<int> lits{256};
    size_t want = 1 + rng() % (litRoom - 1);
    lits.insert(lits.end(), all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(want, all.size())));
    int hlit = 257 + static_cast<int>(rng() % 30);
    for (int s : lits) hlit = std::max(hlit, s + 1);
    std::vector<int> dists;
    for (int s = 0; s < 30; ++s) dists.push_back(s);
    std::shuffle(dists.begin(), dists.end(), rng);
    int distMax = 1 + static_cast<int>(rng() % 15);
    dists.resize(1 + rng() % std::min<size_t>(size_t{1} << distMax, 30));
    int hdist = 1;
    for (int s : dists) hdist = std::max(hdist, s + 1);

    Code lit = MakeCode(static_cast<size_t>(hlit), lits, aMaxLen, rng);
    Code dist = MakeCode(static_cast<size_t>(hdist), dists, distMax, rng);

    // The lengths as code-length symbols, with or without repeats.
    std::vector<int> seq(lit.len);
    seq.insert(seq.end(), dist.len.begin(), dist.len.end());
    std::vector<std::pair<int, int>> cl;  // symbol, extra value
    bool repeats = rng() % 4 != 0;
    for (size_t i = 0; i < seq.size();) {
      size_t run = 1;
      while (i + run < seq.size() && seq[i + run] == seq[i]) ++run;
      if (repeats && seq[i] == 0 && run >= 11) {
        size_t r = std::min<size_t>(run, 138);
        cl.emplace_back(18, static_cast<int>(r - 11));
        i += r;
      } else if (repeats && seq[i] == 0 && run >= 3) {
        size_t r = std::min<size_t>(run, 10);
        cl.emplace_back(17, static_cast<int>(r - 3));
        i += r;
      } else if (repeats && i > 0 && seq[i] == seq[i - 1] && run >= 3) {
        size_t r = std::min<size_t>(run, 6);
        cl.emplace_back(16, static_cast<int>(r - 3));
        i += r;
      } else {
        cl.emplace_back(seq[i], 0);
        ++i;
      }
    }
    std::vector<int> clUsed;
    for (auto [s, x] : cl)
      if (std::find(clUsed.begin(), clUsed.end(), s) == clUsed.end()) clUsed.push_back(s);
    if (clUsed.size() == 1) clUsed.push_back(clUsed[0] == 0 ? 1 : 0);  // zlib wants a complete code here
    Code clc = MakeCode(19, clUsed, 7, rng);
    int hclen = 4;
    for (int i = 0; i < 19; ++i)
      if (clc.len[AbDfCodeLengthIndex[i]]) hclen = std::max(hclen, i + 1);

    b.Put(final, 1);
    b.Put(2, 2);
    b.Put(static_cast<uint32_t>(hlit - 257), 5);
    b.Put(static_cast<uint32_t>(hdist - 1), 5);
    b.Put(static_cast<uint32_t>(hclen - 4), 4);
    for (int i = 0; i < hclen; ++i) b.Put(static_cast<uint32_t>(clc.len[AbDfCodeLengthIndex[i]]), 3);
    for (auto [s, x] : cl) {
      clc.Put(b, s);
      if (s == 16) b.Put(static_cast<uint32_t>(x), 2);
      if (s == 17) b.Put(static_cast<uint32_t>(x), 3);
      if (s == 18) b.Put(static_cast<uint32_t>(x), 7);
    }
    Symbols(lit, dist);
  }

  // Literals and matches from the codes' symbols, then the end of block.
  void Symbols(const Code& lit, const Code& dist) {
    std::vector<int> literals, lengths;
    for (int s : lit.used)
      if (s != 256) (s < 256 ? literals : lengths).push_back(s);
    int count = static_cast<int>(rng() % 3000);
    for (int i = 0; i < count; ++i) {
      bool match = !lengths.empty() && produced > 0 && (literals.empty() || rng() % 3 != 0);
      if (!match) {
        if (literals.empty()) break;
        lit.Put(b, literals[rng() % literals.size()]);
        ++produced;
        continue;
      }
      // A distance symbol that reaches no further back than the output.
      std::vector<int> reach;
      for (int s : dist.used)
        if (AbDfDistanceBase[s] <= std::min<uint64_t>(produced, 32768)) reach.push_back(s);
      if (reach.empty()) {
        if (literals.empty()) break;
        lit.Put(b, literals[rng() % literals.size()]);
        ++produced;
        continue;
      }
      int ls = lengths[rng() % lengths.size()];
      int le = AbDfLengthExtraBits[ls - 257];
      uint32_t lx = ls == 285 ? 0 : rng() & ((1u << le) - 1);
      int ds = reach[rng() % reach.size()];
      int de = AbDfDistanceExtraBits[ds];
      uint64_t limit = std::min<uint64_t>(produced, 32768) - AbDfDistanceBase[ds];  // largest extra allowed
      uint32_t dx = rng() & ((1u << de) - 1);
      if (dx > limit || rng() % 8 == 0) dx = static_cast<uint32_t>(std::min<uint64_t>(limit, (1u << de) - 1));
      lit.Put(b, ls);
      if (ls != 285) b.Put(lx, le);
      dist.Put(b, ds);
      b.Put(dx, de);
      produced += ls == 285 ? 258 : AbDfLengthBase[ls - 257] + lx;
    }
    lit.Put(b, 256);
  }

  std::mt19937 rng;
  Bits b;
  uint64_t produced = 0;
};

struct Outcome {
  bool ok = false;
  std::string out;
  int64_t consumed = 0;
  uint32_t crc = 0;
  std::string why;  // zlib's message on failure
};

Outcome Zlib(const std::string& in) {
  Outcome r;
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  std::vector<char> buf(1 << 16);
  int rc;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buf.data());
    z.avail_out = static_cast<uInt>(buf.size());
    rc = inflate(&z, Z_NO_FLUSH);
    r.out.append(buf.data(), buf.size() - z.avail_out);
  } while (rc == Z_OK && (z.avail_in > 0 || z.avail_out == 0));
  r.ok = rc == Z_STREAM_END;
  if (z.msg) r.why = z.msg;
  r.consumed = static_cast<int64_t>(z.total_in);
  inflateEnd(&z);
  return r;
}

// In memory the input is read where it lies and the output built in the
// destination's memory; otherwise both are copied through the inflater's own
// buffers. Both ways must agree with zlib. A prefix stands for bytes the
// destination held before.
Outcome Engine(const std::string& in, bool inPlace = true, const std::string& prefix = {}) {
  Outcome r;
  rtl::TMemoryStream lendingSrc(in), lending;
  testutil::UnlentMemoryStream unlentSrc(in), unlent;
  rtl::TMemoryStream& src = inPlace ? lendingSrc : unlentSrc;
  rtl::TMemoryStream& dst = inPlace ? lending : unlent;
  dst.WriteBuffer(prefix.data(), static_cast<int64_t>(prefix.size()));
  TAbDeflateHelper helper;
  try {
    r.crc = Inflate(&src, &dst, &helper);
    r.ok = true;
    r.consumed = helper.CompressedSize();
  } catch (const EAbInflateError& x) {
    r.why = x.Cause();
  }
  r.out = dst.DataString();
  if (r.out.compare(0, prefix.size(), prefix) != 0) ADD_FAILURE() << "the bytes before the output changed";
  r.out.erase(0, prefix.size());
  return r;
}

// The two readings of one stream agree as far as the format lets them.
void Compare(const std::string& in, const char* what, int seed) {
  Outcome z = Zlib(in), e = Engine(in, seed % 2 == 0);
  SCOPED_TRACE(testing::Message() << what << " seed " << seed << ", " << in.size() << " bytes");
  if (z.ok) {
    ASSERT_TRUE(e.ok);
    ASSERT_EQ(e.out.size(), z.out.size());
    ASSERT_TRUE(e.out == z.out);
    EXPECT_EQ(e.consumed, z.consumed);
    EXPECT_EQ(e.crc, static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(z.out.data()),
                                                 static_cast<uInt>(z.out.size()))));
    return;
  }
  const std::string& shorter = e.out.size() < z.out.size() ? e.out : z.out;
  const std::string& longer = e.out.size() < z.out.size() ? z.out : e.out;
  ASSERT_EQ(longer.compare(0, shorter.size(), shorter), 0) << "engine " << e.out.size() << ", zlib " << z.out.size();
}

} // namespace

TEST(InflateAgainstZlib, GeneratedStreamsWholeCutAndFlipped) {
  int valid = 0;
  for (int maxLen = 1; maxLen <= 15; ++maxLen)
    for (int round = 0; round < 10; ++round) {
      int seed = maxLen * 1000 + round;
      Generator g(static_cast<uint32_t>(seed));
      std::string s = g.Stream(maxLen);
      Outcome z = Zlib(s);
      // The generator writes only valid streams; zlib is the judge of that.
      ASSERT_TRUE(z.ok) << "seed " << seed << ": " << z.why;
      valid += z.ok;
      Compare(s + "after", "whole", seed);

      std::mt19937 rng(static_cast<uint32_t>(seed));
      for (int k = 0; k < 3; ++k) Compare(s.substr(0, rng() % s.size()), "cut", seed);
      for (int k = 0; k < 3; ++k) {
        std::string f = s;
        f[rng() % f.size()] ^= static_cast<char>(1u << (rng() % 8));
        Compare(f, "flipped", seed);
      }
    }
  EXPECT_EQ(valid, 15 * 10);
}

// One byte too far back, at the very start and at the full window: both
// decoders refuse the distance, after the same output.
TEST(InflateAgainstZlib, DistanceOneBeyondTheOutput) {
  for (uint32_t produced : {1u, 3u, 1000u, 32767u}) {
    Bits b;
    b.Put(0, 1);
    b.Put(0, 2);
    b.Put(0, 5);
    b.Put(produced, 16);
    b.Put(~produced & 0xFFFF, 16);
    for (uint32_t i = 0; i < produced; ++i) b.Put(i * 7 & 0xFF, 8);
    // Fixed block: length 3 (symbol 257, code 0000001), distance produced+1.
    b.Put(1, 1);
    b.Put(1, 2);
    b.Code(1, 7);
    uint32_t dist = produced + 1;
    int ds = 0;
    while (ds < 29 && AbDfDistanceBase[ds + 1] <= dist) ++ds;
    b.Code(static_cast<uint32_t>(ds), 5);
    b.Put(dist - AbDfDistanceBase[ds], AbDfDistanceExtraBits[ds]);
    b.Code(0, 7);  // end of block
    std::string s = b.Done();
    Outcome z = Zlib(s);
    EXPECT_FALSE(z.ok);
    for (bool inPlace : {false, true}) {
      // Prior bytes in the destination must not count as history either.
      Outcome e = Engine(s, inPlace, std::string(40000, 'p'));
      EXPECT_FALSE(e.ok);
      EXPECT_EQ(e.out.size(), produced);
      EXPECT_TRUE(e.out == z.out.substr(0, e.out.size()));
    }
  }
}
