// LZMA (method 14): the item header the engine parses itself, liblzma's raw
// decoder behind it, the end rules with and without an end marker, and the
// mapping of every failure onto the LZMA messages.
#include <gtest/gtest.h>

#include <random>

#include "MethodTestKit.h"
#include "archive/AbLZMA.h"
#include "archive/AbUtils.h"

using namespace ab;
using namespace methodtest;

namespace {

std::string Decode(const std::string& data, int64_t size) {
  rtl::TBytesView src(data.data(), static_cast<int64_t>(data.size()));
  rtl::TMemoryStream out;
  DecodeLzmaItem(&src, &out, size);
  return out.DataString();
}

std::string LzmaMessage(const std::string& data, int64_t size) {
  try {
    Decode(data, size);
  } catch (const EAbLZMAException& e) {
    return e.what();
  }
  return "(no failure)";
}

int CheckArchive(const std::string& zipPath, const Corpus* corpus) {
  auto entries = ziptest::ReadEntriesFromFile(zipPath);
  int decoded = 0;
  for (const auto& e : entries) {
    if (e.uncompressedSize == 0 || e.method == 0) continue;
    EXPECT_EQ(e.method, 14) << e.name;
    std::string got = Decode(e.data, static_cast<int64_t>(e.uncompressedSize));
    EXPECT_EQ(got.size(), e.uncompressedSize) << e.name;
    EXPECT_EQ(Crc32OfString(got), e.crc) << zipPath << ": " << e.name;
    if (corpus) {
      EXPECT_TRUE(got == corpus->Read(BaseName(e.name))) << zipPath << ": " << e.name;
    }
    ++decoded;
  }
  return decoded;
}

// A method-14 item of Text made by Python's zipfile, which writes the end
// marker (flag bit 1).
std::string PythonItem(const std::string& text, ziptest::Entry* entry = nullptr) {
  TempDir d;
  WriteFile(d.Path() / "t", text);
  std::string zip = (d.Path() / "t.zip").string();
  Shell("cd " + d.Path().string() + " && python3 -c \"import sys,zipfile\nwith zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_LZMA) as z: z.write('t')\" " + zip);
  auto e = ziptest::ReadEntriesFromFile(zip).at(0);
  if (entry) *entry = e;
  return e.data;
}

} // namespace

TEST(Lzma, SevenZipArchivesAtEveryLevel) {
  if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
  const Corpus& c = SharedCorpus();
  TempDir out;
  for (std::string opts : {"-mx=1", "-mx=5", "-mx=9", "-mm=LZMA:eos -mx=5", "-mm=LZMA:lc=4:lp=0:pb=0:d=64k"}) {
    std::string zip = (out.Path() / "l.zip").string();
    std::filesystem::remove(zip);
    if (opts.find("-mm=") == std::string::npos) opts = "-mm=LZMA " + opts;
    Shell("cd " + c.dir.Path().string() + " && 7zz a -tzip " + opts + " " + zip + c.Args());
    EXPECT_GE(CheckArchive(zip, &c), 3) << opts;
  }
}

TEST(Lzma, PythonArchiveWithEndMarkers) {
  const Corpus& c = SharedCorpus();
  TempDir out;
  std::string zip = (out.Path() / "py.zip").string();
  Shell("cd " + c.dir.Path().string() + " && python3 -c \"import sys,zipfile\nwith zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_LZMA) as z:\n  [z.write(n) for n in sys.argv[2:]]\" " + zip + c.Args());
  for (const auto& e : ziptest::ReadEntriesFromFile(zip)) EXPECT_TRUE(e.method != 14 || (e.flags & 2)) << e.name;
  EXPECT_GE(CheckArchive(zip, &c), 3);
}

TEST(Lzma, InteropArchive) {
  auto entries = ziptest::ReadEntriesFromFile(DataDir() + "/interop/lzma.zip");
  std::string wmv = ziptest::ReadFile(DataDir() + "/interop/binary.wmv");
  int seen = 0;
  for (const auto& e : entries) {
    if (e.method != 14) continue;
    EXPECT_TRUE(e.flags & 2);
    EXPECT_TRUE(Decode(e.data, static_cast<int64_t>(e.uncompressedSize)) == wmv);
    ++seen;
  }
  EXPECT_EQ(seen, 1);
}

// The end rules: an end marker exactly at the size is fine, the size alone
// is fine, an unknown size needs the marker, and a marker before the size is
// a data error.
TEST(Lzma, EndMarkerAndSizeRules) {
  std::string text = SharedCorpus().Read("text.txt").substr(0, 200000);
  std::string item = PythonItem(text);
  EXPECT_TRUE(Decode(item, static_cast<int64_t>(text.size())) == text);
  EXPECT_TRUE(Decode(item, -1) == text);
  EXPECT_EQ(LzmaMessage(item, static_cast<int64_t>(text.size()) + 1), "LZMA Data Error.");
  // A size that ends inside the stream: what follows there is neither the
  // finished range coder nor a marker.
  EXPECT_EQ(LzmaMessage(item, 1000), "LZMA Data Error.");
}

TEST(Lzma, HeaderProblems) {
  std::string text = "abcabcabcabcabcabcabcabcabcabc";
  std::string item = PythonItem(text);
  ASSERT_EQ(static_cast<uint8_t>(item[2]), 5);

  std::string noProps = item.substr(0, 2) + std::string("\0\0", 2) + item.substr(9);
  EXPECT_EQ(LzmaMessage(noProps, 30), "LZMA \"Unsupported\" Error.");
  std::string fourProps = item.substr(0, 2) + std::string("\4\0", 2) + item.substr(4, 4) + item.substr(9);
  EXPECT_EQ(LzmaMessage(fourProps, 30), "LZMA \"Unsupported\" Error.");
  std::string badLcLpPb = item;
  badLcLpPb[4] = static_cast<char>(225);
  EXPECT_EQ(LzmaMessage(badLcLpPb, 30), "LZMA \"Unsupported\" Error.");
  // Extra property bytes are read past and ignored.
  std::string sevenProps = item.substr(0, 2) + std::string("\7\0", 2) + item.substr(4, 5) + "XY" + item.substr(9);
  EXPECT_EQ(Decode(sevenProps, 30), text);
  // A tiny dictionary size is raised to the minimum.
  std::string tinyDict = item;
  tinyDict[5] = 1, tinyDict[6] = 0, tinyDict[7] = 0, tinyDict[8] = 0;
  EXPECT_EQ(Decode(tinyDict, 30), text);
  EXPECT_THROW(Decode(item.substr(0, 3), 30), rtl::EReadError);
  EXPECT_THROW(Decode(item.substr(0, 7), 30), rtl::EReadError);
}

// Data cut short is not an LZMA error: the output is short and the CRC check
// after it rejects the item.
TEST(Lzma, TruncatedDataGivesShortOutput) {
  std::string text = SharedCorpus().Read("text.txt").substr(0, 300000);
  std::string item = PythonItem(text);
  for (size_t keep : {size_t(9), size_t(10), item.size() / 3, item.size() - 40}) {
    std::string got = Decode(item.substr(0, keep), static_cast<int64_t>(text.size()));
    EXPECT_LT(got.size(), text.size());
    EXPECT_TRUE(text.compare(0, got.size(), got) == 0);
  }
}

namespace {
// An output stage that takes only half of what it is given.
class HalfSink : public rtl::TMemoryStream {
public:
  int64_t Write(const void* b, int64_t n) override { return rtl::TMemoryStream::Write(b, n / 2); }
};
} // namespace

TEST(Lzma, ShortWriteAndMessages) {
  std::string item = PythonItem(std::string(5000, 'a'));
  rtl::TBytesView src(item.data(), static_cast<int64_t>(item.size()));
  HalfSink sink;
  try {
    DecodeLzmaItem(&src, &sink, 5000);
    ADD_FAILURE() << "no failure";
  } catch (const EAbLZMAException& e) {
    EXPECT_STREQ(e.what(), "LZMA Write Error.");
  }
  EXPECT_EQ(LzmaErrorMessage(1), "LZMA Data Error.");
  EXPECT_EQ(LzmaErrorMessage(2), "LZMA Memory Error.");
  EXPECT_EQ(LzmaErrorMessage(11), "LZMA \"Fail\" Error.");
  EXPECT_EQ(LzmaErrorMessage(17), "LZMA \"No Archive\" Error.");
  EXPECT_EQ(LzmaErrorMessage(13), "Unknown LZMA error (13)");
}

TEST(Lzma, DamagedInputNeverCrashes) {
  std::string text = SharedCorpus().Read("text.txt").substr(0, 30000);
  const std::string item = PythonItem(text);
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) {
    std::string bad = item;
    if (i % 4 == 0)
      bad.resize(rng() % item.size());
    else
      for (int k = 1 + rng() % 4; k > 0; --k) bad[4 + rng() % (bad.size() - 4)] ^= static_cast<char>(1 << (rng() % 8));
    int64_t size = (i % 5 == 0) ? -1 : static_cast<int64_t>(text.size());
    try {
      std::string got = Decode(bad, size);
      EXPECT_LE(got.size(), size < 0 ? got.size() : text.size());
    } catch (const rtl::Exception&) {
    }
  }
}

// liblzma decodes only lc + lp <= 4; 7-Zip can be told to use more literal
// context bits. Such an item is refused as unsupported, never misdecoded.
TEST(Lzma, WideLiteralContextIsUnsupported) {
  if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
  TempDir d;
  WriteFile(d.Path() / "t", SharedCorpus().Read("text.txt").substr(0, 50000));
  std::string zip = (d.Path() / "t.zip").string();
  Shell("cd " + d.Path().string() + " && 7zz a -tzip -mm=LZMA:lc=8 " + zip + " t");
  auto e = ziptest::ReadEntriesFromFile(zip).at(0);
  ASSERT_EQ(e.method, 14);
  EXPECT_EQ(static_cast<uint8_t>(e.data[4]) % 9, 8);
  EXPECT_EQ(LzmaMessage(e.data, static_cast<int64_t>(e.uncompressedSize)), "LZMA \"Unsupported\" Error.");
}
