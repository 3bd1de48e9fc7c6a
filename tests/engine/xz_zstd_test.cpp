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

// Headers that ask for more memory than a decoder may take: an LZMA item
// naming a 4 GiB dictionary with a declared size of 2 GiB, an xz block with
// a 4 GiB dictionary, a Zstandard frame with a 1 GiB window. Each is refused
// with the memory-limit failure before anything is reserved: the command
// line runs with its address space capped at 512 MiB, where reserving the
// window would have failed with a different error.
TEST(DecoderMemory, WindowsAboveTheLimitAreRefused) {
  const std::string text = testutil::SampleText(50000, 9);
  testutil::ZipWriter w;

  const hostile::MethodArchive* lzma = nullptr;
  for (const auto& m : hostile::EveryMethod())
    if (m.method == "lzma") lzma = &m;
  ASSERT_NE(lzma, nullptr);
  std::string lzmaItem = ziptest::ReadEntries(lzma->zip).at(0).data;
  hostile::Set32(lzmaItem, 5, 0xFFFFFFFFu);  // version, property size, lc/lp/pb, dictionary
  w.Add(Item("lzma", 14, lzmaItem, lzma->content, int64_t{1} << 31));

  std::string xz = Pack("xz -c --lzma2=dict=1MiB", text);
  const size_t header = 12, headerSize = (static_cast<uint8_t>(xz[header]) + 1) * 4u;
  const size_t filter = xz.find(std::string("\x21\x01", 2), header);
  ASSERT_LT(filter, header + headerSize);
  xz[filter + 2] = 40;  // the largest dictionary code: 4 GiB - 1
  hostile::Set32(xz, header + headerSize - 4, testutil::Crc(xz.substr(header, headerSize - 4)));
  w.Add(Item("xz", 95, xz, text));

  std::string zst = Pack("zstd -q -c", text);
  ASSERT_EQ(static_cast<uint8_t>(zst[4]) & 0x20, 0) << "a frame with a window descriptor";
  zst[5] = static_cast<char>((30 - 10) << 3);  // 2^30
  w.Add(Item("zstd", 93, zst, text));

  TempDir dir;
  testutil::WriteFile(dir / "x.zip", w.Build());
  std::string out;
#if defined(__SANITIZE_ADDRESS__)
  const std::string cap;  // the sanitizer's own reservations need the space
#else
  const std::string cap = "ulimit -v 524288 && ";
#endif
  EXPECT_EQ(testutil::Run(cap + testutil::ArveloBin() + " test " + Quote(dir / "x.zip"), &out), 2);
  for (const char* what : {"lzma: Item needs more memory than a decoder may take (256 MiB): LZMA dictionary of 2048 MiB",
                           "xz: Item needs more memory than a decoder may take (256 MiB): xz",
                           "zstd: Item needs more memory than a decoder may take (256 MiB): Zstandard window"})
    EXPECT_NE(out.find(what), std::string::npos) << what << "\n" << out;
  EXPECT_EQ(out.find("  OK\n"), std::string::npos) << out;
}
