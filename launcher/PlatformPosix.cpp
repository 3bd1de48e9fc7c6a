// PlatformPosix: the launcher's services on a Linux desktop.
//
// Most services have their own unit (IniFilePosix, MediumPosix,
// ProgramStartPosix, ShellCopyPosix, DesktopEntryPosix, FileOpsPosix); this
// one holds the user's folders and puts the set together.
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/PlatformPosix.h"

#include "launcher/DesktopEntryPosix.h"
#include "launcher/FileOpsPosix.h"
#include "launcher/IniFilePosix.h"
#include "launcher/MediumPosix.h"
#include "launcher/ProgramStartPosix.h"
#include "launcher/ShellCopyPosix.h"
#include "rtl/FileSys.h"
#include "rtl/SysUtils.h"

namespace launcher {

namespace {

class TPosixSettingsFile : public ISettingsFile {
public:
  std::string ReadString(const std::string& Path, const std::string& Section, const std::string& Key,
                         const std::string& Default) override {
    return ReadProfileString(Path, Section, Key, Default);
  }
};

class TPosixUserFolders : public IUserFolders {
public:
  explicit TPosixUserFolders(std::string AppFolderOverride) : FAppFolder(std::move(AppFolderOverride)) {}

  std::string AppFolder() override {
    if (!FAppFolder.empty()) return FAppFolder;
    // A Linux desktop does not start programs in their own folder, so the
    // launcher's folder is that of its executable, not the current one.
    char Buf[PATH_MAX];
    const ssize_t N = ::readlink("/proc/self/exe", Buf, sizeof Buf - 1);
    if (N <= 0) return rtl::GetCurrentDir();
    std::string Exe(Buf, static_cast<size_t>(N));
    const size_t Slash = Exe.rfind('/');
    return Slash == 0 ? "/" : Exe.substr(0, Slash);
  }

  std::string TempFolder() override { return rtl::TempDirectory(); }

  std::string HomeFolder() override { return rtl::HomeDirectory(); }

  std::string LocationFolder(uint8_t Kind) override {
    switch (Kind) {
      case lkDesktop: return XdgUserDir(HomeFolder(), "DESKTOP", "Desktop");
      case lkStartMenu: return ProgramsFolder();
      default: return {};  // quick launch and send-to have no counterpart here
    }
  }

  std::string ProgramsFolder() override {
    const char* Data = std::getenv("XDG_DATA_HOME");
    const std::string Folder = (Data && *Data == '/' ? std::string(Data) : HomeFolder() + "/.local/share") + "/applications";
    // A fresh account has no such folder yet; menus pick it up once made.
    // Private, as the XDG rules ask of folders made under the data home.
    try {
      rtl::ForceDirectories(Folder, true);
    } catch (const rtl::EInOutError&) {
      // Saving the shortcut meets the reason.
    }
    return Folder;
  }

private:
  std::string FAppFolder;
};

} // namespace

TLauncherPlatform MakePosixPlatform(const std::string& AppFolderOverride) {
  TLauncherPlatform P;
  P.Settings = std::make_unique<TPosixSettingsFile>();
  P.Medium = std::make_unique<TPosixMedium>();
  P.Folders = std::make_unique<TPosixUserFolders>(AppFolderOverride);
  P.Starter = std::make_unique<TPosixProgramStarter>();
  P.Copier = std::make_unique<TPosixFileCopier>();
  P.Shortcuts = std::make_unique<TDesktopEntryWriter>();
  P.Files = std::make_unique<TPosixFileSystem>();
  return P;
}

} // namespace launcher
