// Broken and hostile archives through the command line, as a user meets
// them: `arvelo list`, `arvelo test` and `arvelo extract` each end with a
// clear message and one of the documented exit codes (0 all good, 1 items
// skipped, 2 a damaged item, 3 the archive could not be read), never a
// crash or a hang, and
// extraction writes nothing outside its target folder.
#include <gtest/gtest.h>

#include <map>

#include "HostileZip.h"
#include "rtl/FileSys.h"

namespace fs = std::filesystem;
using testutil::TempDir;

namespace {

// Runs the tool with a time limit; -1 for a crash, 124 for a hang.
int Arvelo(const std::string& args, std::string* out) {
  return testutil::Run("timeout 120 " + testutil::Quote(testutil::ArveloBin()) + " " + args, out);
}

std::map<std::string, std::string> Snapshot(const std::string& root, const std::string& skip) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->path().string() == skip) {
      it.disable_recursion_pending();
      continue;
    }
    out[fs::relative(it->path(), root).string()] =
        it->is_symlink() ? "link" : it->is_directory() ? "dir" : testutil::ReadFile(it->path().string());
  }
  return out;
}

// Every output line the tool writes on a failure starts with "arvelo: ".
void ExpectCleanOutcome(const std::string& what, int rc, const std::string& out) {
  EXPECT_TRUE(rc == 0 || rc == 1 || rc == 2 || rc == 3 || rc == 51) << what << " rc=" << rc << "\n" << out;
  if (rc != 0) {
    EXPECT_NE(out.find("arvelo: "), std::string::npos) << what << "\n" << out;
  }
  EXPECT_EQ(out.find("terminate called"), std::string::npos) << what << "\n" << out;
}

void AllThreeCommands(const std::string& archive, const std::string& label) {
  SCOPED_TRACE(label);
  std::string out;
  int rc = Arvelo("list " + testutil::Quote(archive), &out);
  ExpectCleanOutcome("list", rc, out);
  rc = Arvelo("test -q -p pw " + testutil::Quote(archive), &out);
  ExpectCleanOutcome("test", rc, out);

  TempDir root;
  const std::string target = root / "a/b/c/out";
  fs::create_directories(target);
  testutil::WriteFile(root / "a/keep.txt", "kept");
  const auto before = Snapshot(root.Path(), target);
  rc = Arvelo("extract -q -p pw -d " + testutil::Quote(target) + " " + testutil::Quote(archive), &out);
  ExpectCleanOutcome("extract", rc, out);
  EXPECT_EQ(Snapshot(root.Path(), target), before);
}

} // namespace

TEST(MalformedCli, EveryMalformedArchiveEndsCleanlyInEveryCommand) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(testutil::DataDir() + "/malformed")) {
    AllThreeCommands(entry.path().string(), entry.path().filename().string());
    ++n;
  }
  EXPECT_GE(n, 8);
}

TEST(MalformedCli, HostileArchivesFailTheirItemsWithAMessage) {
  using namespace hostile;
  TempDir dir;
  // Two entries on one local header, a name that climbs out, a size lie and
  // one good item: the good item is extracted, the others are reported.
  testutil::ZipWriter w;
  for (const auto& [name, data] : {std::pair<std::string, std::string>{"good.txt", "good"}, {"first.txt", "first"},
                                   {"shared.txt", "shared"}, {"../../../../../escape.txt", "evil"},
                                   {"liar.txt", "a longer text than declared"}}) {
    testutil::ZipEntry e;
    e.name = name;
    e.data = data;
    w.Add(e);
  }
  std::string zip = w.Build();
  Layout l(zip);
  Set32(zip, l.central[2] + kCdLocalOffset, static_cast<uint32_t>(l.local[1]));
  SetBoth(zip, l, 4, kCdUncompressed, kLhUncompressed, 5);
  testutil::WriteFile(dir / "hostile.zip", zip);
  AllThreeCommands(dir / "hostile.zip", "hostile.zip");

  std::string out;
  fs::create_directories(dir / "x/y/z/w/v/out");
  EXPECT_EQ(Arvelo("extract -q -d " + testutil::Quote(dir / "x/y/z/w/v/out") + " " + testutil::Quote(dir / "hostile.zip"), &out), 2);
  EXPECT_EQ(testutil::ReadFile(dir / "x/y/z/w/v/out/good.txt"), "good");
  EXPECT_NE(out.find("arvelo: first.txt: Invalid file - not a PKZip file"), std::string::npos) << out;
  EXPECT_NE(out.find("arvelo: shared.txt: Invalid file - not a PKZip file"), std::string::npos) << out;
  EXPECT_NE(out.find("arvelo: ../../../../../escape.txt: "), std::string::npos) << out;
  EXPECT_NE(out.find("arvelo: liar.txt: "), std::string::npos) << out;
  EXPECT_FALSE(rtl::FileExists(dir / "escape.txt"));
  EXPECT_FALSE(rtl::FileExists(dir / "x/y/z/w/v/out/shared.txt"));
  EXPECT_LE(rtl::FileSizeOf(dir / "x/y/z/w/v/out/liar.txt"), 5);
}
