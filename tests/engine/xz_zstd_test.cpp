// xz (method 95) and Zstandard (method 93) items around what the xz and
// zstd programs make, held to their declared sizes; and the one memory
// limit every decoder keeps, over headers that ask for more.
#include <gtest/gtest.h>

#include <map>

#include "HostileZip.h"
#include "TestUtil.h"
#include "ZipTestReader.h"
#include "rtl/FileSys.h"

using testutil::Quote;
using testutil::TempDir;

namespace {

// Data packed by a program that reads standard input ("xz -9 -c").
std::string Pack(const std::string& cmd, const std::string& data) {
  TempDir d;
  testutil::WriteFile(d / "in", data);
  std::string log;
  if (testutil::Run("cd " + Quote(d.Path()) + " && " + cmd + " < in > out", &log) != 0)
    throw std::runtime_error(cmd + ": " + log);
  return testutil::ReadFile(d / "out");
}

testutil::ZipEntry Item(const std::string& name, uint16_t method, const std::string& packed, const std::string& content,
                        int64_t declared = -1) {
  testutil::ZipEntry e;
  e.name = name;
  e.method = method;
  e.versionNeeded = 63;
  e.data = packed;
  e.overrideCrc = true;
  e.crc = testutil::Crc(content);
  e.uncompressedSize = declared >= 0 ? declared : static_cast<int64_t>(content.size());
  return e;
}

std::string OneItemZip(const testutil::ZipEntry& e) {
  testutil::ZipWriter w;
  w.Add(e);
  return w.Build();
}

std::string Random(size_t n) {
  std::string s;
  uint32_t x = 3;
  while (s.size() < n) s += static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  return s;
}

} // namespace

TEST(XzZstd, ItemsOfTheProgramsDecodeToTheirSources) {
  const std::pair<const char*, std::string> contents[] = {
      {"text", testutil::SampleText(1 << 20, 4)}, {"random", Random(200000)}, {"zeros", std::string(3 << 20, '\0')},
      {"one", "x"}};
  const std::pair<uint16_t, const char*> packers[] = {
      {95, "xz -9e -c"}, {95, "xz -0 -c --check=sha256"}, {95, "xz -c --check=none"}, {95, "xz -c -T2 --block-size=100KiB"},
      {93, "zstd -q -19 -c"}, {93, "zstd -q -1 -c --no-check"}, {93, "zstd -q -3 -c --long=27"}};
  testutil::ZipWriter w;
  std::map<std::string, std::string> want;
  int n = 0;
  for (const auto& [method, cmd] : packers)
    for (const auto& [what, data] : contents) {
      const std::string name = std::to_string(n++) + "-" + what;
      w.Add(Item(name, method, Pack(cmd, data), data));
      want[name] = data;
    }
  // Two Zstandard frames with a skippable frame between them.
  const std::string a = testutil::SampleText(70000, 8), b = Random(5000);
  const std::string skippable = std::string("\x50\x2A\x4D\x18\x03\0\0\0abc", 11);
  w.Add(Item("frames", 93, Pack("zstd -q -c", a) + skippable + Pack("zstd -q -c", b), a + b));
  want["frames"] = a + b;

  TempDir dir;
  testutil::WriteFile(dir / "x.zip", w.Build());
  std::string out;
  ASSERT_EQ(testutil::Run(testutil::ArveloBin() + " extract -q -d " + Quote(dir / "out") + " " + Quote(dir / "x.zip"), &out), 0)
      << out;
  for (const auto& [name, data] : want) EXPECT_TRUE(testutil::ReadFile(dir / "out/" + name) == data) << name;
  ASSERT_EQ(testutil::Run(testutil::ArveloBin() + " list -v " + Quote(dir / "x.zip"), &out), 0);
  EXPECT_NE(out.find(" XZ "), std::string::npos) << out;
  EXPECT_NE(out.find(" Zstd "), std::string::npos) << out;
}

// Output one byte short of, or one byte past, the declared size, and data
// cut off: each a failed item, and nothing past the declared size reaches
// the output.
TEST(XzZstd, DeclaredSizeIsHeldTo) {
  const std::string text = testutil::SampleText(300000, 6);
  for (const auto& [method, cmd] : {std::pair<uint16_t, const char*>{95, "xz -6 -c"}, {93, "zstd -q -c"}}) {
    const std::string packed = Pack(cmd, text);
    for (int64_t declared : {static_cast<int64_t>(text.size()) - 1, static_cast<int64_t>(text.size()) + 1, int64_t{65536}}) {
      auto r = hostile::ExtractInMemory(OneItemZip(Item("t", method, packed, text, declared)));
      ASSERT_EQ(r.items.size(), 1u) << r.loadError;
      EXPECT_EQ(r.items[0].code, ab::erSizeMismatch) << cmd << " " << declared << ": " << r.items[0].error;
      EXPECT_LE(static_cast<int64_t>(r.items[0].output.size()), declared) << cmd;
    }
    for (size_t keep : {packed.size() - 1, packed.size() / 2, size_t{13}}) {
      auto r = hostile::ExtractInMemory(OneItemZip(Item("t", method, packed.substr(0, keep), text)));
      ASSERT_EQ(r.items.size(), 1u) << r.loadError;
      EXPECT_NE(r.items[0].error, "") << cmd << " cut to " << keep;
    }
    auto r = hostile::ExtractInMemory(OneItemZip(Item("t", method, packed, text)));
    ASSERT_EQ(r.items.size(), 1u);
    EXPECT_EQ(r.items[0].error, "");
    EXPECT_TRUE(r.items[0].output == text);
  }
}

// An xz item is the whole of what the xz program reads: streams one after
// another with stream padding, byte for byte what 7zz makes of it; anything
// else after the last stream, and no stream at all, is damage.
TEST(XzZstd, XzStreamsFollowOneAnotherAndNothingElse) {
  const std::string a = testutil::SampleText(90000, 3), b = Random(7000);
  const std::string one = Pack("xz -c", a), two = Pack("xz -c --check=sha256", b), pad(8, '\0');
  const std::string empty = Pack("xz -c", "");
  testutil::ZipWriter w;
  w.Add(Item("two", 95, one + two, a + b));
  w.Add(Item("padded", 95, one + pad + two + pad.substr(4), a + b));
  TempDir dir;
  testutil::WriteFile(dir / "x.zip", w.Build());
  std::string log;
  ASSERT_EQ(testutil::Run(testutil::ArveloBin() + " extract -q -d " + Quote(dir / "mine") + " " + Quote(dir / "x.zip"), &log), 0)
      << log;
  ASSERT_EQ(testutil::Run("7zz x -y -o" + Quote(dir / "theirs") + " " + Quote(dir / "x.zip"), &log), 0) << log;
  for (const std::string name : {"two", "padded"}) {
    const std::string mine = testutil::ReadFile(dir / ("mine/" + name));
    EXPECT_TRUE(mine == testutil::ReadFile(dir / ("theirs/" + name))) << name;
    EXPECT_EQ(mine.size(), a.size() + b.size()) << name;
  }
  // A stream that holds nothing is a whole stream, as the xz program reads it.
  auto r = hostile::ExtractInMemory(OneItemZip(Item("nothing", 95, empty, "")));
  ASSERT_EQ(r.items.size(), 1u) << r.loadError;
  EXPECT_EQ(r.items[0].error, "");

  const std::pair<const char*, std::string> damaged[] = {
      {"garbage after the stream", one + "x"},       {"garbage after the padding", one + pad + "\1"},
      {"padding not in fours", one + pad.substr(3)},  {"a second stream cut short", one + two.substr(0, 40)},
      {"no stream", ""},                             {"an empty stream with garbage", empty + "junk"}};
  for (const auto& [what, data] : damaged) {
    const bool hasA = data.size() >= one.size();
    auto r = hostile::ExtractInMemory(OneItemZip(Item("t", 95, data, hasA ? a : "")));
    ASSERT_EQ(r.items.size(), 1u) << r.loadError;
    EXPECT_NE(r.items[0].error, "") << what;
  }
}

// Headers that claim memory up to the limit and past it: LZMA dictionaries
// (with a declared size of 2 GiB, which caps the window at 2 GiB), xz
// dictionaries (LZMA2 names none between 256 and 384 MiB, nor
// any of 256 MiB + 1), Zstandard windows by descriptor and, for 256 MiB + 1,
// by a single-segment frame's content size. Exactly 256 MiB is taken by
// every decoder; anything more is refused with the memory-limit failure,
// which names the exact figure (for xz, the bytes its decoder would need),
// before anything is reserved: the command line runs with its address space
// capped at 768 MiB, where reserving 1 GiB or more would have failed with a
// different error.
TEST(DecoderMemory, ClaimsUpToTheLimitAreTakenAndNoMore) {
  const std::string text = testutil::SampleText(50000, 9);
  constexpr uint32_t kLimit = 256u << 20;
  testutil::ZipWriter w;

  const hostile::MethodArchive* lzma = nullptr;
  for (const auto& m : hostile::EveryMethod())
    if (m.method == "lzma") lzma = &m;
  ASSERT_NE(lzma, nullptr);
  for (const auto& [name, dict] : {std::pair<const char*, uint32_t>{"lzma-256M", kLimit}, {"lzma-256M+1", kLimit + 1},
                                   {"lzma-4G", 0xFFFFFFFFu}}) {
    std::string item = ziptest::ReadEntries(lzma->zip).at(0).data;
    hostile::Set32(item, 5, dict);  // version, property size, lc/lp/pb, dictionary
    w.Add(Item(name, 14, item, lzma->content, int64_t{1} << 31));
  }

  const std::string xz = Pack("xz -c --lzma2=dict=1MiB", text);
  const size_t header = 12, headerSize = (static_cast<uint8_t>(xz[header]) + 1) * 4u;
  const size_t filter = xz.find(std::string("\x21\x01", 2), header);
  ASSERT_LT(filter, header + headerSize);
  for (const auto& [name, code] : {std::pair<const char*, char>{"xz-256M", 32}, {"xz-384M", 33}, {"xz-4G", 40}}) {
    std::string item = xz;
    item[filter + 2] = code;  // (2 or 3) << (code / 2 + 11)
    hostile::Set32(item, header + headerSize - 4, testutil::Crc(item.substr(header, headerSize - 4)));
    w.Add(Item(name, 95, item, text));
  }

  const std::string zst = Pack("zstd -q -c", text);
  ASSERT_EQ(static_cast<uint8_t>(zst[4]) & 0xE3, 0) << "a frame with a window descriptor and no size or dictionary";
  std::string at256 = zst, at1G = zst;
  at256[5] = static_cast<char>((28 - 10) << 3);
  at1G[5] = static_cast<char>((30 - 10) << 3);
  // Single segment, a 4-byte content size, the checksum flag kept.
  std::string past = zst.substr(0, 4) + static_cast<char>(0xA0 | (zst[4] & 0x04)) + std::string(4, '\0') + zst.substr(6);
  hostile::Set32(past, 5, kLimit + 1);
  w.Add(Item("zstd-256M", 93, at256, text));
  w.Add(Item("zstd-256M+1", 93, past, text));
  w.Add(Item("zstd-1G", 93, at1G, text));

  TempDir dir;
  testutil::WriteFile(dir / "x.zip", w.Build());
  std::string out;
#if defined(__SANITIZE_ADDRESS__)
  const std::string cap;  // the sanitizer's own reservations need the space
#else
  const std::string cap = "ulimit -v 786432 && ";
#endif
  EXPECT_EQ(testutil::Run(cap + testutil::ArveloBin() + " test " + Quote(dir / "x.zip"), &out), 2);
  const std::string refused = ": Item needs more memory than a decoder may take (256 MiB): ";
  for (const std::string& what :
       {"lzma-256M+1" + refused + "LZMA dictionary of 268435457 bytes", "lzma-4G" + refused + "LZMA dictionary of 2147483648 bytes",
        "zstd-256M+1" + refused + "Zstandard window of 268435457 bytes",
        "zstd-1G" + refused + "Zstandard window of 1073741824 bytes", std::string("xz-256M  OK\n"),
        std::string("zstd-256M  OK\n")})
    EXPECT_NE(out.find(what), std::string::npos) << what << "\n" << out;
  for (const auto& [name, dict] : {std::pair<std::string, uint64_t>{"xz-384M", 3u << 27}, {"xz-4G", 0xFFFFFFFFu}}) {
    const std::string says = name + refused + "xz stream needing ";
    const size_t at = out.find(says);
    ASSERT_NE(at, std::string::npos) << out;
    size_t digits = 0;
    const uint64_t need = std::stoull(out.substr(at + says.size()), &digits);
    EXPECT_EQ(out.compare(at + says.size() + digits, 7, " bytes\n"), 0) << out;
    EXPECT_TRUE(need > dict && need < dict + (1 << 20)) << need;
  }
  // Taken, decoded as far as the data goes, and failed for being short.
  EXPECT_NE(out.find("lzma-256M: "), std::string::npos) << out;
  EXPECT_EQ(out.find("lzma-256M" + refused), std::string::npos) << out;
}
