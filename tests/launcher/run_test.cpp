// Run from the medium, end to end: a medium made by the test, the payload
// packed by zip, the viewer a script that records how it was started; and
// what the temporary folder may hold before a run (a stale run, a file, a
// planted link, a folder that cannot be made safe).
#include <QFrame>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include "MediumFixture.h"
#include "archive/AbMeter.h"
#include "launcher/FileOpsPosix.h"
#include "launcher/PlatformPosix.h"

namespace fs = std::filesystem;
using launcher::TSDIAppForm;
using testutil::Exists;
using testutil::Quote;
using testutil::ReadFile;
using testutil::Shell;
using testutil::TEnv;
using testutil::WriteFile;

namespace {

class RunFlow : public testutil::TMediumTest {
protected:
  // The checks every successful run shares.
  void ExpectViewerStartedFromRunFolder() {
    auto Rec = WaitForRecord();
    ASSERT_TRUE(Rec) << "the viewer was not started";
    ASSERT_EQ(Rec->size(), 3u);
    EXPECT_EQ((*Rec)[0], fs::canonical(RunFolder()).string());
    EXPECT_EQ((*Rec)[1], Medium + "/ebook/Documents/index.html");
    EXPECT_EQ((*Rec)[2], Medium + "/config.ini");
  }
};

} // namespace

TEST_F(RunFlow, ExtractsIntoAFreshRunFolderAndStartsTheViewer) {
  WriteDefaultConfig();
  MakeStandardPayload();
  // Leftovers of an earlier run, nested, some read-only.
  WriteFile(RunFolder() + "/old/deep/stale.txt", "old");
  WriteFile(RunFolder() + "/README", "old readme");
  ::chmod((RunFolder() + "/old/deep").c_str(), 0500);

  auto F = MakeForm();
  F->show();
  QTest::mouseClick(F->Button2, Qt::LeftButton);

  EXPECT_TRUE(Errors.empty()) << Errors.front();
  EXPECT_TRUE(F->TerminateRequested());
  EXPECT_EQ(Terminations, 1);
  EXPECT_EQ(launcher::RunFolder, RunFolder());
  EXPECT_FALSE(Exists(RunFolder() + "/old"));
  EXPECT_EQ(ReadFile(RunFolder() + "/README"), "no extension\n");
  EXPECT_EQ(ReadFile(RunFolder() + "/data/chapter1/page.txt"), "페이지 1\n");
  EXPECT_EQ(launcher::CheckPrivateFolder(RunFolder()), "");
  // Every meter is back at 0 after a finished run.
  EXPECT_EQ(F->AbMeter2->Percent(), 0);
  ExpectViewerStartedFromRunFolder();
}

TEST_F(RunFlow, AFileInPlaceOfTheRunFolderIsReplaced) {
  WriteDefaultConfig();
  MakeStandardPayload();
  WriteFile(RunFolder(), "a file, not a folder");
  auto F = MakeForm();
  F->Dispatch(&TSDIAppForm::Button2Click);
  EXPECT_TRUE(Errors.empty());
  EXPECT_TRUE(launcher::DirectoryExists(RunFolder()));
  ExpectViewerStartedFromRunFolder();
}

TEST_F(RunFlow, APlantedLinkIsRemovedNotFollowed) {
  WriteDefaultConfig();
  MakeStandardPayload();
  // Someone points the run folder at a folder of the user's; emptying the
  // run folder must not empty that one.
  const std::string Victim = Box / "victim";
  WriteFile(Victim + "/precious.txt", "keep me");
  WriteFile(Victim + "/sub/also.txt", "keep me too");
  fs::create_symlink(Victim, RunFolder());

  auto F = MakeForm();
  F->Dispatch(&TSDIAppForm::Button2Click);
  EXPECT_TRUE(Errors.empty());
  EXPECT_EQ(ReadFile(Victim + "/precious.txt"), "keep me");
  EXPECT_EQ(ReadFile(Victim + "/sub/also.txt"), "keep me too");
  EXPECT_FALSE(Exists(Victim + "/README"));
  EXPECT_EQ(launcher::CheckPrivateFolder(RunFolder()), "");
  ExpectViewerStartedFromRunFolder();

  // A dangling link goes the same way.
  fs::remove(Record);
  launcher::DeleteTree(RunFolder());
  fs::create_symlink(Box / "nowhere", RunFolder());
  auto G = MakeForm();
  G->Dispatch(&TSDIAppForm::Button2Click);
  EXPECT_TRUE(Errors.empty());
  EXPECT_FALSE(Exists(Box / "nowhere"));
  ExpectViewerStartedFromRunFolder();
}

TEST_F(RunFlow, LinksInsideAStaleRunAreRemovedNotFollowed) {
  WriteDefaultConfig();
  MakeStandardPayload();
  const std::string Victim = Box / "victim";
  WriteFile(Victim + "/precious.txt", "keep me");
  fs::create_directories(RunFolder() + "/a");
  fs::create_symlink(Victim, RunFolder() + "/a/link-to-folder");
  fs::create_symlink(Victim + "/precious.txt", RunFolder() + "/link-to-file");
  launcher::DeleteTree(RunFolder());
  EXPECT_FALSE(Exists(RunFolder()));
  EXPECT_EQ(ReadFile(Victim + "/precious.txt"), "keep me");
}

TEST_F(RunFlow, AnUnsafeRunFolderStopsTheFlowBeforeExtraction) {
  WriteDefaultConfig();
  MakeStandardPayload();
  // A temporary folder where nothing can be made.
  TEnv T("TEMP", "/proc/self/no-such-folder");
  auto F = MakeForm();
  F->show();
  F->Dispatch(&TSDIAppForm::Button2Click);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0].rfind(launcher::kUnsafeRunFolder, 0), 0u) << Errors[0];
  EXPECT_FALSE(F->TerminateRequested());
  EXPECT_TRUE(F->Panel2->isVisible());
  EXPECT_FALSE(WaitForRecord(1));
}

TEST_F(RunFlow, PrivateFolderCheck) {
  const std::string D = Box / "d";
  ::mkdir(D.c_str(), 0700);
  EXPECT_EQ(launcher::CheckPrivateFolder(D), "");
  ::chmod(D.c_str(), 0770);
  EXPECT_EQ(launcher::CheckPrivateFolder(D), "other users can write to it");
  ::chmod(D.c_str(), 0707);
  EXPECT_EQ(launcher::CheckPrivateFolder(D), "other users can write to it");
  ::chmod(D.c_str(), 0755);
  EXPECT_EQ(launcher::CheckPrivateFolder(D), "");
  if (::geteuid() == 0) {
    // Only the superuser can give a folder away.
    ASSERT_EQ(::chown(D.c_str(), 65534, 65534), 0);
    EXPECT_EQ(launcher::CheckPrivateFolder(D), "it belongs to another user");
  }
  fs::create_symlink(Box / "e", Box / "link");
  ::mkdir((Box / "e").c_str(), 0700);
  EXPECT_EQ(launcher::CheckPrivateFolder(Box / "link"), "it is a symbolic link");
  WriteFile(Box / "f", "x");
  EXPECT_EQ(launcher::CheckPrivateFolder(Box / "f"), "it is not a folder");
  EXPECT_EQ(launcher::CheckPrivateFolder(Box / "missing"), "it could not be created");
}

TEST_F(RunFlow, CloseBoxAndClicksDuringTheFlow) {
  WriteDefaultConfig();
  MakeStandardPayload();
  auto F = MakeForm();
  F->show();
  QApplication::processEvents();
  // Both arrive while the flow runs, through the meters' event processing.
  bool ClosedDuringFlow = false, SecondClickDuringFlow = false;
  QTimer::singleShot(0, F.get(), [&] {
    ClosedDuringFlow = F->Busy();
    F->close();
  });
  QTimer::singleShot(0, F.get(), [&] {
    SecondClickDuringFlow = F->Busy();
    F->Button2->click();
  });
  F->Dispatch(&TSDIAppForm::Button2Click);
  EXPECT_TRUE(ClosedDuringFlow);
  EXPECT_TRUE(SecondClickDuringFlow);
  // The flow ran to its end once: one viewer, one termination.
  EXPECT_TRUE(Errors.empty());
  EXPECT_EQ(Terminations, 1);
  ExpectViewerStartedFromRunFolder();
}

TEST_F(RunFlow, CommandLineRun) {
  WriteDefaultConfig();
  MakeStandardPayload();
  // The launcher's folder is its executable's: it runs from the medium. The
  // mode needs no display at all.
  fs::copy_file(std::string(ARVELO_BIN_DIR) + "/ebook-launcher", Medium + "/ebook-launcher");
  const std::string Env = "env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY TEMP=" + Quote(Temp) + " ";
  const std::string Err = Box / "stderr.txt";
  EXPECT_EQ(Shell(Env + Quote(Medium + "/ebook-launcher") + " --run 2>" + Quote(Err)), 0) << ReadFile(Err);
  ExpectViewerStartedFromRunFolder();

  fs::remove(Medium + "/ebook/ebookRun.qtx");
  EXPECT_EQ(Shell(Env + Quote(Medium + "/ebook-launcher") + " --run 2>" + Quote(Err)), 1);
  EXPECT_NE(ReadFile(Err).find("File not found"), std::string::npos) << ReadFile(Err);

  WriteFile(Medium + "/ebook/ebookRun.qtx", "");
  EXPECT_EQ(Shell(Env + Quote(Medium + "/ebook-launcher") + " --run 2>" + Quote(Err)), 1);
  EXPECT_NE(ReadFile(Err).find("Invalid Stream"), std::string::npos) << ReadFile(Err);

  // The window without a display says what works instead of aborting.
  EXPECT_EQ(Shell(Env + Quote(Medium + "/ebook-launcher") + " 2>" + Quote(Err)), 1);
  EXPECT_NE(ReadFile(Err).find("--run and --install DIR work without one"), std::string::npos) << ReadFile(Err);
}

namespace {

// Records what would be started instead of starting it.
class TRecordingStarter : public launcher::IProgramStarter {
public:
  struct TCall {
    std::string File;
    std::vector<std::string> Args;
    std::string WorkDir;
  };
  std::vector<TCall>& Calls;
  explicit TRecordingStarter(std::vector<TCall>& C) : Calls(C) {}
  void Open(const std::string& File, const std::vector<std::string>& Args, const std::string& WorkDir) override {
    Calls.push_back({File, Args, WorkDir});
  }
};

} // namespace

TEST(LaunchProgram, RelativeAndAbsolutePaths) {
  std::vector<TRecordingStarter::TCall> Calls;
  launcher::TLauncherPlatform P = launcher::MakePosixPlatform();
  P.Starter = std::make_unique<TRecordingStarter>(Calls);
  launcher::AppDir = "/media/cdrom";

  // Relative: from the launcher's folder, parameters dropped.
  launcher::LaunchProgram(P, "ebook.exe", "\"x\"");
  launcher::LaunchProgram(P, "bin/tool", "");
  // Absolute: parameters split the Windows way, the path's own folder.
  launcher::LaunchProgram(P, "/tmp/run/ebook.exe", "\"/media/cd rom/index.html\" \"/media/cd rom/config.ini\"");
  launcher::LaunchProgram(P, "/opt/x", "a  \"b \"\"c\"\"\" d\"e f\"");
  ASSERT_EQ(Calls.size(), 4u);
  EXPECT_EQ(Calls[0].File, "/media/cdrom/ebook.exe");
  EXPECT_TRUE(Calls[0].Args.empty());
  EXPECT_EQ(Calls[0].WorkDir, "/media/cdrom/");
  EXPECT_EQ(Calls[1].File, "/media/cdrom/bin/tool");
  EXPECT_EQ(Calls[1].WorkDir, "/media/cdrom/bin");
  EXPECT_EQ(Calls[2].File, "/tmp/run/ebook.exe");
  EXPECT_EQ(Calls[2].Args, (std::vector<std::string>{"/media/cd rom/index.html", "/media/cd rom/config.ini"}));
  EXPECT_EQ(Calls[2].WorkDir, "/tmp/run");
  EXPECT_EQ(Calls[3].Args, (std::vector<std::string>{"a", "b \"c\"", "de f"}));
  EXPECT_EQ(Calls[3].WorkDir, "/opt");
}
