// The item pipeline: version and method checks, the password dialogue, the
// output stage's progress and size guard, the subset view and the discard
// sink, and what is left on disk after a failure.
#include <gtest/gtest.h>

#include <memory>

#include "archive/AbExcept.h"
#include "archive/AbUnzOutStm.h"
#include "archive/AbUnzPrc.h"
#include "archive/AbUnzper.h"
#include "rtl/FileSys.h"
#include "TestUtil.h"

using namespace ab;
using testutil::TempDir;
using testutil::ZipEntry;
using testutil::ZipWriter;

namespace {

// Traditional ZIP encryption of a stored item (the standard cipher), so
// that tests can make encrypted items with any check byte they need.
std::string Encrypt(const std::string& plain, const std::string& password, uint8_t checkByte) {
  uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;
  auto update = [&](uint8_t c) {
    k0 = UpdateCrc32Byte(c, k0);
    k1 = (k1 + (k0 & 0xFF)) * 134775813u + 1;
    k2 = UpdateCrc32Byte(static_cast<uint8_t>(k1 >> 24), k2);
  };
  for (char c : password) update(static_cast<uint8_t>(c));
  std::string header(12, '\x5A');
  header[11] = static_cast<char>(checkByte);
  std::string out;
  for (char c : header + plain) {
    uint16_t t = static_cast<uint16_t>(k2 | 2);
    uint8_t ks = static_cast<uint8_t>((static_cast<uint32_t>(t) * (t ^ 1u)) >> 8);  // unsigned: no overflow
    out += static_cast<char>(static_cast<uint8_t>(c) ^ ks);
    update(static_cast<uint8_t>(c));
  }
  return out;
}

ZipEntry EncryptedEntry(const std::string& name, const std::string& plain, const std::string& password) {
  ZipEntry e;
  e.name = name;
  e.data = Encrypt(plain, password, static_cast<uint8_t>(testutil::Crc(plain) >> 24));
  e.flags = 1;
  e.overrideCrc = true;
  e.crc = testutil::Crc(plain);
  e.uncompressedSize = static_cast<int64_t>(plain.size());
  return e;
}

struct Fixture {
  explicit Fixture(const ZipWriter& w) {
    testutil::WriteFile(dir / "a.zip", w.Build());
    rtl::CreateDir(dir / "out");
    u.SetExtractOptions({eoCreateDirs, eoRestorePath});
    u.OnProcessItemFailure = [this](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass ec, int code) {
      failures.push_back({ec, code});
    };
    u.SetFileName(dir / "a.zip");
    u.SetBaseDirectory(dir / "out");
  }
  TempDir dir;
  TAbUnZipper u;
  std::vector<std::pair<int, int>> failures;
};

ZipWriter One(const ZipEntry& e) {
  ZipWriter w;
  w.Add(e);
  return w;
}

} // namespace

TEST(Pipeline, VersionNeededLowByteDecides) {
  ZipWriter w;
  ZipEntry ok63{"v63.txt", "x"}, bad64{"v64.txt", "x"}, host{"host.txt", "x"};
  ok63.versionNeeded = 63;
  bad64.versionNeeded = 64;
  host.versionNeeded = 0x0B14;
  w.Add(ok63);
  w.Add(bad64);
  w.Add(host);
  Fixture f(w);
  f.u.ExtractFiles("*.*");
  ASSERT_EQ(f.failures.size(), 1u);
  EXPECT_EQ(f.failures[0].second, erZipVersion);
  EXPECT_TRUE(rtl::FileExists(f.dir / "out/v63.txt"));
  EXPECT_TRUE(rtl::FileExists(f.dir / "out/host.txt"));
  EXPECT_FALSE(rtl::FileExists(f.dir / "out/v64.txt"));
}

TEST(Pipeline, UnknownMethodsFailButEmptyItemsDoNot) {
  ZipWriter w;
  for (uint16_t m : {7, 10, 11, 13}) {
    ZipEntry e{"m" + std::to_string(m), "data"};
    e.method = m;
    w.Add(e);
  }
  ZipEntry empty{"empty-m7", ""};
  empty.method = 7;  // the method of an empty item is never looked at
  w.Add(empty);
  Fixture f(w);
  f.u.ExtractFiles("*.*");
  EXPECT_EQ(f.failures.size(), 4u);
  for (auto& [ec, code] : f.failures) EXPECT_EQ(code, erZipInvalidMethod);
  EXPECT_TRUE(rtl::FileExists(f.dir / "out/empty-m7"));
  EXPECT_FALSE(rtl::FileExists(f.dir / "out/m7"));
}

TEST(Pipeline, FolderItemIsCreatedWithoutReadingTheArchive) {
  ZipEntry d{"a/b/c/", ""};
  d.externalAttributes = 0x10;
  d.versionNeeded = 99;  // would fail if the item's data were looked at
  Fixture f(One(d));
  f.u.ExtractFiles("*.*");
  EXPECT_TRUE(f.failures.empty());
  EXPECT_TRUE(rtl::DirectoryExists(f.dir / "out/a/b/c"));
}

TEST(Pipeline, StoredDateAndUnixModeAreApplied) {
  ZipEntry e{"ro.txt", "read only"};
  e.versionMadeBy = 0x0314;
  e.externalAttributes = 0x81A40000u | 0x01;  // rw-r--r--, read-only bit from DOS ignored for Unix hosts
  e.date = 0x5021;
  e.time = 0x6000;
  ZipEntry bad{"nodate.txt", "no date"};
  bad.date = 0;
  bad.time = 0;  // cannot be converted: the file keeps its own time and succeeds
  ZipWriter w;
  w.Add(e);
  w.Add(bad);
  Fixture f(w);
  f.u.ExtractFiles("*.*");
  EXPECT_TRUE(f.failures.empty());
  struct stat st{};
  ASSERT_EQ(stat((f.dir / "out/ro.txt").c_str(), &st), 0);
#ifdef _WIN32
  EXPECT_EQ(st.st_mode & 0777, 0666u);  // Windows knows only read-only, and the owner may write
#else
  EXPECT_EQ(st.st_mode & 0777, 0644u);
#endif
  tm lt{};
  localtime_r(&st.st_mtime, &lt);
  EXPECT_EQ(lt.tm_year + 1900, 2020);
  EXPECT_EQ(lt.tm_hour, 12);
  ASSERT_EQ(stat((f.dir / "out/nodate.txt").c_str(), &st), 0);
  EXPECT_GT(st.st_mtime, 1600000000);
}

// ---------------------------------------------------------------------------
// Password dialogue
// ---------------------------------------------------------------------------

TEST(Passwords, RetriesWithAPresetWrongPassword) {
  Fixture f(One(EncryptedEntry("s.txt", "secret text", "right")));
  f.u.SetPassword("wrong");
  f.u.ExtractFiles("*.*");
  ASSERT_EQ(f.failures.size(), 1u);
  EXPECT_EQ(f.failures[0].second, erZipInvalidPassword);  // invalid password after 1 + 3 attempts
  EXPECT_FALSE(rtl::FileExists(f.dir / "out/s.txt"));

  int asked = 0;
  f.failures.clear();
  f.u.OnNeedPassword = [&](rtl::TObject*, std::string& pw) {
    ++asked;
    pw = asked == 2 ? "right" : "still wrong";
  };
  f.u.ExtractFiles("*.*");
  EXPECT_TRUE(f.failures.empty());
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(f.u.Password(), "right");  // an accepted password stays
  EXPECT_EQ(testutil::ReadFile(f.dir / "out/s.txt"), "secret text");
}

TEST(Passwords, RetriesZeroAndEmptyAnswers) {
  Fixture f(One(EncryptedEntry("s.txt", "secret", "right")));
  int asked = 0;
  f.u.OnNeedPassword = [&](rtl::TObject*, std::string& pw) {
    ++asked;
    pw.clear();
  };
  f.u.SetPasswordRetries(0);
  f.u.SetPassword("wrong");
  f.u.ExtractFiles("*.*");
  EXPECT_EQ(asked, 0);  // one attempt, no request
  EXPECT_EQ(f.failures.back().second, erZipInvalidPassword);

  f.u.SetPasswordRetries(3);
  f.u.ExtractFiles("*.*");  // wrong preset, empty answer: the user gave up
  EXPECT_EQ(f.failures.back().second, erUserAbort);
  EXPECT_EQ(f.u.Status(), asIdle);

  f.u.SetPassword("");
  f.u.ExtractFiles("*.*");  // nothing to try at all: invalid password, not an abort
  EXPECT_EQ(f.failures.back().second, erZipInvalidPassword);
  EXPECT_FALSE(rtl::FileExists(f.dir / "out/s.txt"));
}

TEST(Passwords, EmptyEncryptedItemStillNeedsTheRightPassword) {
  Fixture f(One(EncryptedEntry("empty.txt", "", "right")));
  f.u.SetPassword("wrong");
  f.u.SetPasswordRetries(0);
  f.u.ExtractFiles("*.*");
  EXPECT_EQ(f.failures.size(), 1u);
  f.u.SetPassword("right");
  f.u.ExtractFiles("*.*");
  EXPECT_EQ(f.failures.size(), 1u);
  EXPECT_TRUE(rtl::FileExists(f.dir / "out/empty.txt"));
}

// ---------------------------------------------------------------------------
// Output stage, progress and aborts
// ---------------------------------------------------------------------------

TEST(OutputStage, ProgressOnlyWhenThePercentageChanges) {
  rtl::TMemoryStream sink;
  std::vector<int> calls;
  {
    TAbUnzipOutputStream out(&sink);
    out.SetUncompressedSize(1000);
    out.OnProgress = [&](uint8_t p, bool&) { calls.push_back(p); };
    out.WriteBuffer(std::string(1000, 'a').data(), 1000);
    EXPECT_EQ(out.CRC32(), testutil::Crc(std::string(1000, 'a')));
  }
  EXPECT_EQ(calls, std::vector<int>{100});
  calls.clear();
  TAbUnzipOutputStream out(&sink);
  out.SetUncompressedSize(1000);
  out.OnProgress = [&](uint8_t p, bool&) { calls.push_back(p); };
  for (int i = 0; i < 1000; ++i) out.WriteBuffer("b", 1);
  ASSERT_EQ(calls.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(calls[static_cast<size_t>(i)], i + 1);
  EXPECT_THROW(out.Read(nullptr, 1), EAbException);
}

TEST(OutputStage, NeverWritesPastTheDeclaredSize) {
  rtl::TMemoryStream sink;
  TAbUnzipOutputStream out(&sink);
  out.SetUncompressedSize(10);
  out.WriteBuffer("12345", 5);
  EXPECT_THROW(out.WriteBuffer("67890abc", 8), EAbSizeMismatch);
  EXPECT_EQ(sink.DataString(), "1234567890");
}

TEST(OutputStage, AbortFromProgressDeletesThePartialFileAndInvalidates) {
  ZipWriter w;
  w.Add(ZipEntry{"big.bin", std::string(3 << 20, 'q')});
  w.Add(ZipEntry{"next.bin", "n"});
  Fixture f(w);
  f.u.OnArchiveItemProgress = [](rtl::TObject*, TAbArchiveItem*, uint8_t p, bool& abort) { abort = p >= 50; };
  EXPECT_THROW(f.u.ExtractFiles("*.*"), EAbNoArchive);  // the next item meets the invalid archive
  ASSERT_EQ(f.failures.size(), 1u);
  EXPECT_EQ(f.failures[0].second, erUserAbort);
  EXPECT_EQ(f.u.Status(), asInvalid);
  EXPECT_FALSE(rtl::FileExists(f.dir / "out/big.bin"));
}

TEST(OutputStage, ShortItemDataIsAFailureNotASilentlyShortFile) {
  ZipEntry e{"short.txt", "only this"};
  e.uncompressedSize = 100;  // claims more than the stored data holds
  ZipWriter w;
  w.Add(e);
  Fixture f(w);
  f.u.OnProcessItemFailure = nullptr;
  int failures = 0;
  f.u.OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass, int) { ++failures; };
  f.u.ExtractFiles("*.*");
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(rtl::FileExists(f.dir / "out/short.txt"));
}

// ---------------------------------------------------------------------------
// Subset view and discard sink
// ---------------------------------------------------------------------------

TEST(SubsetStream, BoundedAndClamped) {
  rtl::TMemoryStream base(std::string("0123456789ABCDEFGHIJ"));
  base.SetPosition(5);
  TAbUnzipSubsetStream s(&base, 10);
  char buf[32] = {};
  EXPECT_EQ(s.Read(buf, 32), 10);
  EXPECT_EQ(std::string(buf, 10), "56789ABCDE");
  EXPECT_EQ(s.Read(buf, 1), 0);
  EXPECT_EQ(s.Seek(-5, soBeginning), 0);
  EXPECT_EQ(s.Seek(20, soBeginning), 10);
  EXPECT_EQ(s.Seek(-3, soEnd), 7);
  EXPECT_EQ(s.Read(buf, 32), 3);
  EXPECT_EQ(std::string(buf, 3), "CDE");
  try {
    s.Write("x", 1);
    FAIL();
  } catch (const EAbException& e) {
    EXPECT_STREQ(e.what(), "TAbUnzipSubsetStream.Write not supported");
  }
}

TEST(BitBucket, KeepsOnlyTheTail) {
  TAbBitBucketStream b(4096);  // 4096 + 1024 bytes kept
  std::string data = testutil::SampleText(20000);
  b.WriteBuffer(data.data(), 20000);
  EXPECT_EQ(b.Size(), 20000);
  EXPECT_EQ(b.Seek(-100, soEnd), 19900);
  char buf[100];
  EXPECT_EQ(b.Read(buf, 100), 100);
  EXPECT_EQ(std::string(buf, 100), data.substr(19900));
  EXPECT_THROW(b.Seek(20000 - 5120, soBeginning), EAbBBSSeekOutsideBuffer);
  EXPECT_THROW(b.Seek(20001, soBeginning), EAbBBSSeekOutsideBuffer);
  std::vector<char> big(6000);
  try {
    b.Read(big.data(), 6000);
    FAIL();
  } catch (const EAbBBSReadTooManyBytes& e) {
    EXPECT_STREQ(e.what(), "BBS: request to read too many bytes [6000]");
  }
}
