// bzip2 (method 12): the decoding stream over libbz2, fed with the archives
// that 7-Zip, Info-ZIP and Python write, read in the odd-sized pieces a copy
// loop asks for, repositioned between reads, and given broken data.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "MethodTestKit.h"
#include "archive/AbBzip2.h"
#include "archive/AbUtils.h"

using namespace ab;
using namespace methodtest;

namespace {

// What the pipeline does with a method-12 item: copy exactly its size.
std::string DecodeItem(const std::string& data, int64_t size) {
  rtl::TBytesView src(data.data(), static_cast<int64_t>(data.size()));
  TBZDecompressionStream bz(&src);
  rtl::TMemoryStream out;
  if (size > 0) out.CopyFrom(bz, size);
  return out.DataString();
}

void CheckArchive(const std::string& zipPath, const Corpus& corpus) {
  auto entries = ziptest::ReadEntriesFromFile(zipPath);
  ASSERT_FALSE(entries.empty());
  int decoded = 0;
  for (const auto& e : entries) {
    if (e.uncompressedSize == 0 || e.method == 0) continue;  // archivers store what does not shrink
    ASSERT_EQ(e.method, 12) << e.name;
    std::string got = DecodeItem(e.data, static_cast<int64_t>(e.uncompressedSize));
    EXPECT_EQ(Crc32OfString(got), e.crc) << e.name;
    EXPECT_TRUE(got == corpus.Read(BaseName(e.name))) << zipPath << ": " << e.name;
    ++decoded;
  }
  EXPECT_GT(decoded, 0);
}

} // namespace

TEST(Bzip2, SevenZipArchivesAtEveryLevel) {
  if (!HaveTool("7zz")) GTEST_SKIP() << "7zz not installed";
  const Corpus& c = SharedCorpus();
  TempDir out;
  for (int level : {1, 5, 9}) {
    std::string zip = (out.Path() / ("bz" + std::to_string(level) + ".zip")).string();
    Shell("cd " + c.dir.Path().string() + " && 7zz a -tzip -mm=BZip2 -mx=" + std::to_string(level) + " " + zip + c.Args());
    CheckArchive(zip, c);
  }
}

TEST(Bzip2, InfoZipAndPythonArchives) {
  const Corpus& c = SharedCorpus();
  TempDir out;
  if (HaveTool("zip")) {
    std::string zip = (out.Path() / "infozip.zip").string();
    Shell("cd " + c.dir.Path().string() + " && zip -q -Z bzip2 " + zip + c.Args());
    CheckArchive(zip, c);
  }
  std::string py = (out.Path() / "py.zip").string();
  Shell("cd " + c.dir.Path().string() + " && python3 -c \"import sys,zipfile\nwith zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_BZIP2) as z:\n  [z.write(n) for n in sys.argv[2:]]\" " + py + c.Args());
  CheckArchive(py, c);
}

// The copy loop of a caller may ask for any count; the stream must fill each
// request completely until the data ends, across its 64 KiB input refills.
TEST(Bzip2, OddSizedReadsAndRepositionedSource) {
  const Corpus& c = SharedCorpus();
  std::string text = c.Read("text.txt").substr(0, 700000);
  TempDir d;
  WriteFile(d.Path() / "t", text);
  Shell("bzip2 -k -9 " + (d.Path() / "t").string());
  std::string packed = ziptest::ReadFile((d.Path() / "t.bz2").string());

  // Prefix the data so that the stream starts in the middle of its source.
  std::string framed = "PREFIX" + packed;
  rtl::TBytesView src(framed.data(), static_cast<int64_t>(framed.size()));
  src.SetPosition(6);
  TBZDecompressionStream bz(&src);
  std::string got;
  std::mt19937 rng(3);
  std::vector<char> buf(70000);
  for (;;) {
    int64_t want = 1 + rng() % buf.size();
    int64_t n = bz.Read(buf.data(), want);
    got.append(buf.data(), static_cast<size_t>(n));
    if (n < want) break;
    src.SetPosition(0);  // somebody else moved the source; the stream puts it back
  }
  EXPECT_TRUE(got == text);
  EXPECT_EQ(bz.Seek(0, rtl::soCurrent), static_cast<int64_t>(text.size()));
}

TEST(Bzip2, SeekRules) {
  std::string text = SharedCorpus().Read("text.txt").substr(0, 100000);
  TempDir d;
  WriteFile(d.Path() / "t", text);
  Shell("bzip2 -k " + (d.Path() / "t").string());
  std::string packed = ziptest::ReadFile((d.Path() / "t.bz2").string());
  rtl::TBytesView src(packed.data(), static_cast<int64_t>(packed.size()));
  TBZDecompressionStream bz(&src);

  char buf[100];
  EXPECT_EQ(bz.Seek(20000, rtl::soCurrent), 20000);          // forward by decoding
  EXPECT_EQ(bz.Seek(30000, rtl::soBeginning), 30000);        // forward from the start
  EXPECT_EQ(bz.Seek(30000, rtl::soBeginning), 30000);        // where it stands: no-op
  bz.ReadBuffer(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, sizeof buf), text.substr(30000, 100));
  for (auto bad : {std::pair<int64_t, rtl::TSeekOrigin>{-1, rtl::soCurrent}, {10, rtl::soBeginning}, {0, rtl::soEnd}}) {
    try {
      bz.Seek(bad.first, bad.second);
      ADD_FAILURE() << "seek accepted";
    } catch (const EBZDecompressionError& e) {
      EXPECT_STREQ(e.what(), "Invalid stream operation");
    }
  }
  EXPECT_EQ(bz.Seek(0, rtl::soBeginning), 0);                // restart
  bz.ReadBuffer(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, sizeof buf), text.substr(0, 100));
  try {
    bz.Write("x", 1);
    ADD_FAILURE() << "write accepted";
  } catch (const EBZip2Error& e) {
    EXPECT_STREQ(e.what(), "Invalid stream operation");
  }
}

// A stored size larger than the real data: the copy cannot be completed and
// fails, never hands out invented bytes.
TEST(Bzip2, StoredSizeLargerThanData) {
  TempDir d;
  WriteFile(d.Path() / "t", "some text some text some text\n");
  Shell("bzip2 -k " + (d.Path() / "t").string());
  std::string packed = ziptest::ReadFile((d.Path() / "t.bz2").string());
  EXPECT_THROW(DecodeItem(packed, 31), rtl::EReadError);
  // With bytes after the stream's end the library itself objects.
  try {
    DecodeItem(packed + "trailing", 31);
    ADD_FAILURE() << "no failure";
  } catch (const EBZDecompressionError& e) {
    EXPECT_STREQ(e.what(), "error -1");
  }
  EXPECT_EQ(DecodeItem(packed, 30), "some text some text some text\n");
}

TEST(Bzip2, NotBzip2Data) {
  try {
    DecodeItem("this is not bzip2 data at all", 10);
    ADD_FAILURE() << "no failure";
  } catch (const EBZDecompressionError& e) {
    EXPECT_STREQ(e.what(), "error -5");  // BZ_DATA_ERROR_MAGIC
  }
}

// Damaged and cut streams: a clean exception or wrong bytes, nothing worse.
TEST(Bzip2, DamagedInputNeverCrashes) {
  std::string text = SharedCorpus().Read("text.txt").substr(0, 20000);
  TempDir d;
  WriteFile(d.Path() / "t", text);
  Shell("bzip2 -k " + (d.Path() / "t").string());
  const std::string packed = ziptest::ReadFile((d.Path() / "t.bz2").string());
  std::mt19937 rng(99);
  int failures = 0;
  for (int i = 0; i < 2000; ++i) {
    std::string bad = packed;
    if (i % 3 == 0) {
      bad.resize(rng() % packed.size());
    } else {
      for (int k = 1 + rng() % 4; k > 0; --k) bad[rng() % bad.size()] ^= static_cast<char>(1 << (rng() % 8));
    }
    try {
      DecodeItem(bad, static_cast<int64_t>(text.size()));
    } catch (const rtl::Exception&) {
      ++failures;
    }
  }
  EXPECT_GT(failures, 1000);
}
