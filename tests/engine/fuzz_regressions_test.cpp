// Every input the fuzzers ever found a fault with is kept under
// tests/data/fuzz-regressions/<target>/ and replayed here through the same
// entry point the fuzzer used: the engine must refuse it cleanly (or decode
// it), with no finding, and, in the sanitizer build, with no memory error.
// The settings reader's inputs ("ini") are replayed by the launcher tests,
// which link Qt.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "TestUtil.h"
#include "fuzz/FuzzReplay.h"

namespace fs = std::filesystem;

namespace {

fs::path RegressionRoot() { return fs::path(testutil::DataDir()) / "fuzz-regressions"; }

bool Elsewhere(const std::string& name) {
  const auto& other = arvelofuzz::TargetsOutsideTheEngine();
  return std::find(other.begin(), other.end(), name) != other.end();
}

} // namespace

TEST(FuzzRegressions, EveryFolderNamesATarget) {
  ASSERT_TRUE(fs::is_directory(RegressionRoot()));
  for (const auto& dir : fs::directory_iterator(RegressionRoot())) {
    if (!dir.is_directory()) continue;
    const std::string name = dir.path().filename().string();
    EXPECT_TRUE(arvelofuzz::FindTarget(name) != nullptr || Elsewhere(name)) << name;
  }
}

TEST(FuzzRegressions, StoredFindingsReplayCleanly) {
  int files = 0;
  for (const auto& t : arvelofuzz::Targets()) {
    arvelofuzz::TReplayResult r = arvelofuzz::ReplayFolder(RegressionRoot() / t.Name, t.Entry);
    files += r.Files;
    for (const auto& f : r.Failures) ADD_FAILURE() << t.Name << "/" << f;
  }
  RecordProperty("replayed", files);
}

// The entries themselves: empty and garbage inputs, and real archives, go
// through without a finding. An entry that reported everything as a
// finding (or threw on good data) would show here first.
TEST(FuzzRegressions, EntriesTakeGoodAndBadInputQuietly) {
  for (const auto& t : arvelofuzz::Targets()) {
    SCOPED_TRACE(t.Name);
    EXPECT_NO_THROW(t.Entry(nullptr, 0));
    std::string junk = testutil::SampleText(3000, 7);
    EXPECT_NO_THROW(t.Entry(reinterpret_cast<const uint8_t*>(junk.data()), junk.size()));
  }
  for (const char* name : {"legacy/shrink.zip", "interop/lzma.zip", "interop/deflate64.zip", "interop/ppmd.zip",
                           "interop/symlink.zip", "malformed/invalid_offset.zip"}) {
    std::string zip = testutil::ReadFile(testutil::DataDir() + "/" + name);
    EXPECT_NO_THROW(arvelofuzz::FindTarget("zip_archive")(reinterpret_cast<const uint8_t*>(zip.data()), zip.size()))
        << name;
  }
}
