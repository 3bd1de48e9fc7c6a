// The installation's copy: Windows wildcard rules, the replace questions,
// cancelling, and a medium that holds links, pipes or a destination inside
// itself.
#include <gtest/gtest.h>

#include <deque>
#include <fcntl.h>
#include <sys/stat.h>

#include "TestUtil.h"
#include "launcher/ShellCopyPosix.h"

using launcher::MatchesMask;
using launcher::TReplaceAnswer;
using testutil::Exists;
using testutil::ReadFile;
using testutil::TSandbox;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

// Answers questions from a script and can cancel after some progress.
class TScriptedUi : public launcher::ICopyUi {
public:
  std::deque<TReplaceAnswer> Answers;
  std::vector<std::string> Asked, Errors;
  int CancelAfter = -1;
  int ProgressCalls = 0;
  int64_t Total = -1;

  void Begin(int64_t TotalBytes, int64_t) override { Total = TotalBytes; }
  bool Progress(const std::string&, int64_t) override { return CancelAfter < 0 || ++ProgressCalls <= CancelAfter; }
  TReplaceAnswer ConfirmReplace(const std::string& Target) override {
    Asked.push_back(Target.substr(Target.rfind('/') + 1));
    if (Answers.empty()) return TReplaceAnswer::raCancel;
    auto A = Answers.front();
    Answers.pop_front();
    return A;
  }
  void ShowError(const std::string& Text) override { Errors.push_back(Text); }
  void End() override {}
};

int32_t Copy(const std::string& Pattern, const std::string& Dest, launcher::ICopyUi& Ui) {
  launcher::TPosixFileCopier C;
  return C.Copy(Pattern, Dest, Ui);
}

} // namespace

TEST(CopyMask, WindowsWildcardRules) {
  EXPECT_TRUE(MatchesMask("README", "*.*"));
  EXPECT_TRUE(MatchesMask(".hidden", "*.*"));
  EXPECT_TRUE(MatchesMask("CONFIG.INI", "*.ini"));
  EXPECT_TRUE(MatchesMask("Config.Ini", "*.INI"));
  EXPECT_FALSE(MatchesMask("config.ini.bak", "*.ini"));
  EXPECT_FALSE(MatchesMask("configini", "*.ini"));
  // The trailing ".*" also takes names without a dot.
  EXPECT_TRUE(MatchesMask("dist", "dist*.*"));
  EXPECT_TRUE(MatchesMask("distro.txt", "dist*.*"));
  EXPECT_FALSE(MatchesMask("adist", "dist*.*"));
  EXPECT_TRUE(MatchesMask("a.txt", "?.txt"));
  EXPECT_FALSE(MatchesMask("ab.txt", "?.txt"));
  EXPECT_TRUE(MatchesMask("Makefile", "*."));
  EXPECT_FALSE(MatchesMask("a.b", "*."));
  EXPECT_TRUE(MatchesMask("ÄRGER.TXT", "är*.txt"));
  EXPECT_TRUE(MatchesMask("학습지도서.ini", "학습*.INI"));
  EXPECT_TRUE(MatchesMask("aaaaaaaaaaaaaaaaaaaaaaaaaaab", "*a*a*a*a*b"));
  EXPECT_FALSE(MatchesMask("aaaaaaaaaaaaaaaaaaaaaaaaaaaa", "*a*a*a*a*b"));
}

TEST(Copy, CopiesTreesKeepsModesAndCopiesLinksAsLinks) {
  TSandbox Box;
  const std::string Src = Box / "medium", Dst = Box / "target";
  WriteFile(Src + "/config.ini", "[Settings]\n");
  WriteFile(Src + "/main.exe", "#!/bin/sh\n");
  ::chmod((Src + "/main.exe").c_str(), 04755);  // set-id bits never travel
  WriteFile(Src + "/ebook/Documents/index.html", "<html/>");
  WriteFile(Box / "outside/secret.txt", "secret");
  fs::create_symlink("../outside", Src + "/ebook/to-outside");
  fs::create_symlink("config.ini", Src + "/alias.ini");
  ASSERT_EQ(::mkfifo((Src + "/pipe").c_str(), 0600), 0);  // never opened: would block
  struct timespec Old[2] = {{1000000000, 0}, {1000000000, 0}};
  ::utimensat(AT_FDCWD, (Src + "/config.ini").c_str(), Old, 0);
  fs::create_directories(Dst);

  TScriptedUi Ui;
  ASSERT_EQ(Copy(Src + "/*.*", Dst, Ui), 0);
  EXPECT_TRUE(Ui.Errors.empty());
  EXPECT_EQ(Ui.Total, 11 + 10 + 7);
  EXPECT_EQ(ReadFile(Dst + "/ebook/Documents/index.html"), "<html/>");
  EXPECT_EQ(fs::read_symlink(Dst + "/ebook/to-outside"), "../outside");
  EXPECT_EQ(fs::read_symlink(Dst + "/alias.ini"), "config.ini");
  EXPECT_FALSE(Exists(Dst + "/pipe"));
  struct stat St {};
  ASSERT_EQ(::stat((Dst + "/main.exe").c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat((Dst + "/config.ini").c_str(), &St), 0);
  EXPECT_EQ(St.st_mtim.tv_sec, 1000000000);

  // Only the *.ini entries the second time, links among them as links.
  const std::string Dst2 = Box / "target2";
  fs::create_directories(Dst2);
  ASSERT_EQ(Copy(Src + "/*.ini", Dst2, Ui), 0);
  std::vector<std::string> Names;
  for (auto& E : fs::directory_iterator(Dst2)) Names.push_back(E.path().filename().string());
  std::sort(Names.begin(), Names.end());
  EXPECT_EQ(Names, (std::vector<std::string>{"alias.ini", "config.ini"}));
}

TEST(Copy, ReplaceQuestionsAndCancel) {
  TSandbox Box;
  const std::string Src = Box / "medium", Dst = Box / "target";
  for (const char* N : {"a.txt", "b.txt", "c.txt", "d.txt"}) {
    WriteFile(Src + "/" + N, std::string("new ") + N);
    WriteFile(Dst + "/" + N, std::string("old ") + N);
  }
  // Yes, No, then Yes to all: a, c and d replaced, b kept, two questions
  // fewer than files.
  TScriptedUi Ui;
  Ui.Answers = {TReplaceAnswer::raYes, TReplaceAnswer::raNo, TReplaceAnswer::raYesToAll};
  ASSERT_EQ(Copy(Src + "/*.*", Dst, Ui), 0);
  EXPECT_EQ(Ui.Asked, (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  EXPECT_EQ(ReadFile(Dst + "/a.txt"), "new a.txt");
  EXPECT_EQ(ReadFile(Dst + "/b.txt"), "old b.txt");
  EXPECT_EQ(ReadFile(Dst + "/d.txt"), "new d.txt");

  // Cancel at the question: non-zero, the file kept.
  WriteFile(Dst + "/a.txt", "old a.txt");
  TScriptedUi Ui2;
  Ui2.Answers = {TReplaceAnswer::raCancel};
  EXPECT_EQ(Copy(Src + "/*.*", Dst, Ui2), launcher::kCopyCancelled);
  EXPECT_EQ(ReadFile(Dst + "/a.txt"), "old a.txt");

  // Cancel in the progress window in the middle of a large file: no part of
  // it is left, and what it would have replaced stays.
  WriteFile(Src + "/big.bin", std::string(3 << 20, 'x'));
  WriteFile(Dst + "/big.bin", "old big");
  TScriptedUi Ui3;
  Ui3.Answers = {TReplaceAnswer::raYesToAll};
  Ui3.CancelAfter = 3;
  EXPECT_EQ(Copy(Src + "/big*.*", Dst, Ui3), launcher::kCopyCancelled);
  EXPECT_EQ(ReadFile(Dst + "/big.bin"), "old big");
  for (auto& E : fs::directory_iterator(Dst))
    EXPECT_EQ(E.path().filename().string().find(".part-"), std::string::npos) << E.path();
}

TEST(Copy, NeverWritesThroughALinkAtTheDestination) {
  TSandbox Box;
  const std::string Src = Box / "medium", Dst = Box / "target";
  WriteFile(Src + "/config.ini", "from the medium");
  WriteFile(Box / "victim.txt", "keep me");
  fs::create_directories(Dst);
  fs::create_symlink(Box / "victim.txt", Dst + "/config.ini");
  TScriptedUi Ui;
  Ui.Answers = {TReplaceAnswer::raYes};
  ASSERT_EQ(Copy(Src + "/*.*", Dst, Ui), 0);
  EXPECT_EQ(ReadFile(Box / "victim.txt"), "keep me");
  EXPECT_FALSE(fs::is_symlink(Dst + "/config.ini"));
  EXPECT_EQ(ReadFile(Dst + "/config.ini"), "from the medium");
}

TEST(Copy, FailuresGiveNonZeroCodes) {
  TSandbox Box;
  const std::string Src = Box / "medium";
  WriteFile(Src + "/ebook/x.txt", "x");
  WriteFile(Src + "/a.txt", "a");

  // A destination inside the medium would be copied into itself for ever.
  TScriptedUi Ui;
  fs::create_directories(Src + "/ebook/install");
  EXPECT_EQ(Copy(Src + "/*.*", Src + "/ebook/install", Ui), launcher::kCopyDestInsideSource);
  EXPECT_TRUE(fs::is_empty(Src + "/ebook/install"));
  EXPECT_EQ(Ui.Errors.size(), 1u);
  fs::remove(Src + "/ebook/install");

  // A file where the copy needs a folder.
  const std::string Dst = Box / "target";
  WriteFile(Dst + "/ebook", "in the way");
  TScriptedUi Ui2;
  EXPECT_NE(Copy(Src + "/*.*", Dst, Ui2), 0);
  EXPECT_EQ(Ui2.Errors.size(), 1u);

  // The same file as source and destination.
  TScriptedUi Ui3;
  Ui3.Answers = {TReplaceAnswer::raYesToAll};
  EXPECT_EQ(Copy(Src + "/a.txt", Src, Ui3), launcher::kCopySameFile);
  EXPECT_EQ(ReadFile(Src + "/a.txt"), "a");

  // No source folder at all.
  TScriptedUi Ui4;
  EXPECT_EQ(Copy(Box / "nothing/*.*", Dst, Ui4), launcher::kCopyNoSource);
}
