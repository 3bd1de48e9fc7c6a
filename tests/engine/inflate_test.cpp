// Inflate: Deflate and Deflate64 decoding, the bit reader and the output
// window. zlib is the reference for round trips and for hand-built streams;
// Deflate64 is checked against an archive made by another program.
#include <gtest/gtest.h>
#include <zlib.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "ZipTestReader.h"
#include "archive/AbDfBase.h"
#include "archive/AbDfDec.h"
#include "archive/AbDfHufD.h"
#include "archive/AbDfOutW.h"
#include "archive/AbDfStrm.h"
#include "archive/AbExcept.h"
#include "archive/AbUnzOutStm.h"
#include "archive/AbUtils.h"
#include "rtl/Classes.h"

using namespace ab;

namespace {

// ---------------------------------------------------------------------------
// Fixtures
// ---------------------------------------------------------------------------

std::string ZlibDeflate(const std::string& data, int level, int strategy = Z_DEFAULT_STRATEGY) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  std::string out(deflateBound(&z, data.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// zlib's reading of a raw stream, for hand-built streams.
std::string ZlibInflate(const std::string& comp) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
  std::string out;
  char buf[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(comp.data()));
  z.avail_in = static_cast<uInt>(comp.size());
  int rc;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  inflateEnd(&z);
  return out;
}

uint32_t Crc(const std::string& s) { return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size()))); }

std::string TextLike(size_t n, uint32_t seed) {
  static const char* words[] = {"inflate ", "window ", "the ", "of ", "archive ", "\n", "deflate64 ", "block ",
                                "{ return x; }\n", "0123456789", "static const ", "int ", "e-book "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += words[rng() % (sizeof words / sizeof *words)];
  s.resize(n);
  return s;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

struct Result {
  std::string out;
  uint32_t check = 0;
  std::string error;  // the cause of an EAbInflateError, empty on success
  int64_t sourcePos = 0;
  TAbDeflateHelper helper;
};

Result RunInflate(const std::string& comp, int32_t options = 0, const std::function<void(TAbDeflateHelper&)>& tweak = {}) {
  Result r;
  rtl::TMemoryStream src(comp), dst;
  r.helper.SetOptions(options);
  if (tweak) tweak(r.helper);
  try {
    r.check = Inflate(&src, &dst, &r.helper);
  } catch (const EAbInflateError& e) {
    r.error = e.Cause();
  }
  r.out = dst.DataString();
  r.sourcePos = src.Position();
  return r;
}

// Writes a raw stream bit by bit, codes most significant bit first.
struct BitWriter {
  std::string out;
  uint64_t acc = 0;
  int n = 0;
  void Bits(uint32_t v, int count) {
    acc |= static_cast<uint64_t>(v) << n;
    n += count;
    while (n >= 8) {
      out.push_back(static_cast<char>(acc & 0xFF));
      acc >>= 8;
      n -= 8;
    }
  }
  void Code(uint32_t code, int len) {
    for (int i = len - 1; i >= 0; --i) Bits((code >> i) & 1, 1);
  }
  void Align() {
    if (n) Bits(0, 8 - n);
  }
  void Stored(const std::string& data, bool final) {
    Bits(final, 1);
    Bits(0, 2);
    Align();
    Bits(static_cast<uint32_t>(data.size()), 16);
    Bits(static_cast<uint32_t>(~data.size() & 0xFFFF), 16);
    out += data;
  }
  // Fixed code.
  void Lit(int sym) {
    if (sym < 144) Code(0x30 + sym, 8);
    else if (sym < 256) Code(0x190 + sym - 144, 9);
    else if (sym < 280) Code(sym - 256, 7);
    else Code(0xC0 + sym - 280, 8);
  }
  void Dist(int sym) { Code(sym, 5); }
  std::string Done() {
    std::string s = out;
    if (n) s.push_back(static_cast<char>(acc));
    return s;
  }
};

// Canonical codes for a set of lengths, as a dynamic block defines them.
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

// A dynamic block header whose code-length code gives every length symbol
// 0..15 four bits, followed by the literal/length and distance lengths.
struct Dynamic {
  std::vector<int> lit, dist;
  std::vector<uint32_t> litCode, distCode;
  void Header(BitWriter& w, bool final) {
    w.Bits(final, 1);
    w.Bits(2, 2);
    w.Bits(static_cast<uint32_t>(lit.size() - 257), 5);
    w.Bits(static_cast<uint32_t>(dist.size() - 1), 5);
    w.Bits(15, 4);  // all 19 code-length lengths follow
    for (int i = 0; i < 19; ++i) w.Bits(AbDfCodeLengthIndex[i] <= 15 ? 4 : 0, 3);
    for (int l : lit) w.Code(static_cast<uint32_t>(l), 4);
    for (int l : dist) w.Code(static_cast<uint32_t>(l), 4);
    litCode = Canonical(lit);
    distCode = Canonical(dist);
  }
  void Sym(BitWriter& w, int s) { w.Code(litCode[s], lit[s]); }
  void Dst(BitWriter& w, int s) { w.Code(distCode[s], dist[s]); }
};

// Literal/length lengths: 0..255 and 256 at 9 bits, 257..285 at 9 (+pad).
Dynamic SimpleDynamic(int hdist) {
  Dynamic d;
  d.lit.assign(286, 0);
  for (int s = 0; s < 286; ++s) d.lit[s] = s < 256 ? 9 : s <= 285 ? 9 : 0;
  d.dist.assign(hdist, 5);
  return d;
}

const char* kCauseNoData = "no more compressed data in stream [TAbDfInBitStream.";

} // namespace

// ---------------------------------------------------------------------------
// Round trips
// ---------------------------------------------------------------------------

TEST(Inflate, RoundTripsAgainstZlibAtEveryLevel) {
  const size_t sizes[] = {0, 1, 2, 3, 100, 4095, 65535, 65536, 65537, 98304, 300000};
  for (int kind = 0; kind < 3; ++kind)
    for (size_t size : sizes) {
      std::string data = kind == 0 ? TextLike(size, static_cast<uint32_t>(size))
                         : kind == 1 ? RandomBytes(size, static_cast<uint32_t>(size))
                                     : std::string(size, 'z');
      for (int level = 0; level <= 9; ++level) {
        std::string comp = ZlibDeflate(data, level);
        // Bytes after the stream must be left for whoever reads next.
        Result r = RunInflate(comp + "TRAILER!");
        ASSERT_EQ(r.error, "") << kind << "/" << size << "/" << level;
        ASSERT_TRUE(r.out == data) << kind << "/" << size << "/" << level;
        EXPECT_EQ(r.check, Crc(data));
        EXPECT_EQ(r.helper.CompressedSize(), static_cast<int64_t>(comp.size()));
        EXPECT_EQ(r.helper.NormalSize(), static_cast<int64_t>(size));
        EXPECT_EQ(r.sourcePos, static_cast<int64_t>(comp.size()));
      }
    }
}

TEST(Inflate, FixedHuffmanOnlyAndRunLengthStreams) {
  std::string data = TextLike(200000, 3) + std::string(5000, '\0') + RandomBytes(3000, 4);
  for (int strategy : {Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED}) {
    Result r = RunInflate(ZlibDeflate(data, 6, strategy));
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.out == data) << strategy;
    EXPECT_EQ(r.check, Crc(data));
  }
}

// Random literals and matches of every distance and length, including
// distance 1 and 32768, in fixed blocks; zlib reads the same stream.
TEST(Inflate, RandomMatchesAgreeWithZlib) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    BitWriter w;
    w.Stored(RandomBytes(32768, static_cast<uint32_t>(round)), false);
    size_t produced = 32768;
    w.Bits(1, 1);
    w.Bits(1, 2);
    for (int i = 0; i < 3000; ++i) {
      if (rng() % 3 == 0) {
        w.Lit(static_cast<int>(rng() % 256));
        ++produced;
        continue;
      }
      int lsym = 257 + static_cast<int>(rng() % 29);
      int lextra = AbDfLengthExtraBits[lsym - 257];
      w.Lit(lsym);
      uint32_t le = lsym == 285 ? 0 : rng() & ((1u << lextra) - 1);
      if (lsym != 285) w.Bits(le, lextra);
      size_t len = lsym == 285 ? 258 : AbDfLengthBase[lsym - 257] + le;
      // Short distances often, so that overlapping copies are covered.
      uint32_t dist = rng() % 4 == 0 ? 1 + rng() % 20 : rng() % 8 == 0 ? 32768 : 1 + rng() % 32768;
      int dsym = 0;
      while (dsym < 29 && AbDfDistanceBase[dsym + 1] <= dist) ++dsym;
      w.Dist(dsym);
      w.Bits(dist - AbDfDistanceBase[dsym], AbDfDistanceExtraBits[dsym]);
      produced += len;
    }
    w.Lit(256);
    std::string comp = w.Done();
    std::string expected = ZlibInflate(comp);
    ASSERT_EQ(expected.size(), produced);
    Result r = RunInflate(comp);
    ASSERT_EQ(r.error, "");
    ASSERT_TRUE(r.out == expected) << round;
    EXPECT_EQ(r.check, Crc(expected));
  }
}

TEST(Inflate, Deflate64ArchiveFromAnotherProgram) {
  std::string wmv = ziptest::ReadFile(std::string(ARVELO_TEST_DATA) + "/interop/binary.wmv");
  auto entries = ziptest::ReadEntriesFromFile(std::string(ARVELO_TEST_DATA) + "/interop/deflate64.zip");
  bool seen = false;
  for (const auto& e : entries) {
    if (e.method != 9) continue;
    seen = true;
    Result r = RunInflate(e.data + "12345678", dfc_UseDeflate64);
    ASSERT_EQ(r.error, "");
    EXPECT_TRUE(r.out == wmv);
    EXPECT_EQ(r.check, e.crc);
    EXPECT_EQ(r.helper.CompressedSize(), static_cast<int64_t>(e.data.size()));
    // Test-only mode gives the same check value and writes nothing.
    Result t = RunInflate(e.data, dfc_UseDeflate64 | dfc_TestOnly);
    EXPECT_EQ(t.out, "");
    EXPECT_EQ(t.check, e.crc);
    EXPECT_EQ(t.helper.NormalSize(), static_cast<int64_t>(wmv.size()));
  }
  EXPECT_TRUE(seen);
}

// ---------------------------------------------------------------------------
// Format details
// ---------------------------------------------------------------------------

TEST(Inflate, StoredBlocks) {
  BitWriter empty;
  empty.Stored("", true);
  Result r = RunInflate(empty.Done());
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.check, 0u);

  std::string bad = empty.Done();
  bad[3] ^= 1;  // NLEN no longer the complement of LEN
  EXPECT_EQ(RunInflate(bad).error, "invalid stored block (length and NOT length do not match) [InflateStoredBlock]");

  BitWriter three;
  three.Bits(1, 1);
  three.Bits(3, 2);
  EXPECT_EQ(RunInflate(three.Done()).error, "starting new block, but invalid block type [Inflate]");
}

TEST(Inflate, LengthSymbol285InBothModes) {
  // One 'x', then symbol 285 at distance 1 followed by 16 one-bits.
  BitWriter w;
  w.Stored("x", false);
  w.Bits(1, 1);
  w.Bits(1, 2);
  w.Lit(285);
  w.Bits(0xFFFF, 16);
  w.Dist(0);
  w.Lit(256);
  std::string comp = w.Done();
  Result d64 = RunInflate(comp, dfc_UseDeflate64);
  ASSERT_EQ(d64.error, "");
  EXPECT_TRUE(d64.out == std::string(1 + 65538, 'x'));
  // In Deflate the same symbol is 258 without extra bits; the 16 bits that
  // follow are then read as codes, and this stream falls apart.
  BitWriter v;
  v.Stored("x", false);
  v.Bits(1, 1);
  v.Bits(1, 2);
  v.Lit(285);
  v.Dist(0);
  v.Lit(256);
  Result d = RunInflate(v.Done());
  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.out, std::string(259, 'x'));
}

TEST(Inflate, DistanceSymbols30And31) {
  std::string history = RandomBytes(40000, 5);
  BitWriter w;
  w.Stored(history, false);
  w.Bits(1, 1);
  w.Bits(1, 2);
  w.Lit(257);  // length 3
  w.Dist(30);
  w.Bits(5, 14);  // distance 32769 + 5
  w.Lit(256);
  std::string comp = w.Done();
  EXPECT_EQ(RunInflate(comp).error, "decoded an invalid distance symbol: greater than 29 [DecodeData]");
  Result r = RunInflate(comp, dfc_UseDeflate64);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.out, history + history.substr(40000 - 32774, 3));
}

TEST(Inflate, FixedSymbols286And287AreRejected) {
  for (int sym : {286, 287}) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(1, 2);
    w.Lit('a');
    w.Lit(sym);
    EXPECT_EQ(RunInflate(w.Done()).error, "decoded an invalid length symbol: greater than 285 [DecodeData]");
  }
}

TEST(Inflate, DynamicBlockLimits) {
  Dynamic d = SimpleDynamic(32);
  BitWriter w;
  d.Header(w, true);
  d.Sym(w, 'h');
  d.Sym(w, 'i');
  d.Sym(w, 258);  // length 4
  d.Dst(w, 1);    // distance 2
  d.Sym(w, 256);
  std::string comp = w.Done();
  EXPECT_EQ(RunInflate(comp).error, "count of distance codes in dynamic block is greater than 30 [InflateDynamicBlock]");
  Result r = RunInflate(comp, dfc_UseDeflate64);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.out, "hihihi");

  BitWriter many;
  many.Bits(1, 1);
  many.Bits(2, 2);
  many.Bits(30, 5);  // 287 literal/length codes
  many.Bits(0, 5);
  many.Bits(0, 4);
  EXPECT_EQ(RunInflate(many.Done()).error, "count of literal codes in dynamic block is greater than 286 [InflateDynamicBlock]");
}

TEST(Inflate, DynamicBlockWithoutDistanceCodes) {
  Dynamic d = SimpleDynamic(1);
  d.dist = {0};
  BitWriter w;
  d.Header(w, true);
  for (char c : std::string("only literals")) d.Sym(w, static_cast<unsigned char>(c));
  d.Sym(w, 256);
  Result ok = RunInflate(w.Done());
  ASSERT_EQ(ok.error, "");
  EXPECT_EQ(ok.out, "only literals");

  BitWriter m;
  d.Header(m, true);
  d.Sym(m, 'a');
  d.Sym(m, 257);
  m.Bits(0, 16);
  EXPECT_EQ(RunInflate(m.Done()).error, "decoded an invalid distance symbol: greater than 29 [DecodeData]");
  EXPECT_EQ(RunInflate(m.Done(), dfc_UseDeflate64).error,
            "decoded an invalid distance symbol: no code for these bits [DecodeData]");
}

// ---------------------------------------------------------------------------
// Corrupt data the format leaves open
// ---------------------------------------------------------------------------

TEST(Inflate, RepeatWithNothingToRepeat) {
  // Code-length code: symbols 16 and 0..15 present, 16 comes first.
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(2, 2);
  w.Bits(0, 5);
  w.Bits(0, 5);
  w.Bits(0, 4);        // four code-length lengths: for 16, 17, 18, 0
  w.Bits(1, 3);        // 16 -> 1 bit (code 1)
  w.Bits(0, 3);
  w.Bits(0, 3);
  w.Bits(1, 3);        // 0 -> 1 bit (code 0)
  w.Code(1, 1);        // 16 first: nothing to repeat
  w.Bits(0, 2);
  w.Bits(0, 32);
  EXPECT_EQ(RunInflate(w.Done()).error, "repeat of the previous code length, but there is none {ReadLitDistCodeLengths}");
}

TEST(Inflate, OverSubscribedCodesAreRejected) {
  const char* cause = "over-subscribed set of code lengths [InflateDynamicBlock]";
  // Literal/length code with three codes of one bit.
  Dynamic d = SimpleDynamic(1);
  d.lit.assign(257, 0);
  d.lit[0] = d.lit[1] = d.lit[256] = 1;
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(2, 2);
  w.Bits(0, 5);
  w.Bits(0, 5);
  w.Bits(15, 4);
  for (int i = 0; i < 19; ++i) w.Bits(AbDfCodeLengthIndex[i] <= 15 ? 4 : 0, 3);
  for (int l : d.lit) w.Code(static_cast<uint32_t>(l), 4);
  w.Code(1, 4);
  w.Bits(0, 32);
  EXPECT_EQ(RunInflate(w.Done()).error, cause);

  // Code-length code with more one-bit codes than fit.
  BitWriter c;
  c.Bits(1, 1);
  c.Bits(2, 2);
  c.Bits(0, 5);
  c.Bits(0, 5);
  c.Bits(0, 4);
  for (int i = 0; i < 4; ++i) c.Bits(1, 3);
  c.Bits(0, 32);
  EXPECT_EQ(RunInflate(c.Done()).error, cause);
}

TEST(Inflate, DistanceBeforeTheFirstByteIsRejected) {
  for (int lits : {0, 1, 2}) {
    BitWriter w;
    w.Bits(1, 1);
    w.Bits(1, 2);
    for (int i = 0; i < lits; ++i) w.Lit('a');
    w.Lit(257);
    w.Dist(2);  // distance 3
    w.Lit(256);
    Result r = RunInflate(w.Done());
    EXPECT_EQ(r.error, "distance reaches before the start of the output [DecodeData]") << lits;
    EXPECT_EQ(r.out, std::string(lits, 'a'));
  }
}

TEST(Inflate, IncompleteCodeLengthCode) {
  // Only symbol 0 has a code (one bit, code 0); the bit pattern 1 has none.
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(2, 2);
  w.Bits(0, 5);
  w.Bits(0, 5);
  w.Bits(0, 4);
  w.Bits(0, 3);
  w.Bits(0, 3);
  w.Bits(0, 3);
  w.Bits(1, 3);
  w.Bits(0xFF, 8);
  EXPECT_EQ(RunInflate(w.Done()).error, "decoded a symbol not between 0 and 18 {ReadLitDistCodeLengths}");
}

// ---------------------------------------------------------------------------
// Ends of input and output
// ---------------------------------------------------------------------------

TEST(Inflate, EmptyAndTruncatedSources) {
  Result empty = RunInflate("");
  EXPECT_EQ(empty.error, "no more compressed data in stream [TAbDfInBitStream.ReadBit]");
  EXPECT_EQ(empty.out, "");

  std::string data = TextLike(200000, 9);
  std::string comp = ZlibDeflate(data, 6);
  for (size_t cut : {comp.size() / 3, comp.size() / 2, comp.size() - 5}) {
    Result r = RunInflate(comp.substr(0, cut));
    EXPECT_EQ(r.error.rfind(kCauseNoData, 0), 0u) << r.error;
    EXPECT_GT(r.out.size(), 0u);
    // Output up to the cut arrives; at most a few symbols (two matches at
    // most) decode from the zero bytes that complete the last word.
    size_t same = 0;
    while (same < r.out.size() && same < data.size() && r.out[same] == data[same]) ++same;
    EXPECT_GE(same + 2 * 258, r.out.size()) << cut;
  }

  std::string stored("\x01\x10\x00\xEF\xFF" "abc", 8);  // 16 bytes promised, 3 given
  Result s = RunInflate(stored);
  EXPECT_EQ(s.error, "no more compressed data in stream [TAbDfInBitStream.ReadBuffer]");
}

TEST(Inflate, PartialSizeStopsQuietly) {
  std::string data = TextLike(10000, 12);
  std::string comp = ZlibDeflate(data, 6);
  Result r = RunInflate(comp, 0, [](TAbDeflateHelper& h) { h.SetPartialSize(512); });
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.check, 0u);
  ASSERT_GE(r.out.size(), 512u);
  EXPECT_TRUE(r.out == data.substr(0, r.out.size()));
  EXPECT_EQ(r.helper.NormalSize(), static_cast<int64_t>(r.out.size()));
  EXPECT_LT(r.helper.CompressedSize(), static_cast<int64_t>(comp.size()));
  EXPECT_EQ(r.helper.CompressedSize(), r.sourcePos);

  // Literal by literal the stop comes exactly at the partial size, before
  // the literal's bits are taken.
  BitWriter w;
  w.Bits(1, 1);
  w.Bits(1, 2);
  for (int i = 0; i < 600; ++i) w.Lit('a' + i % 26);
  w.Lit(256);
  Result lit = RunInflate(w.Done(), 0, [](TAbDeflateHelper& h) { h.SetPartialSize(512); });
  EXPECT_EQ(lit.out.size(), 512u);
  EXPECT_EQ(lit.helper.CompressedSize(), (3 + 511 * 8 + 7) / 8);
}

TEST(Inflate, CheckValuesAndTestOnly) {
  std::string data = TextLike(150000, 13);
  std::string comp = ZlibDeflate(data, 9);
  Result adler = RunInflate(comp, dfc_UseAdler32);
  EXPECT_EQ(adler.check, static_cast<uint32_t>(adler32(1, reinterpret_cast<const Bytef*>(data.data()),
                                                        static_cast<uInt>(data.size()))));
  Result test = RunInflate(comp, dfc_TestOnly);
  EXPECT_EQ(test.out, "");
  EXPECT_EQ(test.check, Crc(data));
  EXPECT_EQ(test.helper.NormalSize(), static_cast<int64_t>(data.size()));
  EXPECT_EQ(test.helper.CompressedSize(), static_cast<int64_t>(comp.size()));
}

TEST(Inflate, ProgressFollowsTheInput) {
  std::string data = RandomBytes(100000, 14);
  std::string comp = ZlibDeflate(data, 1);
  std::vector<int32_t> calls;
  auto handler = [&](int32_t p) { calls.push_back(p); };
  RunInflate(comp, 0, [&](TAbDeflateHelper& h) { h.OnProgressStep = handler; });
  EXPECT_TRUE(calls.empty());  // no stream size: no progress

  Result r = RunInflate(comp, 0, [&](TAbDeflateHelper& h) {
    h.OnProgressStep = handler;
    h.SetStreamSize(-1);
  });
  ASSERT_EQ(r.error, "");
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), 100);
  EXPECT_EQ(calls.front(), static_cast<int32_t>((16384 * 100 + comp.size() / 2) / comp.size()));

  // A handler that stops ends the call quietly.
  calls.clear();
  Result stopped = RunInflate(comp, 0, [&](TAbDeflateHelper& h) {
    h.SetStreamSize(static_cast<int64_t>(comp.size()));
    h.OnProgressStep = [](int32_t p) {
      if (p > 30) throw EAbAbortProgress("Process aborted by user");
    };
  });
  EXPECT_EQ(stopped.error, "");
  EXPECT_EQ(stopped.check, 0u);
  EXPECT_LT(stopped.out.size(), data.size());
  EXPECT_TRUE(stopped.out == data.substr(0, stopped.out.size()));
}

TEST(Inflate, LogFileRecordsTheCause) {
  std::string path = ::testing::TempDir() + "inflate_log.txt";
  Result r = RunInflate("\x07", 0, [&](TAbDeflateHelper& h) { h.SetLogFile(path); });
  EXPECT_EQ(r.error, "starting new block, but invalid block type [Inflate]");
  EXPECT_EQ(ziptest::ReadFile(path),
            "INFLATING STREAM...\r\nNeed to recompile the app with UseLogging turned on\r\n"
            "Internal exception raised: starting new block, but invalid block type [Inflate]\r\n");
}

// Random, truncated and bit-flipped input must end in a clean failure or
// some output (caught by the CRC), never in a crash, a hang or a read or
// write outside a buffer.
TEST(Inflate, DamagedInputFailsCleanly) {
  std::vector<std::string> seeds = {ZlibDeflate(TextLike(30000, 1), 6), ZlibDeflate(RandomBytes(3000, 2), 0),
                                    ZlibDeflate(TextLike(5000, 3), 9, Z_FIXED),
                                    ZlibDeflate(std::string(20000, 'q') + TextLike(2000, 4), 6, Z_RLE)};
  std::mt19937 rng(2024);
  int failures = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string in;
    int how = i % 4;
    if (how == 0) {
      in = RandomBytes(1 + rng() % 600, rng());
    } else {
      in = seeds[rng() % seeds.size()];
      if (how == 1) in.resize(rng() % in.size());
      int flips = how == 3 ? 1 : 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips && !in.empty(); ++f) in[rng() % in.size()] ^= static_cast<char>(1u << (rng() % 8));
    }
    int32_t options = (rng() & 1 ? dfc_UseDeflate64 : 0) | (rng() % 3 == 0 ? 0 : dfc_TestOnly);
    rtl::TMemoryStream src(in), dst;
    TAbDeflateHelper h;
    h.SetOptions(options);
    try {
      Inflate(&src, &dst, &h);
    } catch (const EAbInflateError&) {
      ++failures;
    }
    // Never past the input, whatever the zero bytes that complete the last
    // word were used for.
    EXPECT_LE(src.Position(), static_cast<int64_t>(in.size()));
    EXPECT_LE(h.CompressedSize(), static_cast<int64_t>(in.size()));
  }
  EXPECT_GT(failures, 1000);
}

// ---------------------------------------------------------------------------
// Bit reader
// ---------------------------------------------------------------------------

TEST(InflateBitReader, PeekPastTheEndReadsZerosButDiscardFails) {
  rtl::TMemoryStream src(std::string("\xFF\xFF\xFF\xFF\xFF", 5));
  TAbDfInBitStream b(&src, {}, 0);
  EXPECT_EQ(b.ReadBits(16), 0xFFFFu);
  EXPECT_EQ(b.ReadBits(16), 0xFFFFu);
  // One real byte and three zero bytes that complete the last word.
  EXPECT_EQ(b.PeekBits(32), 0xFFu);
  b.DiscardBits(32);
  EXPECT_EQ(b.PeekBits(8), 0u);
  try {
    b.DiscardBits(1);
    FAIL();
  } catch (const EAbInternalInflateError& e) {
    EXPECT_STREQ(e.what(), "no more compressed data in stream [TAbDfInBitStream.DiscardBits]");
  }
  EXPECT_THROW(b.ReadBit(), EAbInternalInflateError);
  EXPECT_THROW(b.ReadBits(17), EAbInternalInflateError);
  EXPECT_THROW(b.DiscardBits(9), rtl::EAssertionFailed);  // more than peeked
}

TEST(InflateBitReader, SourceEndsAfterTheLastConsumedByte) {
  // 48 and 64 bits take one and three of the zero bytes past the end: the
  // source stays at its end.
  for (auto [bits, pos] : {std::pair{10, 2}, {16, 2}, {17, 3}, {1, 1}, {40, 5}, {48, 5}, {64, 5}}) {
    rtl::TMemoryStream src(std::string("\x01\x02\x03\x04\x05", 5));
    {
      TAbDfInBitStream b(&src, {}, 0);
      for (int left = bits; left > 0; left -= 8) b.ReadBits(std::min(left, 8));
    }
    EXPECT_EQ(src.Position(), pos) << bits;
  }
}

TEST(InflateBitReader, ReadBufferAfterAlignTakesBytesInOrder) {
  std::string bytes;
  for (int i = 0; i < 40000; ++i) bytes.push_back(static_cast<char>(i * 7));
  rtl::TMemoryStream src(bytes);
  TAbDfInBitStream b(&src, {}, 0);
  EXPECT_EQ(b.ReadBits(3), static_cast<uint32_t>(bytes[0] & 7));
  b.AlignToByte();
  std::string got(39990, '\0');
  b.ReadBuffer(got.data(), 39990);
  EXPECT_TRUE(got == bytes.substr(1, 39990));
  EXPECT_EQ(b.ReadBits(8), static_cast<uint8_t>(bytes[39991]));
  EXPECT_THROW(b.ReadBuffer(got.data(), 12), EAbInternalInflateError);
}

TEST(InflateBitReader, ProgressOncePerRead) {
  rtl::TMemoryStream src(RandomBytes(40000, 1));
  std::vector<int32_t> calls;
  TAbDfInBitStream b(&src, [&](int32_t p) { calls.push_back(p); }, 40000);
  for (int i = 0; i < 20000; ++i) b.ReadBits(16);
  EXPECT_EQ(calls, (std::vector<int32_t>{41, 82, 100}));
}

// ---------------------------------------------------------------------------
// Output window
// ---------------------------------------------------------------------------

namespace {
// Records every piece that leaves the window, written or committed in place;
// with lend false it refuses in-place output.
struct RecordingStream : rtl::TMemoryStream {
  explicit RecordingStream(bool lend) : lend(lend) {}
  bool lend;
  std::vector<int64_t> pieces;
  int64_t Write(const void* b, int64_t n) override {
    pieces.push_back(n);
    return rtl::TMemoryStream::Write(b, n);
  }
  uint8_t* InPlaceRoom(int64_t keep, int64_t minRoom, int64_t& room) override {
    room = 0;
    return lend ? rtl::TMemoryStream::InPlaceRoom(keep, minRoom, room) : nullptr;
  }
  void CommitInPlace(int64_t n) override {
    pieces.push_back(n);
    rtl::TMemoryStream::CommitInPlace(n);
  }
};
} // namespace

// Copied in or built in place, the destination sees the same pieces, bytes
// and check value; in place the memory moves several times on the way.
TEST(InflateWindow, WritesLeaveIn32KiBPieces) {
  const std::string data = RandomBytes(600000, 21);
  std::string expected;
  for (size_t p = 0; p < data.size(); p += 16384) {
    expected += data.substr(p, 16384);
    expected += expected.substr(expected.size() - 16384, 258);
  }
  std::vector<int64_t> pieces;
  int64_t left = static_cast<int64_t>(expected.size());
  for (; left >= 65536; left -= 32768) pieces.push_back(32768);
  pieces.push_back(left);

  for (bool lend : {false, true}) {
    SCOPED_TRACE(lend ? "in place" : "copied out");
    RecordingStream dst(lend);
    uint32_t check;
    {
      TAbDfOutputWindow w(&dst, false, true, 0, false, nullptr);
      for (size_t p = 0; p < data.size(); p += 16384) {
        w.AddBuffer(data.data() + p, static_cast<int32_t>(std::min<size_t>(16384, data.size() - p)));
        w.AddLenDist(258, 16384);
      }
      EXPECT_EQ(w.Position(), static_cast<int64_t>(expected.size()));
      check = w.Checksum();
    }
    EXPECT_EQ(dst.pieces, pieces);
    EXPECT_TRUE(dst.DataString() == expected);
    EXPECT_EQ(check, Crc(expected));
  }
}

// Bytes the destination held before are not history: a match reaching into
// them is refused and they stay as they were.
TEST(InflateWindow, PriorContentIsNotHistory) {
  for (bool lend : {false, true}) {
    RecordingStream dst(lend);
    dst.WriteBuffer("prior", 5);
    TAbDfOutputWindow w(&dst, false, true, 0, false, nullptr);
    w.AddLiteral('a');
    EXPECT_THROW(w.AddLenDist(3, 2), EAbInternalInflateError);
    w.AddLenDist(3, 1);
    w.Close();
    EXPECT_EQ(dst.DataString(), "prioraaaa");
  }
}

TEST(InflateWindow, Deflate64LongestMatchesTwiceInARow) {
  std::string seed = RandomBytes(70000, 22);
  std::string expected = seed;
  for (int k = 0; k < 2; ++k)
    for (int i = 0; i < 65538; ++i) {
      char c = expected[expected.size() - 65536];
      expected.push_back(c);
    }
  rtl::TMemoryStream dst, none;
  TAbDfOutputWindow w(&dst, true, true, 0, false, nullptr);
  TAbDfOutputWindow t(&none, true, true, 0, true, nullptr);
  for (auto* win : {&w, &t}) {
    win->AddBuffer(seed.data(), static_cast<int32_t>(seed.size()));
    win->AddLenDist(65538, 65536);
    win->AddLenDist(65538, 65536);
  }
  EXPECT_EQ(t.Position(), static_cast<int64_t>(expected.size()));
  EXPECT_EQ(w.Checksum(), Crc(expected));
  EXPECT_EQ(t.Checksum(), Crc(expected));
  EXPECT_TRUE(dst.DataString() == expected);
  EXPECT_EQ(none.Size(), 0);
}

// Into a file, output is built in the file stream's write buffer, through
// the item pipeline's output stage: many buffer moves keep a history's
// worth of bytes for matches that reach across them (Deflate and Deflate64),
// the stage still cuts at the declared size, and a write that fails midway
// is the failure reported, with no file left behind.
TEST(InflateWindow, IntoAFileThroughTheOutputStage) {
  testutil::TempDir t;
  const std::string name = t / "out.bin";
  struct Into {
    rtl::TReplacingFileStream file;
    TAbUnzipOutputStream stage;
    Into(const std::string& n, int64_t declared) : file(n), stage(&file) {
      stage.SetUncompressedSize(declared);
      stage.SetDecoderComputesCRC();
    }
  };

  // Deflate by Inflate, as extraction calls it: text and noise mixed.
  std::string data;
  for (uint32_t k = 0; data.size() < 3000000; ++k) data += k % 3 ? TextLike(70000, k) : RandomBytes(30000, k);
  const std::string comp = ZlibDeflate(data, 6);
  {
    Into into(name, static_cast<int64_t>(data.size()));
    rtl::TMemoryStream src(comp);
    EXPECT_EQ(Inflate(&src, &into.stage, nullptr), Crc(data));
    into.file.Commit();
  }
  EXPECT_TRUE(testutil::ReadFile(name) == data);

  // Deflate64's longest distance across every move of the buffer.
  std::string seed = RandomBytes(70000, 23), expected = seed;
  while (expected.size() < 2000000) expected += expected.substr(expected.size() - 65536, 65536);
  {
    Into into(name, static_cast<int64_t>(expected.size()));
    TAbDfOutputWindow w(&into.stage, true, true, 0, false, nullptr);
    w.AddBuffer(seed.data(), static_cast<int32_t>(seed.size()));
    for (size_t n = seed.size(); n < expected.size(); n += 65536) w.AddLenDist(65536, 65536);
    EXPECT_EQ(w.Checksum(), Crc(expected));
    into.file.Commit();
  }
  EXPECT_TRUE(testutil::ReadFile(name) == expected);

  // More than the item declares: the file gets exactly the declared bytes.
  {
    Into into(name, 1000000);
    rtl::TMemoryStream src(comp);
    EXPECT_THROW(Inflate(&src, &into.stage, nullptr), EAbSizeMismatch);
    EXPECT_EQ(into.stage.BytesWritten(), 1000000);
    into.file.Commit();
  }
  EXPECT_TRUE(testutil::ReadFile(name) == data.substr(0, 1000000));
  std::filesystem::remove(name);

#ifndef _WIN32
  // A file size limit stands in for a full disk.
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 1 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  {
    Into into(name, static_cast<int64_t>(data.size()));
    rtl::TMemoryStream src(comp);
    try {
      Inflate(&src, &into.stage, nullptr);
      ADD_FAILURE() << "the write failure was not reported";
    } catch (const rtl::EInOutError& e) {
      EXPECT_EQ(e.ErrorCode, EFBIG);
    }
    EXPECT_THROW(into.file.Commit(), rtl::Exception);
  }
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
  EXPECT_TRUE(std::filesystem::is_empty(t.Path()));
#endif
}

TEST(InflateWindow, PartialSizeAndEmptyCheckValues) {
  rtl::TMemoryStream dst;
  {
    TAbDfOutputWindow w(&dst, false, true, 512, false, nullptr);
    for (int i = 0; i < 511; ++i) w.AddLiteral('a');
    EXPECT_THROW(w.AddLiteral('a'), EAbPartSizedInflate);
  }
  EXPECT_EQ(dst.Size(), 512);
  rtl::TMemoryStream big;
  TAbDfOutputWindow capped(&big, false, true, 1000000, false, nullptr);
  int added = 0;
  try {
    for (;; ++added) capped.AddLiteral('b');
  } catch (const EAbPartSizedInflate&) {
  }
  EXPECT_EQ(added + 1, 65536);

  TAbDfOutputWindow crc(&dst, false, true, 0, true, nullptr), adler(&dst, false, false, 0, true, nullptr);
  EXPECT_EQ(crc.Checksum(), 0u);
  EXPECT_EQ(adler.Checksum(), 1u);
  EXPECT_THROW(crc.AddLenDist(3, 1), EAbInternalInflateError);  // no history
}

// ---------------------------------------------------------------------------
// Huffman tables and the options object
// ---------------------------------------------------------------------------

TEST(InflateTables, FixedTreesDecodeTheirOwnCodes) {
  const TAbDfDecodeHuffmanTree& lit = FixedLitLenTree();
  ASSERT_EQ(lit.LookupBitLength(), 9);
  for (uint32_t sym = 0; sym < 288; ++sym) {
    uint32_t enc = lit.Encodes()[sym];
    uint32_t e = lit.Decode(enc & 0xFFFF);
    EXPECT_EQ(e & 0xFFFF, sym);
    EXPECT_EQ((e >> 16) & 0xFF, (enc >> 16) & 0xFF);
    EXPECT_EQ(e >> 24, sym >= 257 ? AbDfLengthExtraBits[sym - 257] : 0u);
  }
  EXPECT_EQ(FixedDistTree().Decode(0x1F) & 0xFFFF, 31u);
  EXPECT_THROW(lit.Decode(512), rtl::EAssertionFailed);

  TAbDfDecodeHuffmanTree t(4, 15, huDecoding);
  int32_t lens[] = {1, 1, 1, 0};
  EXPECT_THROW(t.Build(lens, 0, 4, {}, 65535), EAbInternalInflateError);
}

TEST(InflateHelper, PresetsAndTuning) {
  TAbDeflateHelper h;
  EXPECT_EQ(h.Options(), 0x0F);
  EXPECT_EQ(h.PKZipOption(), 'n');
  h.SetPKZipOption('X');
  EXPECT_EQ(h.PKZipOption(), 'x');
  EXPECT_EQ(h.ChainLength(), 4096);
  EXPECT_EQ(h.MaxLazyLength(), 258);
  h.SetPKZipOption('0');
  EXPECT_EQ(h.Options(), 0x01);
  h.SetPKZipOption('q');  // unknown letters change nothing
  EXPECT_EQ(h.PKZipOption(), '0');
  h.SetAmpleLength(2);
  EXPECT_EQ(h.AmpleLength(), 4);
  EXPECT_EQ(h.PKZipOption(), '?');
  h.SetWindowSize(40000);
  EXPECT_EQ(h.WindowSize(), 32768);
  h.SetOptions(h.Options() | dfc_UseDeflate64);
  h.SetWindowSize(40000);
  EXPECT_EQ(h.WindowSize(), 65536);
  h.SetWindowSize(1500);
  EXPECT_EQ(h.WindowSize(), 2048);

  TAbDeflateHelper copy;
  h.SetCompressedSize(5);
  h.SetStreamSize(77);
  copy.Assign(h);
  EXPECT_EQ(copy.StreamSize(), 77);
  EXPECT_EQ(copy.CompressedSize(), 0);
  EXPECT_EQ(copy.Options(), h.Options());
}
