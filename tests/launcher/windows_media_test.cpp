// A medium made for Windows, played on Linux: a CP949 settings file with
// backslash paths and a title holding one, a payload packed without modes
// whose viewer is a Windows program. Wine and the desktop's opener are
// stand-ins on the PATH that record how they were called.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "MediumFixture.h"
#include "launcher/DesktopEntryPosix.h"
#include "launcher/ProgramStartPosix.h"
#include "rtl/SysUtils.h"

using launcher::TReplaceAnswer;
using launcher::TSDIAppForm;
using testutil::Exists;
using testutil::Quote;
using testutil::ReadFile;
using testutil::TEnv;
using testutil::TQuietCopyUi;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

// The smallest file the system takes for a Windows program: a DOS header
// pointing at the PE signature and an i386 file header.
std::string PeImage() {
  std::string B(0x40, '\0');
  B[0] = 'M';
  B[1] = 'Z';
  B[0x3C] = 0x40;
  B += std::string("PE\0\0", 4) + "\x4c\x01" + std::string(18, '\0');
  return B;
}

class WindowsMedia : public testutil::TMediumTest {
protected:
  WindowsMedia() {
    // 국어\1학년 in CP949, lines ended the Windows way.
    const std::string Korean = "\xb1\xb9\xbe\xee", Grade = "1\xc7\xd0\xb3\xe2";
    WriteConfig("[Settings]\r\ntitle=" + Korean + "\\" + Grade + "\r\nexe=ebook\\ebook.exe\r\ntarget=" + Korean +
                "\\" + Grade + "\r\n");
    const std::string Stage = Box / "stage";
    WriteFile(Stage + "/ebook.exe", PeImage());
    ::chmod((Stage + "/ebook.exe").c_str(), 0644);
    WriteFile(Stage + "/data/page.txt", "페이지\n");
    MakePayload(Stage);
    fs::create_directories(Home + "/Desktop");
    fs::create_directories(Bin);
    WriteFile(Bin + "/xdg-open", ViewerScript());
    ::chmod((Bin + "/xdg-open").c_str(), 0755);
  }

  void InstallWine() {
    WriteFile(Bin + "/wine", ViewerScript());
    ::chmod((Bin + "/wine").c_str(), 0755);
  }

  std::unique_ptr<launcher::TQtAppForm> Open() {
    auto F = MakeForm();
    F->OnMakeCopyUi = [] { return std::make_unique<TQuietCopyUi>(); };
    return F;
  }

  std::vector<std::string> Started() {
    auto Rec = WaitForRecord();
    if (!Rec) return {"nothing was started"};
    fs::remove(Record);
    return *Rec;
  }

  std::string Bin = Box / "bin";
};

} // namespace

TEST_F(WindowsMedia, InstallsWithBackslashPathsAndStartsTheProgramThroughWine) {
  InstallWine();
  const std::string Dir = Box / "inst";
  {
    auto F = Open();
    // The target's separator is this system's; the title names no shortcut.
    EXPECT_EQ(launcher::LaunchConfig.exe, "ebook/ebook.exe");
    EXPECT_EQ(F->txtPath->text().toStdString(), Home + "/ebook/국어/1학년");
    F->txtPath->setText(QString::fromStdString(Dir));
    TEnv Path("PATH", Bin + ":/usr/bin:/bin");
    F->Dispatch(&TSDIAppForm::btnCopyStartClick);
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    EXPECT_EQ(Terminations, 1);
  }
  EXPECT_EQ(Started(), (std::vector<std::string>{Dir + "/ebook", Dir + "/ebook/ebook.exe"}));
  EXPECT_EQ(ReadFile(Dir + "/ebook/data/page.txt"), "페이지\n");
  // A title Windows refuses as a file name makes no shortcut here either,
  // neither in a sub-folder nor under a name with a backslash.
  EXPECT_TRUE(fs::is_empty(Home + "/Desktop"));
  EXPECT_FALSE(Exists(Home + "/.local/share/applications/국어"));
  EXPECT_FALSE(Exists(Home + "/.local/share/applications/국어\\1학년.desktop"));

  // Without Wine the installed e-book's index page is what opens.
  fs::remove(Bin + "/wine");
  const std::string Dir2 = Box / "inst2";
  auto F = Open();
  F->txtPath->setText(QString::fromStdString(Dir2));
  TEnv Path("PATH", Bin);
  F->Dispatch(&TSDIAppForm::btnCopyStartClick);
  EXPECT_TRUE(Errors.empty()) << Errors.front();
  EXPECT_EQ(Started(), (std::vector<std::string>{Dir2 + "/ebook", Dir2 + "/ebook/Documents/index.html"}));
}

// A shortcut starts what the launcher would start: the Windows program
// through the Wine loader found now (WINE first, then wine, then wine64), and
// its index page where there is none, even when the program carries an exec
// bit.
TEST_F(WindowsMedia, ShortcutsToAWindowsProgramGoThroughWineOrToItsIndexPage) {
  const std::string Prog = Box / "inst/ebook/ebook.exe", Page = Box / "inst/ebook/Documents/index.html";
  WriteFile(Prog, PeImage());
  ::chmod(Prog.c_str(), 0755);
  const auto ExecOf = [&] {
    const std::string T = launcher::DesktopEntryText({Prog, "--page 3", "", "", Page}, "N");
    const size_t At = T.find("Exec=");
    return T.substr(At + 5, T.find('\n', At) - At - 5);
  };
  TEnv Path("PATH", Bin), NoWine("WINE", std::nullopt);
  EXPECT_EQ(ExecOf(), "xdg-open " + Page);
  WriteFile(Bin + "/wine64", "#!/bin/sh\n");
  ::chmod((Bin + "/wine64").c_str(), 0755);
  EXPECT_EQ(ExecOf(), Bin + "/wine64 " + Prog + " --page 3");
  InstallWine();
  EXPECT_EQ(ExecOf(), Bin + "/wine " + Prog + " --page 3");
  TEnv Named("WINE", "wine64");
  EXPECT_EQ(ExecOf(), Bin + "/wine64 " + Prog + " --page 3");
  TEnv Missing("WINE", Box / "nowhere/wine");
  EXPECT_EQ(ExecOf(), "xdg-open " + Page);
}

TEST_F(WindowsMedia, AWindowsViewerRunsThroughWineOrItsIndexPageOpens) {
  const std::string Index = Medium + "/ebook/Documents/index.html", Ini = Medium + "/config.ini";
  const std::string Canonical = [&] {
    fs::create_directories(RunFolder());
    return fs::canonical(RunFolder()).string();
  }();
  InstallWine();
  {
    TEnv Path("PATH", Bin + ":/usr/bin:/bin");
    auto F = Open();
    F->Dispatch(&TSDIAppForm::Button2Click);
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    EXPECT_EQ(Started(), (std::vector<std::string>{Canonical, RunFolder() + "/ebook.exe", Index, Ini}));
  }
  fs::remove(Bin + "/wine");
  {
    TEnv Path("PATH", Bin);
    auto F = Open();
    F->Dispatch(&TSDIAppForm::Button2Click);
    EXPECT_TRUE(Errors.empty()) << Errors.front();
    EXPECT_EQ(Started(), (std::vector<std::string>{Canonical, Index}));
  }
  // With neither, the flow says so and the window stays.
  fs::remove(Bin + "/xdg-open");
  TEnv Path("PATH", Bin);
  auto F = Open();
  F->Dispatch(&TSDIAppForm::Button2Click);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("neither Wine nor a desktop opener"), std::string::npos) << Errors[0];
  EXPECT_EQ(Terminations, 2);
}

TEST(ProgramStart, ProgramsWithoutPermissionToRunStartAsTheirOwnerExpects) {
  testutil::TSandbox Box;
  const std::string Record = Box / "record.txt";
  auto Started = [&]() -> std::string {
    for (int i = 0; i < 400 && !Exists(Record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string R = ReadFile(Record);
    fs::remove(Record);
    return R;
  };
  launcher::TPosixProgramStarter Starter;

  // A script, saved on Windows: through the interpreter its first line
  // names, the line's carriage return and argument handled as the kernel
  // would, and left as it is.
  const std::string Script = Box / "viewer.sh";
  WriteFile(Script, "#!/bin/sh -e\r\n" + testutil::RecorderScript(Record).substr(std::string("#!/bin/sh\n").size()));
  ::chmod(Script.c_str(), 0644);
  Starter.Open(Script, {"a b", "c"}, Box.Path());
  EXPECT_EQ(Started(), fs::canonical(Box.Path()).string() + "\na b\nc\n");
  struct stat St {};
  ASSERT_EQ(::stat(Script.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0644u);

  WriteFile(Script, "#!/no/such/shell\n");
  try {
    Starter.Open(Script, {}, "");
    ADD_FAILURE() << "a missing interpreter was not reported";
  } catch (const rtl::Exception& E) {
    EXPECT_NE(std::string(E.what()).find("its interpreter /no/such/shell is not installed"), std::string::npos)
        << E.what();
  }

  // A native program of the user's own is given its owner's permission to
  // run, and runs.
  const std::string Elf = Box / "viewer";
  fs::copy_file("/bin/sh", Elf);
  ::chmod(Elf.c_str(), 0644);
  Starter.Open(Elf, {"-c", "pwd > " + Quote(Record) + ".tmp && /bin/mv " + Quote(Record) + ".tmp " + Quote(Record)},
               Box / "");
  EXPECT_EQ(Started(), fs::canonical(Box.Path()).string() + "\n");
  ASSERT_EQ(::stat(Elf.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0744u);

  // Someone else's is left alone, and the reason given.
  if (::geteuid() == 0) {
    ::chmod(Elf.c_str(), 0644);
    ASSERT_EQ(::chown(Elf.c_str(), 65534, 65534), 0);
    try {
      Starter.Open(Elf, {}, "");
      ADD_FAILURE() << "another user's file was changed or started";
    } catch (const rtl::Exception& E) {
      EXPECT_NE(std::string(E.what()).find("belongs to another user"), std::string::npos) << E.what();
    }
    ASSERT_EQ(::stat(Elf.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0644u);
  }
}
