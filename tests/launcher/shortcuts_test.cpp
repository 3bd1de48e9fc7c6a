// Shortcuts: the name rule, where each location kind saves, and the desktop
// entry's text for awkward targets.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestUtil.h"
#include "launcher/DesktopEntryPosix.h"
#include "launcher/PlatformPosix.h"
#include "launcher/Shortcuts.h"

using launcher::CreateShortcut;
using launcher::ShortcutFileName;
using testutil::Exists;
using testutil::ReadFile;
using testutil::TEnv;
using testutil::TSandbox;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

class Shortcuts : public ::testing::Test {
protected:
  Shortcuts()
      : Home(Box / "home"), EnvHome("HOME", Home), EnvConfig("XDG_CONFIG_HOME", std::nullopt),
        EnvData("XDG_DATA_HOME", std::nullopt), Platform(launcher::MakePosixPlatform(Box / "medium")) {
    fs::create_directories(Home);
    WriteFile(Box / "app/main.exe", "#!/bin/sh\n");
    ::chmod((Box / "app/main.exe").c_str(), 0755);
  }

  std::string Make(const std::string& Target, const std::string& Name, uint8_t Kind, const std::string& Folder = "") {
    std::string LinkPath = "untouched";
    CreateShortcut(*Platform.Folders, *Platform.Shortcuts, Target, Name, Kind, Folder, "", "", "설명", LinkPath);
    return LinkPath;
  }

  TSandbox Box;
  std::string Home;
  TEnv EnvHome, EnvConfig, EnvData;
  launcher::TLauncherPlatform Platform;
};

} // namespace

TEST(ShortcutName, ExtensionIsReplacedOrAppended) {
  EXPECT_EQ(ShortcutFileName("Book 2.0", ".desktop"), "Book 2.desktop");
  EXPECT_EQ(ShortcutFileName("학습지도서", ".desktop"), "학습지도서.desktop");
  EXPECT_EQ(ShortcutFileName("v1.0/Book", ".desktop"), "v1.0/Book.desktop");
  EXPECT_EQ(ShortcutFileName("", ".desktop"), ".desktop");
}

TEST_F(Shortcuts, EachKindSavesWhereItBelongs) {
  // The desktop as the user's XDG folders name it.
  WriteFile(Home + "/.config/user-dirs.dirs", "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/바탕화면\"\n");
  fs::create_directories(Home + "/바탕화면");
  const std::string Target = Box / "app/main.exe";

  const std::string Desk = Make(Target, "Book 2.0", launcher::lkDesktop);
  EXPECT_EQ(Desk, Home + "/바탕화면/Book 2.desktop");
  struct stat St {};
  ASSERT_EQ(::stat(Desk.c_str(), &St), 0);
  EXPECT_TRUE(St.st_mode & S_IXUSR);  // file managers start only executable entries
  const std::string Text = ReadFile(Desk);
  EXPECT_NE(Text.find("Name=Book 2\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("Comment=설명\n"), std::string::npos);
  EXPECT_NE(Text.find("Exec=" + Target + "\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("Path=" + Box / "app/" + "\n"), std::string::npos) << Text;

  // Start menu and the programs folder: the applications folder, made if missing.
  const std::string Menu = Make(Target, "책", launcher::lkStartMenu);
  EXPECT_EQ(Menu, Home + "/.local/share/applications/책.desktop");
  EXPECT_TRUE(Exists(Menu));
  {
    TEnv D("XDG_DATA_HOME", Box / "data");
    EXPECT_EQ(launcher::ProgramsFolder(*Platform.Folders), Box / "data/applications");
    const std::string Given = Make(Target, "책", launcher::lkGivenFolder, launcher::ProgramsFolder(*Platform.Folders));
    EXPECT_EQ(Given, Box / "data/applications/책.desktop");
    EXPECT_TRUE(Exists(Given));
  }

  // Kinds without a folder here save nothing and leave the path alone.
  EXPECT_EQ(Make(Target, "x", launcher::lkQuickLaunch), "untouched");
  EXPECT_EQ(Make(Target, "x", launcher::lkSendTo), "untouched");
  EXPECT_EQ(Make(Target, "x", 9), "untouched");
  EXPECT_EQ(Make(Target, "x", launcher::lkGivenFolder, ""), "untouched");

  // A name that is not a plain file name saves nothing, even where the
  // folder it points into exists, and leaves the path alone.
  fs::create_directories(Home + "/바탕화면/a");
  EXPECT_EQ(Make(Target, "a/b", launcher::lkDesktop), "untouched");
  EXPECT_EQ(Make(Target, "../../escape", launcher::lkDesktop), "untouched");
  EXPECT_EQ(Make(Target, "a\\b", launcher::lkDesktop), "untouched");
  EXPECT_FALSE(Exists(Home + "/바탕화면/a\\b.desktop"));
  EXPECT_FALSE(Exists(Home + "/바탕화면/a/b.desktop"));
  EXPECT_FALSE(Exists(Box / "escape.desktop"));
  EXPECT_TRUE(launcher::IsPlainFileName("..desktop"));
  EXPECT_FALSE(launcher::IsPlainFileName(".."));
  // Likewise a missing desktop folder.
  fs::remove_all(Home + "/바탕화면");
  Make(Target, "x", launcher::lkDesktop);
  EXPECT_FALSE(Exists(Home + "/바탕화면"));
}

TEST_F(Shortcuts, XdgUserDirFallbacksAndOverrides) {
  EXPECT_EQ(launcher::XdgUserDir(Home, "DESKTOP", "Desktop"), Home + "/Desktop");
  WriteFile(Box / "cfg/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/srv/desk\"\nXDG_MUSIC_DIR=\"$HOME/Music\"\n");
  TEnv C("XDG_CONFIG_HOME", Box / "cfg");
  EXPECT_EQ(launcher::XdgUserDir(Home, "DESKTOP", "Desktop"), "/srv/desk");
  EXPECT_EQ(launcher::XdgUserDir(Home, "MUSIC", "Music"), Home + "/Music");
  WriteFile(Box / "cfg/user-dirs.dirs", "XDG_DESKTOP_DIR=relative/path\nXDG_DESKTOP_DIR=\"$HOMEX/d\"\n");
  EXPECT_EQ(launcher::XdgUserDir(Home, "DESKTOP", "Desktop"), Home + "/Desktop");
}

TEST(DesktopEntry, AwkwardTargetsAreQuotedAndDocumentsOpened) {
  TSandbox Box;
  const std::string Prog = Box / "My $Book 100%/run me.sh";
  WriteFile(Prog, "#!/bin/sh\n");
  ::chmod(Prog.c_str(), 0755);
  const std::string Text = launcher::DesktopEntryText({Prog, "\"a b\" c", "line1\nline2", Box / "w", ""}, "N");
  // Quoted, with $ escaped inside the quotes, % doubled, and the whole value
  // string-escaped (each backslash doubled).
  const std::string Quoted = "\"" + Box / "My \\\\$Book 100%%/run me.sh" + "\"";
  EXPECT_NE(Text.find("Exec=" + Quoted + " \"a b\" c\n"), std::string::npos) << Text;
  EXPECT_NE(Text.find("Comment=line1\\nline2\n"), std::string::npos) << Text;

  // A target that is no program here goes to the desktop's opener.
  WriteFile(Box / "book.pdf", "%PDF");
  const std::string Doc = launcher::DesktopEntryText({Box / "book.pdf", "", "", "", ""}, "N");
  EXPECT_NE(Doc.find("Exec=xdg-open " + Box / "book.pdf" + "\n"), std::string::npos) << Doc;
  EXPECT_EQ(Doc.find("Path="), std::string::npos);
}
