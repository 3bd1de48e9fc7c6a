// The settings reader's fuzz findings, replayed through the fuzz target's
// own entry (the engine tests replay the other targets' findings).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fuzz/FuzzReplay.h"

TEST(IniFuzzRegressions, StoredFindingsReplayCleanly) {
  arvelofuzz::TFuzzEntry entry = arvelofuzz::FindTarget("ini");
  ASSERT_NE(entry, nullptr);
  const std::filesystem::path folder = std::filesystem::path(ARVELO_TEST_DATA) / "fuzz-regressions" / "ini";
  arvelofuzz::TReplayResult r = arvelofuzz::ReplayFolder(folder, entry);
  for (const auto& f : r.Failures) ADD_FAILURE() << f;
  // A few settings files of every encoding the reader knows go through too.
  for (std::string text : {std::string("[Settings]\ntitle=T\n"), std::string("\xEF\xBB\xBF[settings]\r\nEXE = \"a b\"\r\n"),
                           std::string("\xFF\xFE[\0S\0]\0", 8), std::string("[Settings]\ntitle=\xC7\xD1\n")})
    EXPECT_NO_THROW(entry(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}
