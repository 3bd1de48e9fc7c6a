// EbookMediumRules: what the launcher relies on in a medium, as tests that
// both `ebook-medium make` (before it writes anything) and `ebook-medium
// check` (on any medium, ours or made by hand) apply.
//
// A rule that fails gives a finding: what is wrong, where, and what the
// person at the computer would see because of it. Paths are measured as
// Windows measures them, in UTF-16 units, against the places the launcher
// puts files: the default installation folder C:\ebook\<target> and the run
// folder under the user's temporary folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace medium {

// The medium's layout, as the launcher's flows name it.
inline constexpr const char* kSettingsName = "config.ini";
inline constexpr const char* kAutorunName = "autorun.inf";
inline constexpr const char* kEbookFolder = "ebook";
inline constexpr const char* kPayloadName = "ebookRun.qtx";
inline constexpr const char* kViewerName = "ebook.exe";
inline constexpr const char* kIndexPath = "ebook/Documents/index.html";
inline constexpr const char* kSection = "Settings";
inline constexpr const char* kInstallRoot = "C:\\ebook\\";
inline constexpr const char* kRunFolderName = "qtxEBookRun";
// The defaults the launcher shows when a value cannot be read.
inline constexpr const char* kDefaultTitle = "학습지도서";
inline constexpr const char* kDefaultExe = "main.exe";

// A temporary folder as long as Windows makes it: a user name of the
// longest kind (20 characters) under C:\Users.
inline constexpr const char* kLongTempFolder = "C:\\Users\\12345678901234567890\\AppData\\Local\\Temp";
inline constexpr const char* kLongDesktop = "C:\\Users\\12345678901234567890\\Desktop";
// The longest path Windows' file calls take without the long-path prefix.
inline constexpr size_t kMaxPath = 259;
// A profile reader's buffer less its terminating NUL.
inline constexpr size_t kMaxSettingValue = 2047;
// A Linux file system's longest name, in bytes.
inline constexpr size_t kMaxLinuxName = 255;
// Joliet's longest name, in UTF-16 units.
inline constexpr size_t kMaxJolietName = 64;
// The launcher shows its DVD texts above this volume size.
inline constexpr int64_t kDvdThreshold = 950000000;

struct TFinding {
  enum TLevel { flProblem, flWarning, flNote } Level = flProblem;
  std::string Where;
  std::string What;
  std::string Effect;  // what the user would see
};
using TFindings = std::vector<TFinding>;

void AddProblem(TFindings& F, std::string Where, std::string What, std::string Effect);
void AddWarning(TFindings& F, std::string Where, std::string What, std::string Effect);
void AddNote(TFindings& F, std::string Where, std::string What);
// One line per finding: "WHERE: WHAT; EFFECT", warnings and notes marked.
std::string FormatFinding(const TFinding& F);
bool HasProblems(const TFindings& F);

size_t Utf16Length(const std::string& Utf8);
// The path with "\" between its parts, as Windows shows it.
std::string WindowsPath(const std::string& Path);
// Splits a relative path at "/" and "\" (both are separators on Windows,
// and the Linux launcher reads "\" in settings as one).
std::vector<std::string> PathParts(const std::string& Path);

// Why Windows cannot create a file or folder of this name (reserved device
// names, characters it forbids, a trailing dot or space), or empty.
std::string WindowsNameProblem(const std::string& Name);

// The three settings, each checked alone. Empty when it is fine.
std::string TitleProblem(const std::string& Title);
std::string TargetProblem(const std::string& Target);
std::string ExeProblem(const std::string& Exe);
// The file name the shortcuts get from the title (its extension replaced).
std::string ShortcutName(const std::string& Title);
// A warning when the shortcuts' name loses part of the title.
void WarnShortcutName(const std::string& Title, const std::string& Where, TFindings& F);

// The default installation folder for a target, as the window shows it.
inline std::string InstallFolder(const std::string& Target) { return kInstallRoot + Target; }

// ---------------------------------------------------------------------------
// The settings file
// ---------------------------------------------------------------------------

struct TSettings {
  std::string Title, Exe, Target;
  bool Found[3] = {false, false, false};  // key present, in that order
  bool SectionFound = false;
};

// The file's bytes, UTF-16LE with its mark and CRLF line ends; with
// AnsiCodePage (949) in that code page instead, or empty when a value has
// a character the code page lacks.
std::string EncodeSettings(const std::string& Title, const std::string& Exe, const std::string& Target,
                           int AnsiCodePage = 0);
// Text as the profile API reads any script: UTF-16LE behind its mark.
std::string Utf16LeWithMark(const std::string& Utf8);
// What the Windows launcher reads from the bytes on a Windows whose ANSI code
// page is the one given: the profile API knows UTF-16LE with its mark and
// the ANSI code page, nothing else.
TSettings ReadSettingsAsWindows(const std::string& Bytes, int AnsiCodePage);
// What the Linux launcher reads: a mark decides, else UTF-8 when the bytes
// are UTF-8, else the Korean code page.
TSettings ReadSettingsAsLinux(const std::string& Bytes);
// A name for the file's encoding, for messages.
std::string DescribeEncoding(const std::string& Bytes);
// The settings as shown, defaults filled in.
std::string ShownTitle(const TSettings& S);
std::string ShownExe(const TSettings& S);

// ---------------------------------------------------------------------------
// Trees of names: the medium, the payload, what installation makes
// ---------------------------------------------------------------------------

struct TTreeEntry {
  std::string Path;  // relative, "/" between parts
  bool Folder = false;
};

// Every name Windows cannot hold, every pair of names that differ only in
// letter case, and every name too long for a Linux file system; Where is
// prefixed to each path in the findings.
void CheckNames(const std::vector<TTreeEntry>& Tree, const std::string& Where, TFindings& F);
// Every path that grows past Windows' limit under Folder.
void CheckPathLengths(const std::vector<TTreeEntry>& Tree, const std::string& Folder, const std::string& Where,
                      const std::string& Effect, TFindings& F);

} // namespace medium
