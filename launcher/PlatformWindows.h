// PlatformWindows: the launcher's services on Windows.
//
// Each service is the system's own: the profile-string reader for the
// settings, the drive type and the volume's total size of the launcher's
// drive letter, the shell's "open" for program start, the shell's copy
// operation (with its own progress, questions and error boxes), shell link
// objects through COM for shortcuts, and the current user's "Shell Folders"
// registry values for the desktop and the programs folder. Paths cross the
// system boundary as UTF-16 and are UTF-8 everywhere inside.
//
// A few things are added to the plain calls. The shell's copy carries the
// read-only attribute over from a CD, which would leave an installation the
// user cannot update or remove without a fight; every file and folder the
// copy brought in is therefore made writable afterwards. With nobody
// watching, the copy makes its destination folder itself and says why it
// could not, and the shell's result codes are given as text. The temporary
// folder is TEMP, TMP or the user's local Temp folder, never one the users
// share; the run folder made in it is accepted only as a real folder (no
// reparse point) whose owner is the current user. Paths are compared after
// resolving links, drive names and "..", as far as they exist, in any letter
// case. And the registry is only ever read: keys that do not exist are not
// created.
//
// The functions below the factory are the pieces the window and the tests
// reach directly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "launcher/Platform.h"

namespace launcher {

// The owner window of the shell's dialogs and of program start, asked at
// each use (the window exists only once it has been built). With Unattended
// the copy replaces existing files without asking and shows no window; a
// failure's code goes to the standard error stream.
struct TWinPlatformOptions {
  std::function<void*()> OwnerWindow;
  bool Unattended = false;
};
TLauncherPlatform MakeWinPlatform(TWinPlatformOptions Options);

// The show commands program start uses: activate and show as it is, or
// maximised.
inline constexpr int kShowNormal = 5;     // SW_SHOW
inline constexpr int kShowMaximized = 3;  // SW_SHOWMAXIMIZED

// Opens File with the shell's "open" verb; nothing is reported back.
void ShellOpen(void* Owner, const std::string& File, const std::string& Parameters, const std::string& WorkDir,
               int ShowCommand);

// The string value Name of HKEY_CURRENT_USER\Key, or empty when the key or
// the value is missing; a value of another type than a string raises
// "Invalid data type for 'Name'".
std::string ReadUserRegistryString(const std::string& Key, const std::string& Name);

// Clears the read-only attribute of Path and, for a folder, of everything in
// it; reparse points (links, junctions) are cleared themselves and never
// entered.
void MakeWritableTree(const std::string& Path);

// The shell's folder browser titled Title, rooted at RootFolder, centred on
// the monitor that holds Owner: the chosen folder, or empty when cancelled.
std::string BrowseForFolder(void* Owner, const std::string& Title, const std::string& RootFolder);

} // namespace launcher
