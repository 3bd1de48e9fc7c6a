// Every input the fuzzers ever found a fault with is kept under
// tests/data/fuzz-regressions/<target>/ and replayed here through the same
// entry point the fuzzer used: the engine must refuse it cleanly (or decode
// it), with no finding, and, in the sanitizer build, with no memory error.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "TestUtil.h"
#include "fuzz/FuzzEntries.h"

namespace fs = std::filesystem;

namespace {

fs::path RegressionRoot() { return fs::path(testutil::DataDir()) / "fuzz-regressions"; }

std::vector<fs::path> SortedEntries(const fs::path& dir) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

} // namespace

TEST(FuzzRegressions, EveryFolderNamesATarget) {
  ASSERT_TRUE(fs::is_directory(RegressionRoot()));
  for (const auto& dir : SortedEntries(RegressionRoot())) {
    if (!fs::is_directory(dir)) continue;
    EXPECT_NE(arvelofuzz::FindTarget(dir.filename().string()), nullptr) << dir;
  }
}

TEST(FuzzRegressions, StoredFindingsReplayCleanly) {
  int replayed = 0;
  for (const auto& dir : SortedEntries(RegressionRoot())) {
    arvelofuzz::TFuzzEntry entry = fs::is_directory(dir) ? arvelofuzz::FindTarget(dir.filename().string()) : nullptr;
    if (!entry) continue;
    for (const auto& file : SortedEntries(dir)) {
      if (!fs::is_regular_file(file) || file.filename().string()[0] == '.') continue;
      SCOPED_TRACE(file.string());
      std::string data = testutil::ReadFile(file.string());
      EXPECT_NO_THROW(entry(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
      ++replayed;
    }
  }
  RecordProperty("replayed", replayed);
}

// The entries themselves: a clean input decodes, an empty or a garbage one
// is refused without a finding. This keeps the replay honest: an entry that
// threw on everything, or swallowed findings, would show here.
TEST(FuzzRegressions, EntriesAcceptGoodAndRefuseBadInputQuietly) {
  for (const auto& t : arvelofuzz::Targets()) {
    SCOPED_TRACE(t.Name);
    EXPECT_NO_THROW(t.Entry(nullptr, 0));
    std::string junk = testutil::SampleText(3000, 7);
    EXPECT_NO_THROW(t.Entry(reinterpret_cast<const uint8_t*>(junk.data()), junk.size()));
  }
  for (const char* name : {"legacy/shrink.zip", "interop/lzma.zip", "interop/deflate64.zip", "interop/ppmd.zip"}) {
    std::string zip = testutil::ReadFile(testutil::DataDir() + "/" + name);
    EXPECT_NO_THROW(arvelofuzz::FindTarget("zip_archive")(reinterpret_cast<const uint8_t*>(zip.data()), zip.size()))
        << name;
  }
}
