// The launcher on real media and shared computers, through its command-line
// modes: a read-only medium installed by a normal user, the run folder of
// each user in a folder of their own, a relative TEMP, a payload nothing
// usable comes out of, a title that is a path, and a target on the medium.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QPushButton>
#include <QTest>

#include "MediumFixture.h"
#include "launcher/FileOpsPosix.h"

namespace fs = std::filesystem;
using testutil::Exists;
using testutil::Quote;
using testutil::ReadFile;
using testutil::Shell;
using testutil::WriteFile;

namespace {

struct TUser {
  uid_t Uid;
  gid_t Gid;
};

// A user without privileges: ourselves when we are one, otherwise "nobody"
// or a user made for the purpose.
std::optional<TUser> UnprivilegedUser() {
  if (::geteuid() != 0) return TUser{::geteuid(), ::getegid()};
  for (int Attempt = 0; Attempt < 2; ++Attempt) {
    for (const char* Name : {"nobody", "arvelo-test"})
      if (const passwd* P = ::getpwnam(Name); P && P->pw_uid != 0) return TUser{P->pw_uid, P->pw_gid};
    if (Shell("useradd --system --no-create-home arvelo-test >/dev/null 2>&1") != 0) break;
  }
  return std::nullopt;
}

// Runs a shell command as User, with this process's environment.
int ShellAs(const TUser& User, const std::string& Command) {
  if (::geteuid() != 0) return Shell(Command);
  const pid_t Pid = ::fork();
  if (Pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(User.Gid) != 0 || ::setuid(User.Uid) != 0) ::_exit(126);
    ::execl("/bin/sh", "sh", "-c", Command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int Status = 0;
  if (Pid < 0 || ::waitpid(Pid, &Status, 0) != Pid) return -1;
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

// Gives a tree the modes of an ISO 9660 disc with Rock Ridge: folders 0555,
// files 0444, programs 0555.
void MakeReadOnly(const std::string& Root) {
  for (auto It = fs::recursive_directory_iterator(Root); It != fs::recursive_directory_iterator(); ++It) {
    if (It->is_symlink()) continue;
    const bool Program = !It->is_directory() && (It->status().permissions() & fs::perms::owner_exec) != fs::perms::none;
    ::chmod(It->path().c_str(), It->is_directory() || Program ? 0555 : 0444);
  }
  ::chmod(Root.c_str(), 0555);
}

class Media : public testutil::TMediumTest {
protected:
  Media() { fs::create_directories(Home + "/Desktop"); }

  // The launcher sits on the medium, as on a disc.
  void PutLauncher() { fs::copy_file(std::string(ARVELO_BIN_DIR) + "/ebook-launcher", Medium + "/ebook-launcher"); }

  // The launcher in a command-line mode, with environment changes before it.
  std::string Command(const std::string& Args, const std::string& Env = "") const {
    return "env " + Env + " " + Quote(Medium + "/ebook-launcher") + " " + Args + " 2>" + Quote(Err());
  }
  int Launch(const std::string& Args, const std::string& Env = "") { return Shell(Command(Args, Env)); }
  std::string Err() const { return Box / "stderr.txt"; }
  std::string Stderr() const { return ReadFile(Err()); }

  std::string DesktopEntry(const std::string& Title) const { return Home + "/Desktop/" + Title + ".desktop"; }
  std::string MenuEntry(const std::string& Title) const {
    return Home + "/.local/share/applications/" + Title + ".desktop";
  }
};

} // namespace

TEST_F(Media, AReadOnlyDiscInstallsAsTheUsersOwnTree) {
  const auto User = UnprivilegedUser();
  if (!User) GTEST_SKIP() << "no unprivileged user to install as";
  // The demo's layout: the program to start comes out of the payload.
  WriteConfig("[Settings]\ntitle=국어\nexe=ebook/ebook.exe\ntarget=국어\n");
  MakeStandardPayload();
  PutLauncher();
  ASSERT_EQ(::chmod(Box.Path().c_str(), 0755), 0);
  ASSERT_EQ(Shell("chown -R " + std::to_string(User->Uid) + ":" + std::to_string(User->Gid) + " " +
                  Quote(Box.Path())),
            0);
  MakeReadOnly(Medium);

  const std::string Dir = Home + "/ebook/국어";
  ASSERT_EQ(ShellAs(*User, Command("--install " + Quote(Dir))), 0) << Stderr();
  auto Rec = WaitForRecord();
  ASSERT_TRUE(Rec) << "the program was not started";
  EXPECT_EQ(*Rec, std::vector<std::string>{Dir + "/ebook"});
  EXPECT_EQ(ReadFile(Dir + "/ebook/data/chapter1/page.txt"), "페이지 1\n");
  EXPECT_TRUE(Exists(DesktopEntry("국어")));
  EXPECT_TRUE(Exists(MenuEntry("국어")));
  // Everything installed is the user's to change; other modes stay.
  for (const auto& E : fs::recursive_directory_iterator(Dir)) {
    struct stat St {};
    ASSERT_EQ(::lstat(E.path().c_str(), &St), 0);
    EXPECT_EQ(St.st_uid, User->Uid) << E.path();
    EXPECT_TRUE(St.st_mode & S_IWUSR) << E.path();
    if (S_ISDIR(St.st_mode)) {
      EXPECT_EQ(St.st_mode & 0777, 0755u) << E.path();
    }
  }
  struct stat Launcher {};
  ASSERT_EQ(::stat((Dir + "/ebook-launcher").c_str(), &Launcher), 0);
  EXPECT_EQ(Launcher.st_mode & 0777, 0755u);

  // A folder that cannot be written to is reported as what it is.
  if (::geteuid() == 0) {
    const std::string Locked = Box / "locked";
    fs::create_directories(Locked + "/ebook");
    ::chmod((Locked + "/ebook").c_str(), 0555);  // root's, not the user's
    EXPECT_EQ(ShellAs(*User, Command("--install " + Quote(Locked))), 1);
    EXPECT_NE(Stderr().find("Permission denied"), std::string::npos) << Stderr();
    EXPECT_EQ(Stderr().find("No such file or directory"), std::string::npos) << Stderr();
  }
}

TEST_F(Media, EachUserRunsFromAFolderOfTheirOwn) {
  WriteDefaultConfig();
  MakeStandardPayload();
  PutLauncher();
  // Neither TEMP nor TMPDIR: the user's cache, made if missing.
  ASSERT_EQ(Launch("--run", "-u TEMP -u TMPDIR -u XDG_CACHE_HOME"), 0) << Stderr();
  auto Rec = WaitForRecord();
  ASSERT_TRUE(Rec);
  EXPECT_EQ((*Rec)[0], fs::canonical(Home + "/.cache/qtxEBookRun").string());
  EXPECT_EQ(launcher::CheckPrivateFolder(Home + "/.cache/qtxEBookRun"), "");

  fs::remove(Record);
  ASSERT_EQ(Launch("--run", "-u TEMP -u TMPDIR XDG_CACHE_HOME=" + Quote(Box / "cache")), 0) << Stderr();
  Rec = WaitForRecord();
  ASSERT_TRUE(Rec);
  EXPECT_EQ((*Rec)[0], fs::canonical(Box / "cache/qtxEBookRun").string());
}

TEST_F(Media, ARelativeTempCountsFromTheCurrentFolder) {
  WriteDefaultConfig();
  MakeStandardPayload();
  PutLauncher();
  const std::string Work = Box / "work";
  fs::create_directories(Work + "/rel");
  ASSERT_EQ(Shell("cd " + Quote(Work) + " && " + Command("--run", "TEMP=rel")), 0) << Stderr();
  auto Rec = WaitForRecord();
  ASSERT_TRUE(Rec) << "the viewer was not started";
  EXPECT_EQ((*Rec)[0], fs::canonical(Work + "/rel/qtxEBookRun").string());
  EXPECT_EQ(ReadFile(Work + "/rel/qtxEBookRun/README"), "no extension\n");
  EXPECT_FALSE(Exists(Medium + "/rel"));
}

TEST_F(Media, APayloadNothingComesOutOfIsAFailure) {
  if (!testutil::kEngineDecrypts) GTEST_SKIP() << "the engine does not decrypt yet";
  WriteDefaultConfig();
  WriteFile(Medium + "/main.exe", ViewerScript());
  ::chmod((Medium + "/main.exe").c_str(), 0755);
  // Every file of the payload under another password: each one fails.
  const std::string Stage = Box / "stage";
  WriteFile(Stage + "/ebook.exe", ViewerScript());
  WriteFile(Stage + "/data/page.txt", "page\n");
  ASSERT_EQ(Shell("cd " + Quote(Stage) + " && zip -q -r -P wrong " + Quote(Medium + "/ebook/ebookRun.qtx") + " ."), 0);
  PutLauncher();
  const std::string Payload = Medium + "/ebook/ebookRun.qtx";

  EXPECT_EQ(Launch("--run"), 1);
  EXPECT_NE(Stderr().find("Cannot start " + RunFolder() + "/ebook.exe: 2 items of " + Payload +
                          " could not be extracted; the first: "),
            std::string::npos)
      << Stderr();
  EXPECT_FALSE(WaitForRecord(1));

  // The installed program would be the extracted viewer: no shortcut to it.
  WriteConfig("[Settings]\ntitle=국어\nexe=ebook/ebook.exe\ntarget=국어\n");
  EXPECT_EQ(Launch("--install " + Quote(Box / "inst")), 1);
  EXPECT_NE(Stderr().find("could not be extracted"), std::string::npos) << Stderr();
  EXPECT_FALSE(Exists(DesktopEntry("국어")));
  EXPECT_FALSE(Exists(MenuEntry("국어")));
  EXPECT_FALSE(WaitForRecord(1));

  // The window says it in its error box and stays.
  auto F = MakeForm();
  F->show();
  QTest::mouseClick(F->Button2, Qt::LeftButton);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_NE(Errors[0].find("2 items of " + Payload), std::string::npos) << Errors[0];
  EXPECT_EQ(Terminations, 0);
}

TEST_F(Media, ATitleThatIsAPathMakesNoShortcut) {
  WriteConfig("[Settings]\ntitle=../.config/autostart/evil\nexe=main.exe\ntarget=국어\n");
  WriteFile(Medium + "/main.exe", ViewerScript());
  ::chmod((Medium + "/main.exe").c_str(), 0755);
  MakeStandardPayload();
  PutLauncher();
  fs::create_directories(Home + "/.config/autostart");
  const std::string Dir = Box / "inst";
  ASSERT_EQ(Launch("--install " + Quote(Dir)), 0) << Stderr();
  EXPECT_NE(Stderr().find("No shortcut made"), std::string::npos) << Stderr();
  EXPECT_TRUE(fs::is_empty(Home + "/.config/autostart"));
  EXPECT_TRUE(fs::is_empty(Home + "/Desktop"));
  auto Rec = WaitForRecord();
  ASSERT_TRUE(Rec);
  EXPECT_EQ(*Rec, std::vector<std::string>{Dir});
}

TEST_F(Media, ATargetOnTheMediumIsRefusedBeforeAnything) {
  WriteDefaultConfig();
  MakeStandardPayload();
  PutLauncher();
  fs::create_symlink(Medium, Box / "alias");
  for (const std::string& Target : {Medium, Medium + "/sub", Box / "alias/sub", Medium + "/ebook/../x"}) {
    SCOPED_TRACE(Target);
    EXPECT_EQ(Launch("--install " + Quote(Target)), 1);
    EXPECT_NE(Stderr().find(launcher::kInstallIntoMedium), std::string::npos) << Stderr();
  }
  EXPECT_FALSE(Exists(Medium + "/sub"));
  EXPECT_FALSE(Exists(Medium + "/x"));
  EXPECT_FALSE(Exists(Medium + "/ebook/ebook"));
  EXPECT_FALSE(Exists(Medium + "/ebook/ebook.exe"));
  // Beside the medium is not on it.
  WriteFile(Medium + "/main.exe", ViewerScript());
  ::chmod((Medium + "/main.exe").c_str(), 0755);
  EXPECT_EQ(Launch("--install " + Quote(Medium + "-copy")), 0) << Stderr();
}
