// Installation end to end in a sandboxed home with its own XDG folders: the
// copy of the medium, the payload beside it, the shortcuts, the second copy
// of the settings, the installed program started; and the ways it stops.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>

#include "MediumFixture.h"

using launcher::TReplaceAnswer;
using launcher::TSDIAppForm;
using testutil::Exists;
using testutil::Quote;
using testutil::ReadFile;
using testutil::Shell;
using testutil::TEnv;
using testutil::TQuietCopyUi;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

class Install : public testutil::TMediumTest {
protected:
  Install() {
    WriteDefaultConfig();
    WriteFile(Medium + "/readme.ini", "[about]\n");
    WriteFile(Medium + "/main.exe", ViewerScript());
    ::chmod((Medium + "/main.exe").c_str(), 0755);
    MakeStandardPayload();
    fs::create_directories(Home + "/Desktop");
  }

  std::unique_ptr<launcher::TQtAppForm> Open(bool CancelCopy = false) {
    auto F = MakeForm();
    F->OnMakeCopyUi = [CancelCopy] { return std::make_unique<TQuietCopyUi>(CancelCopy); };
    F->show();
    QTest::mouseClick(F->Button1, Qt::LeftButton);
    return F;
  }

  std::string Dir() const { return Home + "/ebook/국어"; }
  std::string DesktopEntry() const { return Home + "/Desktop/국어 학습지도서.desktop"; }
  std::string MenuEntry() const { return Home + "/.local/share/applications/국어 학습지도서.desktop"; }
};

} // namespace

TEST_F(Install, CopiesExtractsMakesShortcutsAndStartsTheProgram) {
  auto F = Open();
  ASSERT_EQ(F->txtPath->text().toStdString(), Dir());
  QTest::mouseClick(F->btnCopyStart, Qt::LeftButton);

  EXPECT_TRUE(Errors.empty()) << Errors.front();
  EXPECT_TRUE(Messages.empty()) << Messages.front();
  EXPECT_EQ(Terminations, 1);
  // The medium's root, the payload beside it, the settings twice.
  EXPECT_EQ(ReadFile(Dir() + "/ebook/Documents/index.html"), ReadFile(Medium + "/ebook/Documents/index.html"));
  EXPECT_TRUE(Exists(Dir() + "/ebook/ebookRun.qtx"));
  EXPECT_EQ(ReadFile(Dir() + "/ebook/data/chapter1/page.txt"), "페이지 1\n");
  EXPECT_EQ(ReadFile(Dir() + "/ebook/config.ini"), ReadFile(Medium + "/config.ini"));
  EXPECT_TRUE(Exists(Dir() + "/ebook/readme.ini"));
  EXPECT_FALSE(Exists(Dir() + "/ebook/main.exe"));
  EXPECT_EQ(launcher::CopySource, Medium + "/*.ini");

  // Both shortcuts, named after the title, described by the target.
  for (const std::string& E : {DesktopEntry(), MenuEntry()}) {
    SCOPED_TRACE(E);
    const std::string Text = ReadFile(E);
    EXPECT_NE(Text.find("Exec=" + Dir() + "/main.exe\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("Path=" + Dir() + "/\n"), std::string::npos) << Text;
    EXPECT_NE(Text.find("Comment=국어\n"), std::string::npos) << Text;
  }

  // The installed program, started in its own folder without arguments.
  auto Rec = WaitForRecord();
  ASSERT_TRUE(Rec);
  EXPECT_EQ(*Rec, std::vector<std::string>{Dir()});
}

TEST_F(Install, ClearedBoxesMakeNoShortcuts) {
  auto F = Open();
  F->chkDesktop->setChecked(false);
  F->chkStartmenu->setChecked(false);
  F->Dispatch(&TSDIAppForm::btnCopyStartClick);
  EXPECT_TRUE(Errors.empty());
  EXPECT_EQ(Terminations, 1);
  EXPECT_FALSE(Exists(DesktopEntry()));
  EXPECT_FALSE(Exists(MenuEntry()));
  EXPECT_TRUE(WaitForRecord());
}

TEST_F(Install, ACancelledCopyStillExtractsThenReportsTheSourcePattern) {
  auto F = Open(/*CancelCopy=*/true);
  F->Dispatch(&TSDIAppForm::btnCopyStartClick);
  EXPECT_TRUE(Errors.empty());
  ASSERT_EQ(Messages.size(), 1u);
  // The pattern carries its separator: the launcher's folder, then the mask.
  EXPECT_EQ(Messages[0], "설치하지 못했습니다. 다시 시도하세요.\r\nCode:" + Medium + "/*.*");
  EXPECT_EQ(ReadFile(Dir() + "/ebook/data/chapter1/page.txt"), "페이지 1\n");
  EXPECT_FALSE(Exists(Dir() + "/config.ini"));
  EXPECT_FALSE(Exists(DesktopEntry()));
  EXPECT_FALSE(F->TerminateRequested());
  EXPECT_TRUE(F->Panel1->isVisible());
  EXPECT_FALSE(WaitForRecord(1));

  // A second attempt repeats everything and succeeds.
  F->OnMakeCopyUi = [] { return std::make_unique<TQuietCopyUi>(false); };
  F->Dispatch(&TSDIAppForm::btnCopyStartClick);
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Terminations, 1);
  EXPECT_TRUE(Exists(DesktopEntry()));
}

TEST_F(Install, PathsThatNameNoFolderStopBeforeCopying) {
  auto F = Open();
  F->txtPath->setText("");
  F->Dispatch(&TSDIAppForm::btnCopyStartClick);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "The path format is not supported");
  F->txtPath->setText(QString::fromStdString(Home + "/" + std::string(300, 'x')));
  F->Dispatch(&TSDIAppForm::btnCopyStartClick);
  ASSERT_EQ(Errors.size(), 2u);
  EXPECT_EQ(Errors[1], "The specified path is too long");
  EXPECT_FALSE(Exists(Home + "/ebook"));
  EXPECT_FALSE(F->TerminateRequested());
}

TEST_F(Install, APayloadFailureEndsTheFlowAfterTheCopy) {
  fs::remove(Medium + "/ebook/ebookRun.qtx");
  auto F = Open();
  F->Dispatch(&TSDIAppForm::btnCopyStartClick);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "File not found");
  EXPECT_TRUE(Messages.empty());
  EXPECT_TRUE(Exists(Dir() + "/config.ini"));  // what was copied stays
  EXPECT_FALSE(Exists(DesktopEntry()));
  EXPECT_FALSE(F->TerminateRequested());
}

TEST_F(Install, CommandLineInstall) {
  fs::copy_file(std::string(ARVELO_BIN_DIR) + "/ebook-launcher", Medium + "/ebook-launcher");
  const std::string Env = "env QT_QPA_PLATFORM=offscreen HOME=" + Quote(Home) + " ";
  const std::string Err = Box / "stderr.txt";
  const std::string Target = Box / "installed";
  EXPECT_EQ(Shell(Env + Quote(Medium + "/ebook-launcher") + " --install " + Quote(Target) + " --no-desktop 2>" +
                  Quote(Err)),
            0)
      << ReadFile(Err);
  EXPECT_TRUE(Exists(Target + "/ebook-launcher"));
  EXPECT_TRUE(Exists(Target + "/ebook/config.ini"));
  EXPECT_FALSE(Exists(DesktopEntry()));
  EXPECT_TRUE(Exists(MenuEntry()));
  auto Rec = WaitForRecord();
  ASSERT_TRUE(Rec);
  EXPECT_EQ(*Rec, std::vector<std::string>{Target});

  // From a hard disk the window offers no installation, but the command is
  // an explicit request and installs all the same.
  EXPECT_EQ(Shell("env EBOOK_LAUNCHER_MEDIUM=other " + Env + Quote(Medium + "/ebook-launcher") + " --install " +
                  Quote(Box / "elsewhere") + " --no-desktop --no-startmenu 2>" + Quote(Err)),
            0);
  EXPECT_TRUE(Exists(Box / "elsewhere/ebook/config.ini"));
  // A relative DIR counts from the current folder, not the medium's.
  EXPECT_EQ(Shell("cd " + Quote(Box / ".") + " && env EBOOK_LAUNCHER_MEDIUM=other " + Env + Quote(Medium + "/ebook-launcher") +
                  " --install relative --no-desktop --no-startmenu 2>" + Quote(Err)),
            0)
      << ReadFile(Err);
  EXPECT_TRUE(Exists(Box / "relative/ebook/config.ini"));
  EXPECT_EQ(Shell(Env + Quote(Medium + "/ebook-launcher") + " --bogus 2>/dev/null"), 2);
}

TEST_F(Install, AKoreanMediumReadsRightUnderAnEnglishLocale) {
  // Settings saved by Notepad on a Korean Windows (CP949, no mark) and a
  // payload whose names are CP949 bytes without any Unicode mark, read on a
  // machine whose locale names no legacy code page.
  TEnv Lang("LANG", "C.UTF-8"), All("LC_ALL", std::nullopt), Ctype("LC_CTYPE", std::nullopt),
      Ansi("ARVELO_ANSI_CODEPAGE", std::nullopt), Oem("ARVELO_OEM_CODEPAGE", std::nullopt);
  ASSERT_EQ(Shell("printf '[Settings]\\r\\ntitle=국어 학습지도서\\r\\nexe=main.exe\\r\\ntarget=국어\\r\\n' | iconv -f UTF-8 "
                  "-t CP949 > " + Quote(Medium + "/config.ini")),
            0);
  const std::string Stage = Box / "stage-cp949";
  WriteFile(Stage + "/ebook.exe", ViewerScript());
  const std::string Name = "\xC2\xF7\xB7\xCA.txt";  // "차례.txt" in CP949
  WriteFile(Stage + "/" + Name, "contents\n");
  fs::remove(Medium + "/ebook/ebookRun.qtx");
  ASSERT_EQ(Shell("cd " + Quote(Stage) + " && LC_ALL=C zip -q -r -P '3716%^&*' " +
                  Quote(Medium + "/ebook/ebookRun.qtx") + " ."),
            0);

  auto F = Open();
  EXPECT_EQ(F->windowTitle().toStdString(), "국어 학습지도서");
  EXPECT_EQ(F->txtPath->text().toStdString(), Dir());
  F->Dispatch(&TSDIAppForm::btnCopyStartClick);
  EXPECT_TRUE(Errors.empty()) << Errors.front();
  EXPECT_EQ(ReadFile(Dir() + "/ebook/차례.txt"), "contents\n");
  EXPECT_TRUE(Exists(DesktopEntry()));
  EXPECT_TRUE(Exists(MenuEntry()));
}
