// The archive model: masks, the name index, the extraction loop with its
// events, output names under the base folder, and refused names.
#include <gtest/gtest.h>

#include <memory>

#include "archive/AbExcept.h"
#include "archive/AbUnzPrc.h"
#include "archive/AbZipTyp.h"
#include "rtl/FileSys.h"
#include "TestUtil.h"

using namespace ab;
using testutil::TempDir;
using testutil::ZipEntry;
using testutil::ZipWriter;

namespace {

// An archive held in memory, loaded, with the pipeline's hooks installed.
struct MemArchive {
  explicit MemArchive(const std::string& bytes) : stream(bytes) {
    zip = std::make_unique<TAbZipArchive>(&stream, "mem.zip");
    zip->ExtractHelper = ExtractItemToFile;
    zip->ExtractToStreamHelper = ExtractItemToStream;
    zip->TestHelper = VerifyItem;
    zip->Load();
  }
  rtl::TMemoryStream stream;
  std::unique_ptr<TAbZipArchive> zip;
};

std::string ArchiveOf(std::initializer_list<std::pair<std::string, std::string>> items) {
  ZipWriter w;
  for (auto& [name, data] : items) {
    ZipEntry e;
    e.name = name;
    e.data = data;
    if (!name.empty() && name.back() == '/') e.externalAttributes = 0x10;
    w.Add(e);
  }
  return w.Build();
}

} // namespace

// ---------------------------------------------------------------------------
// Masks
// ---------------------------------------------------------------------------

TEST(Masks, PatternRules) {
  EXPECT_TRUE(MatchPattern("README", "*.*"));  // "*.*" also matches names without a dot
  EXPECT_TRUE(MatchPattern("A", "*"));
  EXPECT_FALSE(MatchPattern("", "*"));  // an empty name matches only an empty pattern
  EXPECT_TRUE(MatchPattern("", ""));
  EXPECT_TRUE(MatchPattern("ABC.TXT", "A?C.*"));
  EXPECT_FALSE(MatchPattern("AC", "A?C"));
  EXPECT_TRUE(MatchPattern("AXXXBYYYC", "A*B*C"));
  EXPECT_FALSE(MatchPattern("AXXXBYYY", "A*B*C"));
  EXPECT_TRUE(MatchPattern("AB", "AB*"));
  // Many stars against a long name finish at once (no exponential search).
  EXPECT_FALSE(MatchPattern(std::string(5000, 'A'), "*A*A*A*A*A*A*A*A*A*A*B"));
}

TEST(Masks, FoldersAndCase) {
  MemArchive a(ArchiveOf({{"dir/readme.txt", "r"}, {"dir/sub/x.txt", "x"}, {"doc.doc", "d"}, {"dir/", ""}}));
  TAbArchiveList& l = a.zip->ItemList();
  EXPECT_TRUE(l[0]->MatchesStoredNameEx("*.TXT"));
  EXPECT_TRUE(l[0]->MatchesStoredNameEx("dir\\*"));
  EXPECT_FALSE(l[1]->MatchesStoredNameEx("dir\\*"));
  EXPECT_TRUE(l[1]->MatchesStoredNameEx("dir/sub/*.txt"));
  EXPECT_TRUE(l[2]->MatchesStoredNameEx("*.txt; *.doc"));
  EXPECT_FALSE(l[2]->MatchesStoredNameEx(""));
  EXPECT_TRUE(l[0]->MatchesStoredNameEx("C:\\dir\\*.txt"));  // a drive in the mask is dropped
  EXPECT_TRUE(l[3]->MatchesStoredNameEx("dir"));             // a folder matches without its slash
}

// ---------------------------------------------------------------------------
// Name index
// ---------------------------------------------------------------------------

TEST(ArchiveList, FindsByNameIgnoringAsciiCaseLatestFirst) {
  MemArchive a(ArchiveOf({{"Read.me", "1"}, {"other", "2"}, {"READ.ME", "3"}}));
  EXPECT_EQ(a.zip->FindFile("read.me"), 2);
  EXPECT_EQ(a.zip->FindFile("OTHER"), 1);
  EXPECT_EQ(a.zip->FindFile("missing"), -1);
  a.zip->ItemList().Delete(2);
  EXPECT_EQ(a.zip->FindFile("read.me"), 0);
  EXPECT_THROW(a.zip->ItemList().Get(5), rtl::EListError);
  try {
    a.zip->ItemList().Get(7);
  } catch (const rtl::EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (7)");
  }
}

TEST(ArchiveList, HashStaysInItsBuckets) {
  EXPECT_LT(TAbArchiveList::NameHash(std::string(300, 'z')), 1021u);
  EXPECT_EQ(TAbArchiveList::NameHash("abc"), TAbArchiveList::NameHash("ABC"));
}

// ---------------------------------------------------------------------------
// Extraction loop
// ---------------------------------------------------------------------------

TEST(ExtractionLoop, ProgressCountsPositionsNotBytes) {
  TempDir dir;
  MemArchive a(ArchiveOf({{"a.bin", "aaa"}, {"b.txt", "bbb"}, {"c.bin", "ccc"}}));
  a.zip->SetBaseDirectory(dir.Path());
  std::vector<int> progress;
  a.zip->OnArchiveProgress = [&](rtl::TObject*, uint8_t p, bool&) { progress.push_back(p); };
  a.zip->ExtractFiles("*.txt");
  EXPECT_EQ(progress, (std::vector<int>{33, 66, 100, 100}));
  EXPECT_TRUE(rtl::FileExists(dir / "b.txt"));
  EXPECT_FALSE(rtl::FileExists(dir / "a.bin"));
}

TEST(ExtractionLoop, EmptyArchiveFiresNothing) {
  ZipWriter w;
  MemArchive a(w.Build());
  int events = 0;
  a.zip->OnArchiveProgress = [&](rtl::TObject*, uint8_t, bool&) { ++events; };
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(events, 0);
}

TEST(ExtractionLoop, AbortAfterFirstItemStopsEverything) {
  TempDir dir;
  MemArchive a(ArchiveOf({{"1", "1"}, {"2", "2"}}));
  a.zip->SetBaseDirectory(dir.Path());
  a.zip->OnArchiveProgress = [&](rtl::TObject*, uint8_t, bool& abort) { abort = true; };
  try {
    a.zip->ExtractFiles("*.*");
    FAIL() << "no abort";
  } catch (const EAbUserAbort& e) {
    EXPECT_STREQ(e.what(), "Process aborted by user");
  }
  EXPECT_TRUE(rtl::FileExists(dir / "1"));
  EXPECT_FALSE(rtl::FileExists(dir / "2"));
}

TEST(ExtractionLoop, FolderOptions) {
  TempDir dir;
  MemArchive a(ArchiveOf({{"f/", ""}, {"f/g/x.txt", "x"}}));
  a.zip->SetBaseDirectory(dir.Path());
  int confirmed = 0;
  a.zip->OnConfirmProcessItem = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, bool&) { ++confirmed; };

  a.zip->SetExtractOptions({eoCreateDirs});  // folders are passed in and skipped; files go flat
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(confirmed, 2);
  EXPECT_TRUE(rtl::FileExists(dir / "x.txt"));
  EXPECT_FALSE(rtl::DirectoryExists(dir / "f"));

  confirmed = 0;
  a.zip->SetExtractOptions({});  // folders are not even passed in
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(confirmed, 1);

  a.zip->SetExtractOptions({eoRestorePath});  // missing folder without eoCreateDirs ends the run
  EXPECT_THROW(a.zip->ExtractFiles("*.*"), EAbNoSuchDirectory);

  a.zip->SetExtractOptions({eoCreateDirs, eoRestorePath});
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(testutil::ReadFile(dir / "f/g/x.txt"), "x");
}

TEST(ExtractionLoop, OverwriteQuestion) {
  TempDir dir;
  testutil::WriteFile(dir / "a.txt", "old");
  MemArchive a(ArchiveOf({{"a.txt", "new"}}));
  a.zip->SetBaseDirectory(dir.Path());
  int failures = 0;
  a.zip->OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass, int) { ++failures; };
  a.zip->OnConfirmOverwrite = [](std::string&, bool& confirm) { confirm = false; };
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(testutil::ReadFile(dir / "a.txt"), "old");
  EXPECT_EQ(failures, 0);
  a.zip->OnConfirmOverwrite = [&](std::string& name, bool&) { name = dir / "renamed.txt"; };
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(testutil::ReadFile(dir / "renamed.txt"), "new");
  a.zip->OnConfirmOverwrite = nullptr;  // no handler: overwrite
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(testutil::ReadFile(dir / "a.txt"), "new");
}

TEST(ExtractionLoop, BadItemAmongGoodOnesIsReportedOnce) {
  TempDir dir;
  ZipWriter w;
  ZipEntry good{"good1.txt", "fine"}, bad{"bad.txt", "broken"}, good2{"good2.txt", "fine too"};
  bad.overrideCrc = true;
  bad.crc = 0x12345678;
  w.Add(good);
  w.Add(bad);
  w.Add(good2);
  MemArchive a(w.Build());
  a.zip->SetBaseDirectory(dir.Path());
  std::vector<std::pair<int, int>> failures;
  std::string message;
  a.zip->OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass ec, int code) {
    failures.push_back({ec, code});
    // The whole failure is at hand while the handler runs, and only then.
    const TAbItemFailure* f = a.zip->CurrentFailure();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->ErrorClass, ec);
    EXPECT_EQ(f->ErrorCode, code);
    message = f->Message;
  };
  a.zip->ExtractFiles("*.*");
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0], std::make_pair(int(ecArvelo), int(erZipBadCRC)));
  EXPECT_EQ(message, "Failed CRC Check");
  EXPECT_EQ(a.zip->CurrentFailure(), nullptr);
  EXPECT_TRUE(rtl::FileExists(dir / "good1.txt"));
  EXPECT_TRUE(rtl::FileExists(dir / "good2.txt"));
  EXPECT_TRUE(rtl::FileExists(dir / "bad.txt"));  // a handler was assigned: the damaged file is kept

  // Without a handler the bad item is skipped silently and its file deleted.
  TempDir dir2;
  MemArchive b(w.Build());
  b.zip->SetBaseDirectory(dir2.Path());
  b.zip->ExtractFiles("*.*");
  EXPECT_FALSE(rtl::FileExists(dir2 / "bad.txt"));
  EXPECT_TRUE(rtl::FileExists(dir2 / "good2.txt"));
}

TEST(ExtractionLoop, BaseDirectoryRules) {
  TempDir dir;
  MemArchive a(ArchiveOf({{"x", "1"}}));
  a.zip->SetBaseDirectory(dir.Path() + "/");
  EXPECT_EQ(a.zip->BaseDirectory(), dir.Path());
  a.zip->SetBaseDirectory("/");
  EXPECT_EQ(a.zip->BaseDirectory(), "/");
  EXPECT_THROW(a.zip->SetBaseDirectory(dir / "missing"), EAbNoSuchDirectory);
  EXPECT_EQ(a.zip->BaseDirectory(), "/");
}

TEST(ExtractionLoop, InvalidArchiveRefusesEveryExtraction) {
  MemArchive a(ArchiveOf({{"x", "1"}}));
  a.zip->SetStatus(asInvalid);
  EXPECT_THROW(a.zip->ExtractFiles("*.*"), EAbNoArchive);
  EXPECT_THROW(a.zip->ExtractAt(0, ""), EAbNoArchive);
  rtl::TMemoryStream s;
  EXPECT_THROW(a.zip->ExtractToStream("x", &s), EAbNoArchive);
  EXPECT_THROW(a.zip->TestTaggedItems(), EAbNoArchive);
  a.zip->TagItems("*.*");  // tagging does not check the status
  EXPECT_TRUE(a.zip->ItemList()[0]->Tagged());
}

// ---------------------------------------------------------------------------
// Names that would leave the base folder
// ---------------------------------------------------------------------------

TEST(UnsafeNames, AreFailedItemsAndNothingIsWrittenOutside) {
  TempDir root;
  const std::string base = root / "base";
  rtl::CreateDir(base);
  rtl::CreateDir(root / "elsewhere");
  // A symbolic link already inside the target that points outside it.
  ASSERT_EQ(symlink((root / "elsewhere").c_str(), (base + "/link").c_str()), 0);
  MemArchive a(ArchiveOf({{"../up.txt", "x"},
                          {"a/../../up2.txt", "x"},
                          {"..\\win.txt", "x"},
                          {"/etc/abs.txt", "x"},
                          {"//host/share/x.txt", "x"},
                          {"link/through.txt", "x"},
                          {"ok/c:colon.txt", "fine"},
                          {"dots..name.txt", "fine"}}));
  a.zip->SetBaseDirectory(base);
  a.zip->SetExtractOptions({eoCreateDirs, eoRestorePath});
  std::vector<std::string> failed;
  a.zip->OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem* item, TAbProcessType, TAbErrorClass ec, int code) {
    EXPECT_EQ(ec, ecArvelo);
    EXPECT_EQ(code, erUnsafeName);
    failed.push_back(item->FileName());
  };
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(failed.size(), 6u);
  EXPECT_FALSE(rtl::FileExists(root / "up.txt"));
  EXPECT_FALSE(rtl::FileExists(root / "up2.txt"));
  EXPECT_FALSE(rtl::FileExists(root / "elsewhere/through.txt"));
  EXPECT_FALSE(rtl::FileExists("/etc/abs.txt"));
  EXPECT_EQ(testutil::ReadFile(base + "/ok/c:colon.txt"), "fine");  // ":" is an ordinary character here
  EXPECT_EQ(testutil::ReadFile(base + "/dots..name.txt"), "fine");
}

// Real folders found during one walk are not examined again for the items
// after them; links never count as found, and the next walk looks afresh.
TEST(UnsafeNames, EveryItemThroughALinkIsRefusedAndEachWalkLooksAgain) {
  TempDir root;
  const std::string base = root / "base";
  rtl::CreateDir(base);
  rtl::CreateDir(root / "elsewhere");
  ASSERT_EQ(symlink((root / "elsewhere").c_str(), (base + "/link").c_str()), 0);
  MemArchive a(ArchiveOf({{"d/1.txt", "1"},
                          {"link/1.txt", "x"},
                          {"d/sub/2.txt", "2"},
                          {"link/sub/2.txt", "x"},
                          {"d/3.txt", "3"},
                          {"link/3.txt", "x"}}));
  a.zip->SetBaseDirectory(base);
  a.zip->SetExtractOptions({eoCreateDirs, eoRestorePath});
  std::vector<std::string> failed;
  a.zip->OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem* item, TAbProcessType, TAbErrorClass, int code) {
    EXPECT_EQ(code, erUnsafeName);
    failed.push_back(item->FileName());
  };
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(failed, (std::vector<std::string>{"link/1.txt", "link/sub/2.txt", "link/3.txt"}));
  EXPECT_EQ(testutil::ReadFile(base + "/d/sub/2.txt"), "2");
  EXPECT_EQ(testutil::ReadFile(base + "/d/3.txt"), "3");
  EXPECT_TRUE(std::filesystem::is_empty(root / "elsewhere"));

  // Between walks the real folder becomes a link: the next walk sees it.
  std::filesystem::remove_all(base + "/d");
  ASSERT_EQ(symlink((root / "elsewhere").c_str(), (base + "/d").c_str()), 0);
  failed.clear();
  a.zip->ExtractFiles("*.*");
  EXPECT_EQ(failed.size(), 6u);
  EXPECT_TRUE(std::filesystem::is_empty(root / "elsewhere"));
}

TEST(UnsafeNames, PlantedLinkAtTheFileNameIsReplacedNotFollowed) {
  TempDir root;
  const std::string base = root / "base";
  rtl::CreateDir(base);
  testutil::WriteFile(root / "victim.txt", "precious");
  ASSERT_EQ(symlink((root / "victim.txt").c_str(), (base + "/a.txt").c_str()), 0);
  MemArchive a(ArchiveOf({{"a.txt", "overwritten?"}}));
  a.zip->SetBaseDirectory(base);
  int failures = 0;
  a.zip->OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass, int) { ++failures; };
  a.zip->ExtractFiles("*.*");
  // The link is replaced by the item, as an old file would be.
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(testutil::ReadFile(root / "victim.txt"), "precious");
  EXPECT_FALSE(std::filesystem::is_symlink(base + "/a.txt"));
  EXPECT_EQ(testutil::ReadFile(base + "/a.txt"), "overwritten?");
}

// ---------------------------------------------------------------------------
// Log file
// ---------------------------------------------------------------------------

TEST(Logging, WritesUtf16LinesPerConfirmedItem) {
  TempDir dir;
  MemArchive a(ArchiveOf({{"one.txt", "1"}}));
  a.zip->SetBaseDirectory(dir.Path());
  a.zip->SetLogFile(dir / "log.txt");
  a.zip->SetLogging(true);
  a.zip->ExtractFiles("*.*");
  a.zip->SetLogging(false);
  std::string log = testutil::ReadFile(dir / "log.txt");
  std::string ascii;
  for (size_t i = 0; i + 1 < log.size(); i += 2) {
    EXPECT_EQ(log[i + 1], 0);
    ascii += log[i];
  }
  EXPECT_EQ(ascii.rfind("mem.zip logging ", 0), 0u);
  EXPECT_NE(ascii.find("\r\none.txt extracted "), std::string::npos);

  a.zip->SetLogFile(dir / "no/such/folder/log.txt");
  try {
    a.zip->SetLogging(true);
    FAIL();
  } catch (const EAbException& e) {
    EXPECT_STREQ(e.what(), "Error creating Log File");
  }
}
