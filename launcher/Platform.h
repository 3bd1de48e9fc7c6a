// Platform: the operating-system services the launcher's window relies on.
//
// The window and its two flows are written once; everything that depends on
// the operating system sits behind the small interfaces below: where the
// launcher lives and where the user's folders are, how the settings file is
// read, what kind of medium the launcher runs from, how a program or a
// document is started, how files are copied with the user watching, and how a
// menu or desktop entry is saved. Each system has its implementation
// (PlatformPosix.cpp, PlatformWindows.cpp); the window does not change.
//
// Tests build the window on the real implementation and substitute only what
// a build machine cannot have (an optical drive) through the same seams.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Drives.h"

namespace launcher {

// ---------------------------------------------------------------------------
// Settings file
// ---------------------------------------------------------------------------

// The code page of the media this launcher ships on: their settings files
// and the payload's old names were written on Korean Windows, whatever the
// locale of the machine that reads them.
inline constexpr int kMediumCodePage = 949;

class ISettingsFile {
public:
  virtual ~ISettingsFile() = default;
  // The value of Key in Section of the profile file at Path, or Default when
  // the file, the section or the key is missing or the file cannot be read.
  virtual std::string ReadString(const std::string& Path, const std::string& Section, const std::string& Key,
                                 const std::string& Default) = 0;
};

// ---------------------------------------------------------------------------
// Medium
// ---------------------------------------------------------------------------

enum class TDriveKind { dkOther, dkRemovable, dkOptical };

// The launcher's three kinds from the system's drive type: a RAM disk, a
// network share, a fixed disk or an unknown drive is "other".
inline TDriveKind DriveKindOf(rtl::TDriveType Type) {
  switch (Type) {
    case rtl::TDriveType::CDROM: return TDriveKind::dkOptical;
    case rtl::TDriveType::Removable: return TDriveKind::dkRemovable;
    default: return TDriveKind::dkOther;
  }
}

class IMedium {
public:
  virtual ~IMedium() = default;
  // Total bytes of the volume that holds Folder, or -1 when unknown.
  virtual int64_t VolumeSize(const std::string& Folder) = 0;
  // Kind of the drive that holds Folder.
  virtual TDriveKind DriveKind(const std::string& Folder) = 0;
};

// ---------------------------------------------------------------------------
// User folders
// ---------------------------------------------------------------------------

// Location kinds of shortcuts: desktop, quick launch, send-to, start menu and
// a folder given by the caller.
enum : uint8_t { lkDesktop = 0, lkQuickLaunch = 1, lkSendTo = 2, lkStartMenu = 3, lkGivenFolder = 4 };

class IUserFolders {
public:
  virtual ~IUserFolders() = default;
  // The launcher's own folder; a root folder keeps its separator.
  virtual std::string AppFolder() = 0;
  // The user's own folder for temporary files, as the environment gives it
  // (it may be relative; the flows make it absolute). Never a folder that
  // every local user shares by default.
  virtual std::string TempFolder() = 0;
  // The user's home folder, without a trailing separator.
  virtual std::string HomeFolder() = 0;
  // The folder of a location kind (desktop, quick launch, send-to, start
  // menu); empty when the kind has no folder here.
  virtual std::string LocationFolder(uint8_t Kind) = 0;
  // The start menu's programs folder, or empty.
  virtual std::string ProgramsFolder() = 0;
};

// ---------------------------------------------------------------------------
// Program start
// ---------------------------------------------------------------------------

class IProgramStarter {
public:
  virtual ~IProgramStarter() = default;
  // Starts File with Args in WorkDir (an executable program) or opens it with
  // the desktop's handler for its type (anything else). Does not wait for
  // the program and never examines its outcome. Where the system can tell
  // beforehand that the program cannot start (POSIX: a program without
  // permission to run that cannot be given it, a Windows program with
  // neither Wine nor an opener), it raises rtl::Exception saying why.
  virtual void Open(const std::string& File, const std::vector<std::string>& Args, const std::string& WorkDir) = 0;
  // The same, asking for the program's window to be shown as it is or
  // maximised. Where a started program's window state cannot be asked for
  // (a POSIX desktop), this is Open. StandIn, when not empty, is the
  // document the program exists to show: where the program cannot run on
  // this system at all (a Windows program on a desktop without Wine), that
  // document goes to the desktop's opener instead.
  enum class TShowState { ssNormal, ssMaximized };
  virtual void OpenShown(const std::string& File, const std::vector<std::string>& Args, const std::string& WorkDir,
                         TShowState Show, const std::string& StandIn) {
    (void)Show;
    (void)StandIn;
    Open(File, Args, WorkDir);
  }
};

// ---------------------------------------------------------------------------
// Copy with the user watching
// ---------------------------------------------------------------------------

enum class TReplaceAnswer { raYes, raYesToAll, raNo, raCancel };

// What a copy shows and asks while it runs.
class ICopyUi {
public:
  virtual ~ICopyUi() = default;
  virtual void Begin(int64_t TotalBytes, int64_t TotalFiles) = 0;
  // Called before each entry and after every block; returns false when the
  // user cancelled.
  virtual bool Progress(const std::string& Name, int64_t DoneBytes) = 0;
  virtual TReplaceAnswer ConfirmReplace(const std::string& Target) = 0;
  virtual void ShowError(const std::string& Text) = 0;
  virtual void End() = 0;
};

// Result codes besides 0 (success) and the errno of a failed system call;
// the values are the ones the Windows shell uses for the same outcomes.
inline constexpr int32_t kCopyCancelled = 1223;       // the user cancelled
inline constexpr int32_t kCopySameFile = 0x71;        // source and destination are one file
inline constexpr int32_t kCopyDestInsideSource = 0x76; // destination lies inside a copied folder
inline constexpr int32_t kCopyNoSource = 0x402;       // the source folder cannot be read

class IFileCopier {
public:
  virtual ~IFileCopier() = default;
  // Copies every entry matching the pattern (a folder and a file mask) into
  // DestFolder, folders with all their contents. 0 on success, non-zero on
  // failure or when the user cancelled. What is copied becomes the user's:
  // a copied folder is writable by its owner, a copied file writable too
  // (POSIX: u+w; Windows: the read-only attribute cleared), other stored
  // modes kept; so a read-only medium installs as a tree the payload can be
  // extracted into and the user can update or remove. Errors shown name
  // their real cause (the failing call's error).
  virtual int32_t Copy(const std::string& SourcePattern, const std::string& DestFolder, ICopyUi& Ui) = 0;
};

// ---------------------------------------------------------------------------
// Shortcuts
// ---------------------------------------------------------------------------

struct TShortcut {
  std::string Target;
  std::string Arguments;
  std::string Description;
  std::string WorkDir;
  // The document Target exists to show, opened instead where Target cannot
  // run (as for IProgramStarter::OpenShown); may be empty.
  std::string StandIn;
};

class IShortcutWriter {
public:
  virtual ~IShortcutWriter() = default;
  // The file name extension shortcuts carry here, with its dot.
  virtual std::string Extension() = 0;
  // Saves the shortcut at LinkPath; failures are not reported.
  virtual void Save(const TShortcut& Link, const std::string& LinkPath, uint8_t Kind) = 0;
};

// ---------------------------------------------------------------------------
// Files and folders
// ---------------------------------------------------------------------------

class IFileSystem {
public:
  virtual ~IFileSystem() = default;
  // True for an existing entry that is not a folder; links are followed.
  virtual bool FileExists(const std::string& Path) = 0;
  // True for a path that does not depend on the current folder.
  virtual bool IsAbsolutePath(const std::string& Path) = 0;
  // Path made absolute against the current folder; an absolute path is
  // returned as it stands.
  virtual std::string ExpandFileName(const std::string& Path) = 0;
  // True when Path names Folder or something inside it, once both are
  // resolved as far as they exist (links, "." and "..", the file system's
  // letter-case rules).
  virtual bool IsSameOrInside(const std::string& Path, const std::string& Folder) = 0;
  // Removes whatever sits at Path: a file, a link (removed as such, never
  // followed), or a folder with its whole tree, links inside it removed as
  // links. Entries that cannot be removed are skipped and survive with the
  // folders above them; nothing is reported.
  virtual void DeleteTree(const std::string& Path) = 0;
  // Creates one folder for the user alone (nobody else may write to it).
  // Failures are not reported; CheckPrivateFolder tells.
  virtual void CreatePrivateDir(const std::string& Path) = 0;
  // Empty when Path is a real folder (not a link) of the current user's
  // that nobody else can write to; otherwise why not, in a few words.
  virtual std::string CheckPrivateFolder(const std::string& Path) = 0;
  // Creates Path and its missing parents. Raises rtl::Exception with the
  // installation's text for a path that cannot name a folder ("The path
  // format is not supported" for an empty one, "Invalid characters in
  // path", "The specified path is too long"); other failures are left for
  // the copy to meet.
  virtual void ForceDirectories(const std::string& Path) = 0;
};

// ---------------------------------------------------------------------------
// The set the window is built on
// ---------------------------------------------------------------------------

struct TLauncherPlatform {
  std::unique_ptr<ISettingsFile> Settings;
  std::unique_ptr<IMedium> Medium;
  std::unique_ptr<IUserFolders> Folders;
  std::unique_ptr<IProgramStarter> Starter;
  std::unique_ptr<IFileCopier> Copier;
  std::unique_ptr<IShortcutWriter> Shortcuts;
  std::unique_ptr<IFileSystem> Files;
};

} // namespace launcher
