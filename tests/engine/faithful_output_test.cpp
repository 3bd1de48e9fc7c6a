// What extraction leaves on disk, compared with what the archive holds and
// with what other programs leave: exact times from the extra fields, in any
// time zone; old files replaced without ever being written into (hard
// links, the archive itself, a full disk); one item's folder that cannot be
// made failing that item alone, with the folder's own reason.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <set>

#include "SmallDisk.h"
#include "TestUtil.h"
#include "archive/AbUnzPrc.h"
#include "archive/AbUnzper.h"
#include "rtl/FileSys.h"

using namespace ab;
using testutil::Quote;
using testutil::TempDir;
using testutil::ZipEntry;
using testutil::ZipWriter;
namespace fs = std::filesystem;

namespace {

struct Failure {
  std::string name;
  TAbErrorClass errorClass;
  int code;
};

// Extracts Zip into Base as the launcher does; with Listen the failed items
// are recorded.
std::vector<Failure> Extract(const std::string& zip, const std::string& base) {
  std::vector<Failure> failures;
  TAbUnZipper u;
  u.SetExtractOptions({eoCreateDirs, eoRestorePath});
  u.OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem* item, TAbProcessType, TAbErrorClass ec, int code) {
      failures.push_back({item->FileName(), ec, code});
    };
  u.SetFileName(zip);
  u.SetBaseDirectory(base);
  u.ExtractFiles("*.*");
  return failures;
}

timespec MTime(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mtim;
}

// Names below Root, hidden ones included, without following links.
std::set<std::string> Listing(const std::string& root) {
  std::set<std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    out.insert(it->path().lexically_relative(root).string());
  return out;
}

// Runs the body with TZ set, then puts the old zone back.
class TimeZone {
public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    FHad = old != nullptr;
    if (old) FOld = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (FHad)
      setenv("TZ", FOld.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

private:
  bool FHad = false;
  std::string FOld;
};

} // namespace

TEST(FaithfulOutput, TimesComeFromTheExtraFieldsInAnyTimeZone) {
  TempDir t;
  fs::create_directories(t / "src/d");
  testutil::WriteFile(t / "src/d/a.txt", "a");
  testutil::WriteFile(t / "src/n.txt", "n");
  ASSERT_EQ(testutil::Run("touch -d '2021-07-04 15:16:17.1234567 UTC' " + Quote(t / "src/d/a.txt") + " " +
                          Quote(t / "src/n.txt") + " && touch -d '2019-03-02 01:02:03 UTC' " + Quote(t / "src/d")),
            0);
  // zip writes the Unix timestamp field, 7-Zip the NTFS one; both made in
  // Seoul, read in New York, where the DOS time is thirteen hours off.
  ASSERT_EQ(testutil::Run("cd " + Quote(t / "src") + " && TZ=Asia/Seoul zip -q -r ../ut.zip d && TZ=Asia/Seoul "
                          "7zz a -tzip -mtc=on ../nt.zip n.txt >/dev/null"),
            0);
  TimeZone ny("America/New_York");
  fs::create_directories(t / "ours");
  fs::create_directories(t / "unzip");
  EXPECT_TRUE(Extract(t / "ut.zip", t / "ours").empty());
  EXPECT_TRUE(Extract(t / "nt.zip", t / "ours").empty());
  ASSERT_EQ(testutil::Run("cd " + Quote(t / "unzip") + " && TZ=America/New_York unzip -q ../ut.zip"), 0);
  const timespec want = MTime(t / "src/d/a.txt");
  // To the second, as unzip gives it from the same field; the folder's
  // time survives the file written into it afterwards.
  EXPECT_EQ(MTime(t / "ours/d/a.txt").tv_sec, want.tv_sec);
  EXPECT_EQ(MTime(t / "unzip/d/a.txt").tv_sec, want.tv_sec);
  EXPECT_EQ(MTime(t / "ours/d").tv_sec, MTime(t / "src/d").tv_sec);
  EXPECT_EQ(MTime(t / "ours/d").tv_sec, MTime(t / "unzip/d").tv_sec);
  // The NTFS time keeps its 100 ns steps.
  EXPECT_EQ(MTime(t / "ours/n.txt").tv_sec, want.tv_sec);
  EXPECT_EQ(MTime(t / "ours/n.txt").tv_nsec, 123456700);
}

TEST(FaithfulOutput, ReplacingAFileNeverWritesIntoTheOldOne) {
  TempDir t;
  fs::create_directories(t / "src");
  fs::create_directories(t / "base");
  fs::create_directories(t / "outside");
  testutil::WriteFile(t / "src/shared.txt", "from the archive");
  testutil::WriteFile(t / "src/own.zip", "an item named like its archive");
  testutil::WriteFile(t / "src/z.txt", "after it");
  // The archive lies in the target and holds an item of its own name,
  // followed by another item that must still be read from it.
  ASSERT_EQ(testutil::Run("cd " + Quote(t / "src") + " && zip -q ../base/own.zip shared.txt own.zip z.txt"), 0);
  // A tree copied with hard links (cp -al): the outside file shares the
  // inode of the target's file.
  testutil::WriteFile(t / "outside/shared.txt", "outside, precious");
  ASSERT_EQ(link((t / "outside/shared.txt").c_str(), (t / "base/shared.txt").c_str()), 0);
  EXPECT_TRUE(Extract(t / "base/own.zip", t / "base").empty());
  EXPECT_EQ(testutil::ReadFile(t / "outside/shared.txt"), "outside, precious");
  EXPECT_EQ(testutil::ReadFile(t / "base/shared.txt"), "from the archive");
  EXPECT_EQ(testutil::ReadFile(t / "base/own.zip"), "an item named like its archive");
  EXPECT_EQ(testutil::ReadFile(t / "base/z.txt"), "after it");
  EXPECT_EQ(Listing(t / "base"), (std::set<std::string>{"shared.txt", "own.zip", "z.txt"}));
}

TEST(FaithfulOutput, ADamagedItemKeepsTheOldFileUnlessSomeoneListens) {
  // A stored item whose CRC does not match. An archive with nobody
  // listening for failures gives the old file back; the component, which
  // always listens, keeps the damaged data to look at and reports it once.
  ZipEntry bad;
  bad.name = "x.txt";
  bad.data = "damaged data";
  bad.overrideCrc = true;
  bad.crc = 0x12345678;
  ZipEntry good;
  good.name = "y.txt";
  good.data = "good";
  ZipWriter w;
  w.Add(bad);
  w.Add(good);
  TempDir t;
  testutil::WriteFile(t / "a.zip", w.Build());
  for (bool listen : {false, true}) {
    SCOPED_TRACE(listen);
    const std::string base = t / (listen ? "listened" : "silent");
    testutil::WriteFile(base + "/x.txt", "the old file");
    std::vector<Failure> failures;
    if (listen) {
      failures = Extract(t / "a.zip", base);
    } else {
      rtl::TMemoryStream bytes(testutil::ReadFile(t / "a.zip"));
      TAbZipArchive zip(&bytes, "a.zip");
      zip.ExtractHelper = ExtractItemToFile;
      zip.Load();
      zip.SetBaseDirectory(base);
      zip.ExtractFiles("*.*");
    }
    EXPECT_EQ(testutil::ReadFile(base + "/x.txt"), listen ? "damaged data" : "the old file");
    EXPECT_EQ(testutil::ReadFile(base + "/y.txt"), "good");
    EXPECT_EQ(Listing(base), (std::set<std::string>{"x.txt", "y.txt"}));
    if (listen) {
      ASSERT_EQ(failures.size(), 1u);
      EXPECT_EQ(failures[0].name, "x.txt");
      EXPECT_EQ(failures[0].errorClass, ecArvelo);
      EXPECT_EQ(failures[0].code, erZipBadCRC);
    }
  }
}

TEST(FaithfulOutput, AFullDiskKeepsTheOldFileAndAFolderFailsItsItemAlone) {
  TempDir t;
  const std::string base = t / "base";
  SmallDisk disk(base, "size=256k");
  if (!disk.Ok()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  testutil::WriteFile(base + "/big.bin", "the old file");
  testutil::WriteFile(base + "/file", "a file where a folder is wanted");
  SmallDisk readOnly(base + "/ro", "size=64k");
  ASSERT_TRUE(readOnly.Ok());
  ASSERT_TRUE(readOnly.MakeReadOnly());

  std::string noise(1 << 20, '\0');
  uint32_t x = 1;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  ZipWriter w;
  auto add = [&](const std::string& name, const std::string& data) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    w.Add(e);
  };
  add("big.bin", noise);               // larger than the disk
  add("ro/sub/x.txt", "read-only");    // its folder cannot be made: EROFS
  add("file/x.txt", "blocked");        // a file in the folder's place: EEXIST
  add("after.txt", "still written");
  testutil::WriteFile(t / "a.zip", w.Build());

  std::vector<Failure> failures = Extract(t / "a.zip", base);
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[0].name, "big.bin");
  EXPECT_EQ(failures[0].errorClass, ecInOutError);
  EXPECT_EQ(failures[0].code, ENOSPC);
  EXPECT_EQ(failures[1].name, "ro/sub/x.txt");
  EXPECT_EQ(failures[1].errorClass, ecInOutError);
  EXPECT_EQ(failures[1].code, EROFS);
  EXPECT_EQ(failures[2].name, "file/x.txt");
  EXPECT_EQ(failures[2].code, EEXIST);
  EXPECT_EQ(testutil::ReadFile(base + "/big.bin"), "the old file");
  EXPECT_EQ(testutil::ReadFile(base + "/after.txt"), "still written");
  // No half-written file under any name.
  EXPECT_EQ(Listing(base), (std::set<std::string>{"big.bin", "file", "ro", "after.txt"}));
}
