// What only the Windows side of rtl/ decides, checked through the system's
// own calls: names that mean a drive or a stream, re-extraction over
// hidden files, the time and attributes a written file ends up with, names
// longer than the system's old limit, and the kind of a CD-ROM drive.
// Built for Windows only; runs under Wine (scripts/test-windows.sh).
#include <gtest/gtest.h>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#undef DeleteFile

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "archive/AbUnzPrc.h"
#include "archive/AbUnzper.h"
#include "archive/AbZipTyp.h"
#include "rtl/Drives.h"
#include "rtl/FileSys.h"
#include "rtl/WinText.h"
#include "TestUtil.h"

using namespace ab;
using testutil::TempDir;
using testutil::ZipEntry;
using testutil::ZipWriter;

namespace {

struct Extraction {
  explicit Extraction(const ZipWriter& w, const std::string& out) {
    testutil::WriteFile(dir / "a.zip", w.Build());
    rtl::CreateDir(out);
    u.SetExtractOptions({eoCreateDirs, eoRestorePath});
    u.OnProcessItemFailure = [this](rtl::TObject*, TAbArchiveItem* item, TAbProcessType, TAbErrorClass, int code) {
      failed.push_back({item->FileName(), code});
    };
    u.SetFileName(dir / "a.zip");
    u.SetBaseDirectory(out);
  }
  TempDir dir;
  TAbUnZipper u;
  std::vector<std::pair<std::string, int>> failed;
};

DWORD Attributes(const std::string& name) { return GetFileAttributesW(rtl::WidePath(name).c_str()); }

} // namespace

TEST(WindowsNames, DrivesAndStreamsInStoredNamesAreRefused) {
  TempDir root;
  ZipWriter w;
  w.Add(ZipEntry{"C:evil.txt", "drive-relative"});
  w.Add(ZipEntry{"notes.txt:hidden", "a named stream of notes.txt"});
  w.Add(ZipEntry{"dos\\style\\name.txt", "backslashes"});
  w.Add(ZipEntry{"notes.txt", "the file itself"});
  Extraction x(w, root / "out");
  x.u.ExtractFiles("*.*");
  ASSERT_EQ(x.failed.size(), 2u);
  for (auto& [name, code] : x.failed) EXPECT_EQ(code, erUnsafeName) << name;
  EXPECT_EQ(testutil::ReadFile(root / "out/notes.txt"), "the file itself");
  EXPECT_EQ(testutil::ReadFile(root / "out/dos/style/name.txt"), "backslashes");
  // Nothing went to a stream of the file or to the drive's current folder.
  EXPECT_EQ(Attributes(root / "out/notes.txt:hidden"), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(rtl::FileExists("C:evil.txt"));
}

// A name on the current drive or on a drive's current folder is absolute to
// the engine (never put below its base folder) but not full: the launcher
// joins whatever is not full to its own folder.
TEST(WindowsNames, FullPathsNeedADriveRootOrAServer) {
  for (const char* n : {"C:\\x", "c:/x", "\\\\server\\share\\x", "//server/share"}) {
    EXPECT_TRUE(rtl::IsFullPath(n)) << n;
    EXPECT_TRUE(rtl::IsAbsolutePath(n)) << n;
  }
  for (const char* n : {"\\x", "/x", "C:x"}) {
    EXPECT_FALSE(rtl::IsFullPath(n)) << n;
    EXPECT_TRUE(rtl::IsAbsolutePath(n)) << n;
  }
  EXPECT_FALSE(rtl::IsFullPath("x\\y"));
  EXPECT_FALSE(rtl::IsAbsolutePath("x\\y"));
}

TEST(WindowsFiles, HiddenAndSystemFilesAreReplacedOnASecondRun) {
  TempDir root;
  ZipEntry hidden{"hidden.txt", "hidden"};
  hidden.externalAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE;
  ZipEntry system{"system.txt", "system"};
  system.externalAttributes = FILE_ATTRIBUTE_SYSTEM;
  ZipWriter w;
  w.Add(hidden);
  w.Add(system);
  for (int run = 0; run < 2; ++run) {
    Extraction x(w, root / "out");
    x.u.ExtractFiles("*.*");
    EXPECT_TRUE(x.failed.empty()) << "run " << run << ": " << (x.failed.empty() ? "" : x.failed[0].first);
  }
  EXPECT_EQ(Attributes(root / "out/hidden.txt") & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
            static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(Attributes(root / "out/system.txt") & FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(testutil::ReadFile(root / "out/hidden.txt"), "hidden");
}

TEST(WindowsFiles, TimeIsLocalAndReadOnlyComesFromTheArchive) {
  TempDir root;
  ZipEntry ro{"폴더/읽기전용.txt", "read only"};
  ro.flags = 0x0800;  // UTF-8 name
  ro.externalAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE;
  ro.date = 0x5021;  // 2020-01-01
  ro.time = 0x6000;  // 12:00:00
  ZipEntry unixRo{"unix-ro.txt", "mode 0444"};
  unixRo.versionMadeBy = 0x0314;
  unixRo.externalAttributes = 0x81240000u;  // r--r--r--, no DOS bits
  ZipWriter w;
  w.Add(ro);
  w.Add(unixRo);
  Extraction x(w, root / "out");
  x.u.ExtractFiles("*.*");
  ASSERT_TRUE(x.failed.empty());
  const std::string name = root / "out/폴더/읽기전용.txt";
  EXPECT_TRUE(Attributes(name) & FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(Attributes(root / "out/unix-ro.txt") & FILE_ATTRIBUTE_READONLY);

  WIN32_FILE_ATTRIBUTE_DATA d;
  ASSERT_TRUE(GetFileAttributesExW(rtl::WidePath(name).c_str(), GetFileExInfoStandard, &d));
  SYSTEMTIME utc, local;
  ASSERT_TRUE(FileTimeToSystemTime(&d.ftLastWriteTime, &utc));
  ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  EXPECT_EQ(local.wYear, 2020);
  EXPECT_EQ(local.wMonth, 1);
  EXPECT_EQ(local.wDay, 1);
  EXPECT_EQ(local.wHour, 12);
  EXPECT_EQ(local.wMinute, 0);
  SetFileAttributesW(rtl::WidePath(name).c_str(), FILE_ATTRIBUTE_NORMAL);
  SetFileAttributesW(rtl::WidePath(root / "out/unix-ro.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A file is written beside its name and takes the name only when complete:
// a read-only file there is replaced, a damaged item nobody asked to see
// leaves the old file as it was, and no temporary file stays behind. A link
// entry becomes a file holding its target.
TEST(WindowsFiles, ReplacementOvertakesReadOnlyFilesAndLeavesNoTrace) {
  TempDir root;
  const std::string out = root / "out";
  rtl::CreateDir(out);
  testutil::WriteFile(out + "\\doc.txt", "old");
  SetFileAttributesW(rtl::WidePath(out + "\\doc.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  testutil::WriteFile(out + "\\bad.txt", "precious");
  ZipWriter w;
  w.Add(ZipEntry{"doc.txt", "new text"});
  ZipEntry bad{"bad.txt", "damaged"};
  bad.overrideCrc = true;
  bad.crc = 0x12345678;
  w.Add(bad);
  ZipEntry link{"link", "doc.txt"};
  link.versionMadeBy = 0x0314;
  link.externalAttributes = 0xA1FF0000u;  // a Unix symbolic link
  w.Add(link);
  // The archive on its own: nobody listens for failed items.
  testutil::WriteFile(root / "a.zip", w.Build());
  rtl::TMemoryStream bytes(testutil::ReadFile(root / "a.zip"));
  TAbZipArchive zip(&bytes, "a.zip");
  zip.ExtractHelper = ExtractItemToFile;
  zip.Load();
  zip.SetBaseDirectory(out);
  zip.ExtractFiles("*.*");

  EXPECT_EQ(testutil::ReadFile(out + "\\doc.txt"), "new text");
  EXPECT_EQ(Attributes(out + "\\doc.txt") & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), 0u);
  EXPECT_EQ(testutil::ReadFile(out + "\\bad.txt"), "precious");
  EXPECT_EQ(Attributes(out + "\\link") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  EXPECT_EQ(testutil::ReadFile(out + "\\link"), "doc.txt");
  WIN32_FIND_DATAW f;
  HANDLE h = FindFirstFileW(rtl::WidePath(out + "\\*").c_str(), &f);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::vector<std::string> names;
  do {
    const std::string n = rtl::NarrowText(f.cFileName, wcslen(f.cFileName));
    if (n != "." && n != "..") names.push_back(n);
  } while (FindNextFileW(h, &f));
  FindClose(h);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"bad.txt", "doc.txt", "link"}));
}

TEST(WindowsFiles, NamesBeyondTheOldPathLimit) {
  TempDir root;
  std::string deep;
  for (int i = 0; i < 12; ++i) deep += std::string(30, static_cast<char>('a' + i)) + "/";
  ZipWriter w;
  w.Add(ZipEntry{deep + "file.txt", "deep"});
  Extraction x(w, root / "out");
  x.u.ExtractFiles("*.*");
  ASSERT_TRUE(x.failed.empty());
  std::string native = root / "out/" + deep + "file.txt";
  ASSERT_GT(native.size(), static_cast<size_t>(MAX_PATH));
  EXPECT_TRUE(rtl::FileExists(native));
  EXPECT_EQ(rtl::FileSizeOf(native), 4);
}

// The drive letter Wine maps as a CD-ROM, named by the test script; the
// system's answer for it is the engine's.
TEST(WindowsDrives, CdromDriveAndOrdinaryFolders) {
  EXPECT_EQ(rtl::DriveTypeOf(rtl::TempDirectory()), rtl::TDriveType::Fixed);
  EXPECT_GT(rtl::VolumeTotalBytes(rtl::TempDirectory()), 0);
  const char* cd = std::getenv("ARVELO_TEST_CDROM");
  if (!cd || !*cd) GTEST_SKIP() << "no CD-ROM drive mapped (ARVELO_TEST_CDROM)";
  const std::string root = std::string(cd) + "\\";
  EXPECT_EQ(rtl::DriveTypeOf(root), rtl::TDriveType::CDROM);
  EXPECT_EQ(rtl::DriveTypeOf(root + "ebook\\ebookRun.qtx"), rtl::TDriveType::CDROM);
  EXPECT_TRUE(rtl::VolumeIsReadable(root));
}
