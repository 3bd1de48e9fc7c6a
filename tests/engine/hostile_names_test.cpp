// Stored names and entries that try to reach outside the target folder:
// every way of spelling "up" or "absolute", names that get there through a
// folder item or a link entry of the same archive, and links already on
// disk. Each such item is a failed item and nothing appears outside the
// target; a link entry becomes a link only when it leads to a place inside.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "TestUtil.h"
#include "archive/AbUnzPrc.h"
#include "archive/AbUnzper.h"
#include "rtl/FileSys.h"

using namespace ab;
using testutil::TempDir;
using testutil::ZipEntry;
using testutil::ZipWriter;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kUnixLink = 0120777u << 16;
constexpr uint32_t kUnixFile = 0100644u << 16;
constexpr uint32_t kUnixDir = (040755u << 16) | 0x10;

ZipEntry Entry(const std::string& name, const std::string& data, uint32_t unixAttributes = 0) {
  ZipEntry e;
  e.name = name;
  e.data = data;
  if (unixAttributes) {
    e.versionMadeBy = 0x031E;  // Unix
    e.externalAttributes = unixAttributes;
  } else if (!name.empty() && name.back() == '/') {
    e.externalAttributes = 0x10;
  }
  return e;
}

// Everything below Root, as paths relative to it, without following links.
std::set<std::string> Listing(const std::string& root) {
  std::set<std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    out.insert(it->path().lexically_relative(root).string());
  return out;
}

// Extracts an archive of the given entries the way the launcher does, into
// Root/base, and records the failed items with their codes.
struct Extraction {
  TempDir root;
  std::string base = root / "base";
  std::vector<std::pair<std::string, int>> failures;  // name, code
  std::string loopError;  // a failure that ended the whole extraction

  explicit Extraction(const std::vector<ZipEntry>& entries, const std::function<void(Extraction&)>& prepare = {}) {
    rtl::CreateDir(base);
    rtl::CreateDir(root / "elsewhere");
    if (prepare) prepare(*this);
    ZipWriter w;
    for (const auto& e : entries) w.Add(e);
    testutil::WriteFile(root / "a.zip", w.Build());
    Run(root / "a.zip");
  }

  explicit Extraction(const std::string& zip) {
    rtl::CreateDir(base);
    rtl::CreateDir(root / "elsewhere");
    Run(zip);
  }

  void Run(const std::string& zip) {
    TAbUnZipper u;
    u.SetExtractOptions({eoCreateDirs, eoRestorePath});
    u.OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem* item, TAbProcessType, TAbErrorClass, int code) {
      failures.push_back({item->FileName(), code});
    };
    u.SetFileName(zip);
    u.SetBaseDirectory(base);
    try {
      u.ExtractFiles("*.*");
    } catch (const rtl::Exception& e) {
      loopError = e.what();
    }
  }

  std::vector<std::string> FailedNames() const {
    std::vector<std::string> n;
    for (const auto& f : failures) n.push_back(f.first);
    return n;
  }
};

} // namespace

TEST(HostileNames, EverySpellingOfUpAndAbsoluteIsRefused) {
  const std::vector<std::string> unsafe = {
      "..",         "../",          "../x1",        "../../x2",       "./../x3",       "a/./../../x4",
      "a/b/../../../x5", "a/..",    "..\\x6",       "a\\..\\..\\x7",  "a/..\\..\\x8",  "a\\b/../..\\..\\x9",
      "/x10",       "\\x11",        "//x12",        "\\\\srv\\x13",   "/../x14",       "a//../../x15",
      "../d1/",     "a/../../d2/",  "/d3/",         "sub/../../../x16"};
  const std::vector<std::string> safe = {"C:/c1.txt", "c:\\c2.txt", "...", "..../d.txt", "a..b", "x../y..",
                                         "./dot.txt", "sub/./ok.txt"};
  std::vector<ZipEntry> entries;
  for (const auto& n : unsafe) entries.push_back(Entry(n, "evil"));
  for (const auto& n : safe) entries.push_back(Entry(n, "fine"));
  Extraction x(entries);
  std::vector<std::string> failed = x.FailedNames();
  std::sort(failed.begin(), failed.end());
  std::vector<std::string> want = unsafe;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(failed, want);
  for (const auto& f : x.failures) EXPECT_EQ(f.second, erUnsafeName) << f.first;
  // Outside the target only what the test made; inside only the safe names.
  EXPECT_EQ(Listing(x.root.Path()), (std::set<std::string>{"a.zip", "base", "elsewhere", "base/C:", "base/C:/c1.txt",
                                                             "base/c:", "base/c:/c2.txt", "base/...", "base/....",
                                                             "base/..../d.txt", "base/a..b", "base/x..",
                                                             "base/x../y..", "base/dot.txt", "base/sub",
                                                             "base/sub/ok.txt"}));
  EXPECT_FALSE(rtl::FileExists("/x10"));
}

TEST(HostileNames, FolderItemsDoNotOpenAWayOut) {
  // The folder exists after its item, but a name through it still may not
  // climb out of it, however many folders it first goes down.
  Extraction x({Entry("sub/", ""), Entry("sub/deeper/", ""), Entry("sub/../../x.txt", "evil"),
                Entry("sub/deeper/../../../y.txt", "evil"), Entry("sub/deeper/ok.txt", "fine")});
  EXPECT_EQ(x.FailedNames(), (std::vector<std::string>{"sub/../../x.txt", "sub/deeper/../../../y.txt"}));
  EXPECT_EQ(testutil::ReadFile(x.base + "/sub/deeper/ok.txt"), "fine");
  EXPECT_EQ(Listing(x.root / "elsewhere"), std::set<std::string>{});
  EXPECT_FALSE(rtl::FileExists(x.root / "x.txt"));
}

// True when every link below Root leads, on disk, to a place inside Inside.
bool LinksStayInside(const std::string& root, const std::string& inside) {
  const fs::path in = fs::canonical(inside);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_symlink()) continue;
    auto rel = fs::weakly_canonical(it->path().parent_path() / fs::read_symlink(it->path())).lexically_relative(in);
    if (rel.empty() || *rel.begin() == "..") return false;
  }
  return true;
}

TEST(HostileNames, LinkEntriesBecomeLinksOnlyWhenTheyStayInside) {
  // Links that stay inside, links that leave by every spelling (a ".."
  // after a name could climb out of another link, so it is refused too),
  // then items that would write through a link this extraction made.
  Extraction x({Entry("dir/", "", kUnixDir), Entry("dir/file.txt", "content", kUnixFile),
                Entry("in1", "dir", kUnixLink), Entry("dir/in2", "../dir/./file.txt", kUnixLink),
                Entry("out1", "../elsewhere", kUnixLink), Entry("abs", "/etc", kUnixLink),
                Entry("dir/out2", "../../elsewhere/x", kUnixLink), Entry("sneaky", "in1/../../elsewhere", kUnixLink),
                Entry("nul", std::string("dir\0../../x", 11), kUnixLink), Entry("empty", "", kUnixLink),
                Entry("in1/y.txt", "through the new link?", kUnixFile), Entry("after.txt", "fine", kUnixFile)});
  EXPECT_EQ(x.loopError, "");
  std::vector<std::string> failed = x.FailedNames();
  std::sort(failed.begin(), failed.end());
  EXPECT_EQ(failed, (std::vector<std::string>{"abs", "dir/out2", "empty", "in1/y.txt", "nul", "out1", "sneaky"}));
  for (const auto& f : x.failures) EXPECT_EQ(f.second, erUnsafeName) << f.first;
  EXPECT_EQ(fs::read_symlink(x.base + "/in1"), "dir");
  EXPECT_EQ(testutil::ReadFile(x.base + "/dir/in2"), "content");  // through the link, as a reader would
  EXPECT_EQ(Listing(x.base), (std::set<std::string>{"dir", "dir/file.txt", "dir/in2", "in1", "after.txt"}));
  EXPECT_EQ(Listing(x.root / "elsewhere"), std::set<std::string>{});
  EXPECT_TRUE(LinksStayInside(x.root.Path(), x.base));

  // A link entry cannot replace a folder already there: it fails alone.
  Extraction y({Entry("lnk/y.txt", "fine", kUnixFile), Entry("lnk", "after.txt", kUnixLink),
                Entry("after.txt", "fine", kUnixFile)});
  EXPECT_EQ(y.loopError, "");
  EXPECT_EQ(y.FailedNames(), std::vector<std::string>{"lnk"});
  EXPECT_TRUE(rtl::DirectoryExists(y.base + "/lnk"));
  EXPECT_EQ(testutil::ReadFile(y.base + "/after.txt"), "fine");
}

TEST(HostileNames, LinkNamesAreReadAsTheSystemReadsThem) {
  // "." and empty segments in a link's own name go nowhere: its target is
  // read from the folder the link really lands in, however the name is
  // spelled, and a link that stays inside that way is still made.
  std::string dots, ups;
  for (int i = 0; i < 30; ++i) dots += "./", ups += "../";
  const std::vector<std::pair<std::string, std::string>> leave = {
      {"./k1", "../elsewhere"},          {"a//k2", "../../elsewhere"},       {dots + "k3", ups + "etc"},
      {"./a/.//./k4", "../../elsewhere"}, {"a/./b//k5", "../../../x"},       {"a" + std::string(30, '/') + "k6", "../.."},
      {"./k7", ".."},                    {"a//./b/.//k8", ".//..//..//..//x"}};
  const std::vector<std::pair<std::string, std::string>> stay = {
      {"./in1", "in.txt"},            {"a//in2", "../in.txt"},          {"././a//b/./in3", "../../in.txt"},
      {dots + "a/" + dots + "in4", ".//..//in.txt"}, {"a/b//" + dots + "in5", "../../a/in2"}};
  std::vector<ZipEntry> entries{Entry("in.txt", "inside", kUnixFile)};
  for (const auto& [name, target] : leave) entries.push_back(Entry(name, target, kUnixLink));
  for (const auto& [name, target] : stay) entries.push_back(Entry(name, target, kUnixLink));
  Extraction x(entries);
  EXPECT_EQ(x.loopError, "");
  std::vector<std::string> failed = x.FailedNames(), want;
  for (const auto& l : leave) want.push_back(l.first);
  std::sort(failed.begin(), failed.end());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(failed, want);
  for (const auto& f : x.failures) EXPECT_EQ(f.second, 32) << f.first;
  EXPECT_EQ(Listing(x.base), (std::set<std::string>{"in.txt", "in1", "a", "a/in2", "a/b", "a/b/in3", "a/in4", "a/b/in5"}));
  for (const char* link : {"in1", "a/in2", "a/b/in3", "a/in4", "a/b/in5"})
    EXPECT_EQ(testutil::ReadFile(x.base + "/" + link), "inside") << link;
  EXPECT_EQ(Listing(x.root / "elsewhere"), std::set<std::string>{});
  EXPECT_TRUE(LinksStayInside(x.root.Path(), x.base));
}

TEST(HostileNames, LinkArchivesOfZipRestoreTheirLinks) {
  // Real archives of links made with `zip -y`: one that stays inside and
  // one that leaves, in a folder and at the top.
  TempDir src;
  fs::create_directories(src / "t/sub");
  testutil::WriteFile(src / "t/sub/real.txt", "real");
  ASSERT_EQ(symlink("sub/real.txt", (src / "t/inside").c_str()), 0);
  ASSERT_EQ(symlink("../real.txt", (src / "t/sub/up").c_str()), 0);
  ASSERT_EQ(symlink("../../../escape", (src / "t/sub/out").c_str()), 0);
  ASSERT_EQ(symlink("/etc/passwd", (src / "t/abs").c_str()), 0);
  ASSERT_EQ(testutil::Run("cd " + testutil::Quote(src.Path()) + " && zip -q -r -y a.zip t"), 0);
  Extraction x(src / "a.zip");
  std::vector<std::string> failed = x.FailedNames();
  std::sort(failed.begin(), failed.end());
  EXPECT_EQ(failed, (std::vector<std::string>{"t/abs", "t/sub/out"}));
  EXPECT_EQ(fs::read_symlink(x.base + "/t/inside"), "sub/real.txt");
  EXPECT_EQ(testutil::ReadFile(x.base + "/t/inside"), "real");
  EXPECT_EQ(fs::read_symlink(x.base + "/t/sub/up"), "../real.txt");
  EXPECT_TRUE(LinksStayInside(x.root.Path(), x.base));
}

TEST(HostileNames, LinksAlreadyOnDiskAreNeverFollowed) {
  auto plant = [](const std::string& target, const std::string& at) {
    ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at;
  };
  Extraction x({Entry("a.txt", "overwritten?"), Entry("dangling.txt", "created?"), Entry("d/x.txt", "through?"),
                Entry("deep/er/l/x.txt", "through?"), Entry("dirlink/", ""), Entry("fine.txt", "fine")},
               [&](Extraction& e) {
                 testutil::WriteFile(e.root / "elsewhere/victim.txt", "precious");
                 // The file's own name: replaced, never followed.
                 plant(e.root / "elsewhere/victim.txt", e.base + "/a.txt");
                 // A dangling link: following it would create a file outside.
                 plant(e.root / "elsewhere/new.txt", e.base + "/dangling.txt");
                 // Folders on the way, near and deep.
                 plant(e.root / "elsewhere", e.base + "/d");
                 rtl::CreateDir(e.base + "/deep");
                 rtl::CreateDir(e.base + "/deep/er");
                 plant(e.root / "elsewhere", e.base + "/deep/er/l");
                 // A folder item's own name.
                 plant(e.root / "elsewhere", e.base + "/dirlink");
               });
  EXPECT_EQ(testutil::ReadFile(x.root / "elsewhere/victim.txt"), "precious");
  EXPECT_EQ(Listing(x.root / "elsewhere"), std::set<std::string>{"victim.txt"});
  EXPECT_EQ(testutil::ReadFile(x.base + "/fine.txt"), "fine");
  // A link at a file's own name is replaced by the file, as any old file.
  for (const auto& [name, text] : {std::pair<std::string, std::string>{"a.txt", "overwritten?"}, {"dangling.txt", "created?"}}) {
    EXPECT_FALSE(fs::is_symlink(x.base + "/" + name)) << name;
    EXPECT_EQ(testutil::ReadFile(x.base + "/" + name), text);
  }
  // Folders on the way and a folder item's own name: refused as unsafe names.
  EXPECT_EQ(x.failures, (std::vector<std::pair<std::string, int>>{{"d/x.txt", erUnsafeName}, {"deep/er/l/x.txt", erUnsafeName}, {"dirlink/", erUnsafeName}}));
}

TEST(HostileNames, NamesThatNameNoFileAreReported) {
  // A NUL byte would cut "safe\0evil" to "safe" on its way to the system;
  // an empty name names the base folder itself. Both fail as unsafe names
  // and the items around them are written.
  Extraction x({Entry(std::string("safe\0evil", 9), "cut short?"), Entry("", "nameless"), Entry("ok.txt", "fine")});
  ASSERT_EQ(x.failures.size(), 2u);
  EXPECT_EQ(x.failures[0], (std::pair<std::string, int>{std::string("safe\0evil", 9), erUnsafeName}));
  EXPECT_EQ(x.failures[1], (std::pair<std::string, int>{"", erUnsafeName}));
  EXPECT_EQ(Listing(x.base), std::set<std::string>{"ok.txt"});
}

// The folders of a run are verified once and then held. A folder swapped
// for a link while the run goes on (another program racing it) takes no
// later item outside; a name in a folder the run made, which is taken as
// free without a look, is still not replaced unasked when something takes
// it meanwhile, and an item named twice is asked about as before.
TEST(HostileNames, HeldFoldersAndNamesTakenMeanwhile) {
  TempDir root;
  const std::string base = root / "base", elsewhere = root / "elsewhere";
  rtl::CreateDir(base);
  rtl::CreateDir(elsewhere);
  ZipWriter w;
  for (const auto& [name, data] : std::vector<std::pair<std::string, std::string>>{
           {"d/a.txt", "1"}, {"d/b.txt", "2"}, {"n/x.txt", "ours"}, {"n/y.txt", "ours"}, {"m/z.txt", "first"},
           {"m/z.txt", "second"}})
    w.Add(Entry(name, data));
  testutil::WriteFile(root / "a.zip", w.Build());

  TAbUnZipper u;
  u.SetExtractOptions({eoCreateDirs, eoRestorePath});
  std::vector<std::string> failed, asked;
  u.OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem* item, TAbProcessType, TAbErrorClass, int) {
    failed.push_back(item->FileName());
  };
  u.OnConfirmProcessItem = [&](rtl::TObject*, TAbArchiveItem* item, TAbProcessType, bool& confirm) {
    confirm = true;
    if (item->FileName() != "d/b.txt") return;
    ASSERT_EQ(rename((base + "/d").c_str(), (base + "/d.moved").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), (base + "/d").c_str()), 0);
  };
  u.OnArchiveItemProgress = [&](rtl::TObject*, TAbArchiveItem* item, uint8_t, bool& abort) {
    abort = false;
    const std::string name = item->FileName();
    if ((name == "n/x.txt" || name == "n/y.txt") && !fs::exists(base + "/" + name))
      testutil::WriteFile(base + "/" + name, "theirs");
  };
  u.OnConfirmOverwrite = [&](std::string& name, bool& confirm) {
    asked.push_back(name.substr(base.size() + 1));
    confirm = name.find("x.txt") == std::string::npos;
  };
  u.SetFileName(root / "a.zip");
  u.SetBaseDirectory(base);
  u.ExtractFiles("*.*");

  EXPECT_EQ(failed, std::vector<std::string>{});
  EXPECT_EQ(Listing(elsewhere), std::set<std::string>{});
  EXPECT_EQ(testutil::ReadFile(base + "/d.moved/b.txt"), "2");
  EXPECT_EQ(asked, (std::vector<std::string>{"n/x.txt", "n/y.txt", "m/z.txt"}));
  EXPECT_EQ(testutil::ReadFile(base + "/n/x.txt"), "theirs");  // declined
  EXPECT_EQ(testutil::ReadFile(base + "/n/y.txt"), "ours");    // confirmed
  EXPECT_EQ(testutil::ReadFile(base + "/m/z.txt"), "second");
  EXPECT_EQ(Listing(base + "/n"), (std::set<std::string>{"x.txt", "y.txt"}));
}
