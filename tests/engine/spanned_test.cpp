// Spanned sets: split volumes made by Info-ZIP at several sizes, volume
// naming and requests, and the failures of a broken set.
#include <gtest/gtest.h>

#include "archive/AbExcept.h"
#include "archive/AbSpanSt.h"
#include "archive/AbUnzper.h"
#include "rtl/FileSys.h"
#include "TestUtil.h"

using namespace ab;
using testutil::TempDir;

namespace {

// Makes src/ with text and random bytes, and splits it at the given size.
void MakeSet(const TempDir& dir, const std::string& name, const std::string& flags) {
  testutil::WriteFile(dir / "src/text.txt", testutil::SampleText(900000, 3));
  testutil::WriteFile(dir / "src/sub/small.txt", "small");
  ASSERT_EQ(testutil::Run("cd " + dir.Path() + " && head -c 400000 /dev/urandom > src/random.bin && zip -qr " + flags +
                          " " + name + " src"),
            0);
}

void ExpectSameTree(const std::string& a, const std::string& b) {
  for (const char* f : {"src/text.txt", "src/sub/small.txt", "src/random.bin"})
    EXPECT_EQ(testutil::ReadFile(a + "/" + f), testutil::ReadFile(b + "/" + f)) << f;
}

} // namespace

TEST(SplitSets, ExtractAtSeveralVolumeSizes) {
  struct Case {
    std::string flags, password;
  };
  for (const Case& c : {Case{"-s 64k", ""}, Case{"-s 200k -P secret", "secret"}, Case{"-s 1m -0", ""}}) {
    TempDir dir;
    MakeSet(dir, "set.zip", c.flags);
    ASSERT_TRUE(rtl::FileExists(dir / "set.z01")) << c.flags;

    // Through the command line, opened by the last volume's name.
    std::string cmd = testutil::ArveloBin() + " extract -q -d " + testutil::Quote(dir / "cli") +
                      (c.password.empty() ? "" : " -p " + c.password) + " " + testutil::Quote(dir / "set.zip");
    std::string out;
    EXPECT_EQ(testutil::Run(cmd, &out), 0) << c.flags << out;
    ExpectSameTree(dir.Path(), dir / "cli");

    // Through the component.
    TAbUnZipper u;
    u.SetExtractOptions({eoCreateDirs, eoRestorePath});
    u.SetPassword(c.password);
    rtl::CreateDir(dir / "comp");
    u.SetBaseDirectory(dir / "comp");
    int failures = 0;
    u.OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass, int) { ++failures; };
    u.SetFileName(dir / "set.zip");
    EXPECT_TRUE(u.ZipArchive()->Spanned());
    u.ExtractFiles("*.*");
    EXPECT_EQ(failures, 0) << c.flags;
    ExpectSameTree(dir.Path(), dir / "comp");
  }
}

TEST(SplitSets, RenamedVolumeThroughTheImageRequest) {
  TempDir dir;
  MakeSet(dir, "set.zip", "-s 64k -0");
  ASSERT_EQ(std::rename((dir / "set.z02").c_str(), (dir / "elsewhere.bin").c_str()), 0);
  TAbUnZipper u;
  u.SetExtractOptions({eoCreateDirs, eoRestorePath});
  std::vector<int> asked;
  u.SetOnRequestImage([&](rtl::TObject*, int number, std::string& name, bool&) {
    asked.push_back(number);
    if (number == 2) name = dir / "elsewhere.bin";
  });
  rtl::CreateDir(dir / "out");
  u.SetBaseDirectory(dir / "out");
  u.SetFileName(dir / "set.zip");
  u.ExtractFiles("*.*");
  ExpectSameTree(dir.Path(), dir / "out");
  EXPECT_NE(std::find(asked.begin(), asked.end(), 2), asked.end());
}

TEST(SplitSets, AbortedRequestAndMissingVolume) {
  TempDir dir;
  MakeSet(dir, "set.zip", "-s 64k -0");
  {
    TAbUnZipper u;
    u.SetOnRequestImage([&](rtl::TObject*, int number, std::string&, bool& abort) { abort = number >= 1; });
    EXPECT_THROW(u.SetFileName(dir / "set.zip"), EAbUserAbort);
  }
  ASSERT_EQ(std::remove((dir / "set.z03").c_str()), 0);
  std::string out;
  int rc = testutil::Run(testutil::ArveloBin() + " extract -q -d " + testutil::Quote(dir / "out") + " " +
                             testutil::Quote(dir / "set.zip"),
                         &out);
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("arvelo: "), std::string::npos) << out;
  // What was complete before the gap is written; nothing is left half-written.
  if (rtl::FileExists(dir / "out/src/text.txt")) {
    EXPECT_EQ(testutil::ReadFile(dir / "out/src/text.txt"), testutil::ReadFile(dir / "src/text.txt"));
  }
}

TEST(SpanStream, NamingAndSeeks) {
  TempDir dir;
  testutil::WriteFile(dir / "vol", "last volume");
  testutil::WriteFile(dir / "vol.01", "first ");
  auto* last = new rtl::TFileStream(dir / "vol", rtl::fmOpenRead);
  TAbSpanReadStream s(dir / "vol", 1, last);  // a name without extension: ".01", ".02", ...
  EXPECT_TRUE(s.IsSplit());
  s.SeekImage(0, 0);
  char buf[64] = {};
  EXPECT_EQ(s.Read(buf, 17), 17);
  EXPECT_EQ(std::string(buf, 17), "first last volume");
  EXPECT_EQ(s.Seek(-11, soCurrent), 0);  // back across the border
  EXPECT_EQ(s.CurrentImage(), 1u);
  EXPECT_EQ(s.Seek(-3, soCurrent), 3);   // into the first volume again
  EXPECT_EQ(s.CurrentImage(), 0u);
  try {
    s.Seek(0, soBeginning);
    FAIL();
  } catch (const EAbException& e) {
    EXPECT_STREQ(e.what(), "TAbSpanReadStream.Seek unsupported");
  }
  try {
    s.Write("x", 1);
    FAIL();
  } catch (const EAbException& e) {
    EXPECT_STREQ(e.what(), "TAbSpanReadStream.Write unsupported");
  }
}

TEST(SpanStream, DiskModeAsksUntilTheDiskAnswers) {
  TempDir dir;
  testutil::WriteFile(dir / "d.zip", "tail");
  auto* last = new rtl::TFileStream(dir / "d.zip", rtl::fmOpenRead);
  TAbSpanReadStream s(dir / "d.zip", 2, last);
  // On a fixed drive every set counts as split; the disk requests are
  // reached when the set lives on a removable drive, which a build machine
  // does not have. Without a handler a disk request is an abort.
  EXPECT_TRUE(s.IsSplit());
  EXPECT_THROW(s.SeekImage(0, 0), rtl::EFOpenError);  // d.z01 does not exist
}

TEST(SpannedMarker, CallersStreamIsRefused) {
  TempDir dir;
  MakeSet(dir, "set.zip", "-s 64k -0");
  rtl::TMemoryStream s;
  s.LoadFromFile(dir / "set.zip");
  TAbUnZipper u;
  EXPECT_THROW(u.SetStream(&s), EAbZipBadSpanStream);
}
