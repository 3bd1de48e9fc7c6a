// PlatformWindows: settings, medium, folders, program start, copy and shortcuts
// through the Windows API.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <vector>

#include "launcher/PlatformWindows.h"
#include "rtl/Drives.h"
#include "rtl/FileSys.h"
#include "rtl/SysUtils.h"
#include "rtl/WinText.h"

namespace launcher {

namespace {

// Calls Fn(Name, Attributes) for every entry matching Pattern but "." and
// "..".
template <typename F>
void ForEachEntry(const std::wstring& Pattern, F&& Fn) {
  WIN32_FIND_DATAW Fd;
  const HANDLE H = ::FindFirstFileExW(Pattern.c_str(), FindExInfoBasic, &Fd, FindExSearchNameMatch, nullptr, 0);
  if (H == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring Name = Fd.cFileName;
    if (Name != L"." && Name != L"..") Fn(Name, Fd.dwFileAttributes);
  } while (::FindNextFileW(H, &Fd));
  ::FindClose(H);
}

// The system's text for an error or result code, without its line break.
std::string SystemMessage(DWORD Code) {
  wchar_t* Buf = nullptr;
  const DWORD N = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, Code, 0, reinterpret_cast<wchar_t*>(&Buf), 0, nullptr);
  std::wstring Text = N && Buf ? std::wstring(Buf, N) : std::wstring();
  if (Buf) ::LocalFree(Buf);
  while (!Text.empty() && (Text.back() == L'\n' || Text.back() == L'\r' || Text.back() == L' ')) Text.pop_back();
  if (Text.empty()) {
    char Hex[16];
    std::snprintf(Hex, sizeof Hex, "0x%08lX", static_cast<unsigned long>(Code));
    return std::string("System error ") + Hex;
  }
  return rtl::NarrowText(Text);
}

// A list of one path for the shell's file operation: ended by two NULs.
std::wstring ShellPathList(const std::string& Path) { return rtl::WideText(Path) + std::wstring(2, L'\0'); }

// ===========================================================================
// Settings
// ===========================================================================

// Values longer than the buffer keep their first 2047 characters.
constexpr DWORD kProfileBuffer = 2048;

class TWinSettingsFile : public ISettingsFile {
public:
  std::string ReadString(const std::string& Path, const std::string& Section, const std::string& Key,
                         const std::string& Default) override {
    std::vector<wchar_t> Buf(kProfileBuffer);
    const std::wstring S = rtl::WideText(Section), K = rtl::WideText(Key), D = rtl::WideText(Default),
                       P = rtl::WideText(Path);
    const DWORD N = ::GetPrivateProfileStringW(S.c_str(), K.c_str(), D.c_str(), Buf.data(), kProfileBuffer, P.c_str());
    return rtl::NarrowText(std::wstring(Buf.data(), N));
  }
};

// ===========================================================================
// Medium
// ===========================================================================

// The volume that holds the folder (rtl/Drives.h): a drive letter's, or
// that of a volume mounted in a folder.
class TWinMedium : public IMedium {
public:
  int64_t VolumeSize(const std::string& Folder) override { return rtl::VolumeTotalBytes(Folder); }
  TDriveKind DriveKind(const std::string& Folder) override { return DriveKindOf(rtl::DriveTypeOf(Folder)); }
};

// ===========================================================================
// User folders
// ===========================================================================

const char* const kExplorerKey = "Software\\MicroSoft\\Windows\\CurrentVersion\\Explorer";
const char* const kShellFolders = "\\Shell Folders";
const char* const kGrpConvMapGroups = "Software\\MicroSoft\\Windows\\CurrentVersion\\GrpConv\\MapGroups";
const char* const kProgramsKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

class TWinUserFolders : public IUserFolders {
public:
  std::string AppFolder() override {
    const DWORD N = ::GetCurrentDirectoryW(0, nullptr);
    std::wstring W(N, L'\0');
    const DWORD Got = ::GetCurrentDirectoryW(N, W.data());
    W.resize(Got < N ? Got : 0);
    return rtl::NarrowText(W);
  }
  std::string TempFolder() override { return rtl::TempDirectory(); }
  // The default installation folder lies on drive C, whoever the user is
  // ("C:\ebook\" and the title's folder).
  std::string HomeFolder() override { return "C:"; }
  std::string LocationFolder(uint8_t Kind) override {
    const std::string ShellFolders = std::string(kExplorerKey) + kShellFolders;
    switch (Kind) {
      case lkDesktop: return ReadUserRegistryString(ShellFolders, "Desktop");
      case lkQuickLaunch: return ReadUserRegistryString(kGrpConvMapGroups, "Quick Launch");
      case lkSendTo: return ReadUserRegistryString(ShellFolders, "SendTo");
      case lkStartMenu: return ReadUserRegistryString(ShellFolders, "Start Menu");
      default: return {};
    }
  }
  std::string ProgramsFolder() override { return ReadUserRegistryString(kProgramsKey, "Programs"); }
};

// ===========================================================================
// Program start
// ===========================================================================

class TWinProgramStarter : public IProgramStarter {
public:
  explicit TWinProgramStarter(std::function<void*()> Owner) : FOwner(std::move(Owner)) {}
  void Open(const std::string& File, const std::vector<std::string>& Args, const std::string& WorkDir) override {
    OpenShown(File, Args, WorkDir, TShowState::ssNormal, "");
  }
  // Every program the launcher starts runs here, so nothing stands in.
  void OpenShown(const std::string& File, const std::vector<std::string>& Args, const std::string& WorkDir,
                 TShowState Show, const std::string&) override {
    // Arguments come back together the way the system splits them again.
    std::string Parameters;
    for (const auto& A : Args) {
      if (!Parameters.empty()) Parameters += ' ';
      Parameters += '"' + A + '"';
    }
    ShellOpen(FOwner ? FOwner() : nullptr, File, Parameters, WorkDir,
              Show == TShowState::ssMaximized ? kShowMaximized : kShowNormal);
  }

private:
  std::function<void*()> FOwner;
};

// ===========================================================================
// Copy
// ===========================================================================

// The shell's own results that only it gives (the shared ones are in
// Platform.h), as its documentation numbers them.
constexpr int32_t kCopyManySourcesOneDest = 0x72;
constexpr int32_t kCopyOperationCancelled = 0x75;
constexpr int32_t kCopySourceAccessDenied = 0x78;
constexpr int32_t kCopyPathTooDeep = 0x79;
constexpr int32_t kCopyInvalidFiles = 0x7C;
constexpr int32_t kCopyFolderDestIsFile = 0x7E;
constexpr int32_t kCopyFileDestIsFolder = 0x80;
constexpr int32_t kCopyFileNameTooLong = 0x81;
constexpr int32_t kCopyDestIsCdrom = 0x82, kCopyDestIsDvd = 0x83, kCopyDestIsCdRecorder = 0x84;
constexpr int32_t kCopyFileTooLarge = 0x85;

// The text of a result of the shell's file operation: its own codes in the
// range it keeps for them (they take precedence over the system error codes
// of the same values), else a system error code.
std::string ShellCopyMessage(int Code) {
  switch (Code) {
    case kCopySameFile: return "source and destination are the same file";
    case kCopyManySourcesOneDest: return "several sources for one destination";
    case kCopyOperationCancelled: case kCopyCancelled: return "cancelled";
    case kCopyDestInsideSource: return "the destination lies inside the source folder";
    case kCopySourceAccessDenied: return "the source cannot be read (access denied)";
    case kCopyPathTooDeep: return "the path is too deep";
    case kCopyInvalidFiles: return "a source or destination name is not valid";
    case kCopyFolderDestIsFile: return "the destination is a file where a folder is copied";
    case kCopyFileDestIsFolder: return "the destination is a folder where a file is copied";
    case kCopyFileNameTooLong: return "a name is too long";
    case kCopyDestIsCdrom: case kCopyDestIsDvd: case kCopyDestIsCdRecorder: return "the destination is a read-only disc";
    case kCopyFileTooLarge: return "a file is too large for the destination's file system";
    case kCopyNoSource: return "an unknown error, mostly a source or destination path that is not valid";
    default: return SystemMessage(static_cast<DWORD>(Code));
  }
}

class TWinFileCopier : public IFileCopier {
public:
  TWinFileCopier(std::function<void*()> Owner, bool Unattended) : FOwner(std::move(Owner)), FUnattended(Unattended) {}

  int32_t Copy(const std::string& SourcePattern, const std::string& DestFolder, ICopyUi& Ui) override {
    // The shell would make a missing destination itself, and report a
    // failure only by a code of its own: with nobody watching, the folder
    // is made here, so that the message carries the system's reason.
    if (FUnattended) {
      const std::wstring Dest = rtl::WideText(DestFolder);
      const DWORD Attr = ::GetFileAttributesW(Dest.c_str());
      if (Attr == INVALID_FILE_ATTRIBUTES || !(Attr & FILE_ATTRIBUTE_DIRECTORY)) {
        if (!::CreateDirectoryW(Dest.c_str(), nullptr)) {
          const DWORD Err = ::GetLastError();
          Ui.ShowError("Cannot create the folder " + DestFolder + ": " + SystemMessage(Err));
          return static_cast<int32_t>(Err);
        }
      }
    }
    const std::wstring From = ShellPathList(SourcePattern);
    const std::wstring To = ShellPathList(DestFolder);
    SHFILEOPSTRUCTW Op{};
    Op.hwnd = static_cast<HWND>(FOwner ? FOwner() : nullptr);
    Op.wFunc = FO_COPY;
    Op.pFrom = From.c_str();
    Op.pTo = To.c_str();
    // With a person watching the shell shows its progress, asks before it
    // replaces a file and reports its own errors; nobody answers its
    // questions in the unattended modes.
    Op.fFlags = FUnattended ? FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI | FOF_SILENT : 0;
    const int Code = ::SHFileOperationW(&Op);
    // Nobody sees the shell's error boxes then; the code goes where the
    // command-line modes write their messages.
    if (Code != 0 && FUnattended)
      Ui.ShowError("Copy of " + SourcePattern + " into " + DestFolder + " failed: " + ShellCopyMessage(Code));
    MakeCopiesWritable(SourcePattern, DestFolder);
    return Code;
  }

private:
  // Whatever of the source pattern now exists in the destination came from
  // the copy (or was kept there by the user's "no"); both are the user's
  // files and must be writable.
  static void MakeCopiesWritable(const std::string& SourcePattern, const std::string& DestFolder) {
    const std::string Dest = !DestFolder.empty() && DestFolder.back() == '\\' ? DestFolder : DestFolder + "\\";
    ForEachEntry(rtl::WideText(SourcePattern),
                 [&](const std::wstring& Name, DWORD) { MakeWritableTree(Dest + rtl::NarrowText(Name)); });
  }

  std::function<void*()> FOwner;
  bool FUnattended;
};

// ===========================================================================
// Shortcuts
// ===========================================================================

const char* const kShellLinkClassId = "{00021401-0000-0000-C000-000000000046}";

template <typename T>
struct TComPtr {
  T* P = nullptr;
  ~TComPtr() {
    if (P) P->Release();
  }
  T* operator->() const { return P; }
};

class TShellLinkWriter : public IShortcutWriter {
public:
  std::string Extension() override { return ".lnk"; }
  void Save(const TShortcut& Link, const std::string& LinkPath, uint8_t) override {
    TComPtr<IShellLinkW> ShellLink;
    const HRESULT Hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                          IID_IShellLinkW, reinterpret_cast<void**>(&ShellLink.P));
    if (FAILED(Hr)) throw rtl::Exception(SystemMessage(static_cast<DWORD>(Hr)) + ", ClassID: " + kShellLinkClassId);
    TComPtr<IPersistFile> File;
    if (FAILED(ShellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&File.P))))
      throw rtl::Exception("Interface not supported");
    // The results of the property calls and of the save are not looked at:
    // a shortcut that cannot be made never stops an installation.
    ShellLink->SetPath(rtl::WideText(Link.Target).c_str());
    ShellLink->SetArguments(rtl::WideText(Link.Arguments).c_str());
    ShellLink->SetDescription(rtl::WideText(Link.Description).c_str());
    ShellLink->SetWorkingDirectory(rtl::WideText(Link.WorkDir).c_str());
    File->Save(rtl::WideText(LinkPath).c_str(), FALSE);
  }
};

// ===========================================================================
// Files and folders
// ===========================================================================

// Longest path the folder routines take, terminating NUL included.
constexpr size_t kMaxPath = MAX_PATH;
static_assert(kMaxPath == 260);

std::wstring FullPath(const std::wstring& Path) {
  const DWORD N = ::GetFullPathNameW(Path.c_str(), 0, nullptr, nullptr);
  if (N == 0) return Path;
  std::wstring Full(N, L'\0');
  const DWORD Got = ::GetFullPathNameW(Path.c_str(), N, Full.data(), nullptr);
  Full.resize(Got < N ? Got : 0);
  return Full;
}

// The final name of an existing entry, links and junctions resolved, in the
// form of a full path; empty when it cannot be opened.
std::wstring FinalPath(const std::wstring& Full) {
  const HANDLE H = ::CreateFileW(Full.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (H == INVALID_HANDLE_VALUE) return {};
  std::wstring Final(32768, L'\0');
  const DWORD N = ::GetFinalPathNameByHandleW(H, Final.data(), static_cast<DWORD>(Final.size()), FILE_NAME_NORMALIZED);
  ::CloseHandle(H);
  if (N == 0 || N >= Final.size()) return {};
  Final.resize(N);
  // The final name comes in its long form, which a full path does not use.
  if (Final.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + Final.substr(8);
  if (Final.rfind(L"\\\\?\\", 0) == 0) return Final.substr(4);
  return Final;
}

// The path made full, with links resolved in the part of it that exists: a
// folder not made yet below a link or another drive's name for the same
// folder resolves like its parent.
std::wstring ResolvedPath(const std::wstring& Path) {
  std::wstring Head = FullPath(Path), Tail;
  for (;;) {
    if (std::wstring Final = FinalPath(Head); !Final.empty()) {
      if (!Tail.empty() && Final.back() != L'\\') Final += L'\\';
      return Final + Tail;
    }
    while (Head.size() > 3 && Head.back() == L'\\') Head.pop_back();
    const size_t Cut = Head.find_last_of(L'\\');
    // A drive's root or a server's name is as far up as it goes.
    if (Head.size() <= 3 || Cut == std::wstring::npos || Cut < 2) break;
    Tail = Head.substr(Cut + 1) + (Tail.empty() ? L"" : L"\\" + Tail);
    Head.resize(Cut == 2 ? 3 : Cut);  // a drive's root keeps its separator
  }
  return FullPath(Path);
}

bool SameTextW(const std::wstring& A, const std::wstring& B) {
  return ::CompareStringOrdinal(A.data(), static_cast<int>(A.size()), B.data(), static_cast<int>(B.size()), TRUE) ==
         CSTR_EQUAL;
}

// Removes one entry found in a folder walk, never entering a reparse point.
void DeleteEntry(const std::wstring& Path, DWORD Attr) {
  if ((Attr & FILE_ATTRIBUTE_DIRECTORY) && !(Attr & FILE_ATTRIBUTE_REPARSE_POINT)) {
    ForEachEntry(Path + L"\\*", [&](const std::wstring& Name, DWORD A) { DeleteEntry(Path + L"\\" + Name, A); });
  }
  ::SetFileAttributesW(Path.c_str(), FILE_ATTRIBUTE_NORMAL);
  // A folder link (junction or symbolic link) goes as a folder entry; what
  // it points to is left alone.
  if (Attr & FILE_ATTRIBUTE_DIRECTORY) ::RemoveDirectoryW(Path.c_str());
  else ::DeleteFileW(Path.c_str());
}

// The SID a token information class of this process's token holds (the
// user, or the default owner of what the process creates).
std::vector<BYTE> TokenSid(TOKEN_INFORMATION_CLASS Class) {
  HANDLE Token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &Token)) return {};
  DWORD Bytes = 0;
  ::GetTokenInformation(Token, Class, nullptr, 0, &Bytes);
  std::vector<BYTE> Info(Bytes);
  const bool Ok = Bytes && ::GetTokenInformation(Token, Class, Info.data(), Bytes, &Bytes);
  ::CloseHandle(Token);
  if (!Ok) return {};
  // Both classes start with the SID's pointer.
  const PSID Sid = Class == TokenUser ? reinterpret_cast<TOKEN_USER*>(Info.data())->User.Sid
                                      : reinterpret_cast<TOKEN_OWNER*>(Info.data())->Owner;
  const BYTE* From = static_cast<const BYTE*>(Sid);
  return std::vector<BYTE>(From, From + ::GetLengthSid(Sid));
}

// Empty when the folder's owner is the current user (or the owner this
// process gives what it creates, the Administrators group for an elevated
// administrator); otherwise why not.
std::string OwnerProblem(const std::wstring& Path) {
  PSID Owner = nullptr;
  PSECURITY_DESCRIPTOR Sd = nullptr;
  const DWORD Rc = ::GetNamedSecurityInfoW(Path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &Owner, nullptr,
                                           nullptr, nullptr, &Sd);
  if (Rc != ERROR_SUCCESS) return "its owner cannot be read: " + SystemMessage(Rc);
  bool Mine = false;
  for (TOKEN_INFORMATION_CLASS Class : {TokenUser, TokenOwner}) {
    std::vector<BYTE> Sid = TokenSid(Class);
    if (Owner && !Sid.empty() && ::EqualSid(Owner, Sid.data())) Mine = true;
  }
  ::LocalFree(Sd);
  return Mine ? std::string() : "it belongs to another user";
}

bool IsDriveLetter(wchar_t C) { return (C >= L'A' && C <= L'Z') || (C >= L'a' && C <= L'z'); }

class TWinFileSystem : public IFileSystem {
public:
  bool FileExists(const std::string& Path) override {
    const DWORD Attr = ::GetFileAttributesW(rtl::WideText(Path).c_str());
    return Attr != INVALID_FILE_ATTRIBUTES && !(Attr & FILE_ATTRIBUTE_DIRECTORY);
  }

  // Absolute only with a drive and its root or as a network or device
  // path: "C:name" and "\\name" are relative (rtl::IsFullPath).
  bool IsAbsolutePath(const std::string& Path) override { return rtl::IsFullPath(Path); }

  std::string ExpandFileName(const std::string& Path) override {
    return IsAbsolutePath(Path) ? Path : rtl::NarrowText(FullPath(rtl::WideText(Path)));
  }

  bool IsSameOrInside(const std::string& Path, const std::string& Folder) override {
    std::wstring P = ResolvedPath(rtl::WideText(Path)), F = ResolvedPath(rtl::WideText(Folder));
    while (F.size() > 3 && F.back() == L'\\') F.pop_back();
    if (P.size() < F.size() || !SameTextW(P.substr(0, F.size()), F)) return false;
    return P.size() == F.size() || F.back() == L'\\' || P[F.size()] == L'\\';
  }

  void DeleteTree(const std::string& Path) override {
    const std::wstring W = rtl::WideText(Path);
    const DWORD Attr = ::GetFileAttributesW(W.c_str());
    if (Attr != INVALID_FILE_ATTRIBUTES) DeleteEntry(W, Attr);
  }

  // The user's temporary folder is the user's alone on Windows; the folder
  // inherits its protection.
  void CreatePrivateDir(const std::string& Path) override { ::CreateDirectoryW(rtl::WideText(Path).c_str(), nullptr); }

  std::string CheckPrivateFolder(const std::string& Path) override {
    const DWORD Attr = ::GetFileAttributesW(rtl::WideText(Path).c_str());
    if (Attr == INVALID_FILE_ATTRIBUTES) return "it could not be created";
    if (Attr & FILE_ATTRIBUTE_REPARSE_POINT) return "it is a symbolic link";
    if (!(Attr & FILE_ATTRIBUTE_DIRECTORY)) return "it is not a folder";
    return OwnerProblem(rtl::WideText(Path));
  }

  void ForceDirectories(const std::string& Path) override {
    const std::wstring W = rtl::WideText(Path);
    if (W.empty()) throw rtl::Exception("The path format is not supported");
    for (wchar_t C : W)
      if (C < 32 || C == L'"' || C == L'<' || C == L'>' || C == L'|' || C == L'*' || C == L'?')
        throw rtl::Exception("Invalid characters in path");
    if (W.size() >= kMaxPath) throw rtl::Exception("The specified path is too long");
    const size_t Colon = W.find(L':');
    if (Colon != std::wstring::npos && (Colon != 1 || !IsDriveLetter(W[0]) || W.find(L':', 2) != std::wstring::npos))
      throw rtl::Exception("The path format is not supported");
    const std::wstring Full = FullPath(W);
    if (Full.size() >= kMaxPath) throw rtl::Exception("The specified path is too long");
    if (Full.size() > 1 && Full[1] == L':' &&
        ::GetDriveTypeW((Full.substr(0, 2) + L"\\").c_str()) == DRIVE_NO_ROOT_DIR)
      throw rtl::Exception("The drive cannot be found");
    try {
      rtl::ForceDirectories(rtl::NarrowText(Full));
    } catch (const rtl::EInOutError&) {
      // Left for the copy to meet.
    }
  }
};

} // namespace

// ===========================================================================
// Shared pieces
// ===========================================================================

void ShellOpen(void* Owner, const std::string& File, const std::string& Parameters, const std::string& WorkDir,
               int ShowCommand) {
  const std::wstring F = rtl::WideText(File), P = rtl::WideText(Parameters), D = rtl::WideText(WorkDir);
  ::ShellExecuteW(static_cast<HWND>(Owner), L"open", F.c_str(), P.empty() ? nullptr : P.c_str(),
                  D.empty() ? nullptr : D.c_str(), ShowCommand);
}

std::string ReadUserRegistryString(const std::string& Key, const std::string& Name) {
  HKEY H = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, rtl::WideText(Key).c_str(), 0, KEY_QUERY_VALUE, &H) != ERROR_SUCCESS)
    return {};
  const std::wstring N = rtl::WideText(Name);
  DWORD Type = 0, Bytes = 0;
  std::wstring Value;
  LONG Rc = ::RegQueryValueExW(H, N.c_str(), nullptr, &Type, nullptr, &Bytes);
  if (Rc == ERROR_SUCCESS && Type != REG_SZ && Type != REG_EXPAND_SZ) {
    ::RegCloseKey(H);
    throw rtl::Exception("Invalid data type for '" + Name + "'");
  }
  if (Rc == ERROR_SUCCESS && Bytes > 0) {
    Value.assign(Bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD Room = static_cast<DWORD>(Value.size() * sizeof(wchar_t));
    Rc = ::RegQueryValueExW(H, N.c_str(), nullptr, &Type, reinterpret_cast<BYTE*>(Value.data()), &Room);
    if (Rc != ERROR_SUCCESS) Value.clear();
    // A stored string may or may not carry its terminating NULs.
    const size_t End = Value.find(L'\0');
    if (End != std::wstring::npos) Value.resize(End);
  }
  ::RegCloseKey(H);
  return rtl::NarrowText(Value);
}

void MakeWritableTree(const std::string& Path) {
  const std::wstring W = rtl::WideText(Path);
  const DWORD Attr = ::GetFileAttributesW(W.c_str());
  if (Attr == INVALID_FILE_ATTRIBUTES) return;
  if (Attr & FILE_ATTRIBUTE_READONLY) ::SetFileAttributesW(W.c_str(), Attr & ~DWORD(FILE_ATTRIBUTE_READONLY));
  if (!(Attr & FILE_ATTRIBUTE_DIRECTORY) || (Attr & FILE_ATTRIBUTE_REPARSE_POINT)) return;
  ForEachEntry(W + L"\\*",
               [&](const std::wstring& Name, DWORD) { MakeWritableTree(Path + "\\" + rtl::NarrowText(Name)); });
}

namespace {

struct TBrowseState {
  HWND Owner;
};

// Centres the browser on the monitor that holds its owner once it is up.
int CALLBACK BrowseCallback(HWND Dialog, UINT Msg, LPARAM, LPARAM Data) {
  if (Msg != BFFM_INITIALIZED) return 0;
  const auto* State = reinterpret_cast<const TBrowseState*>(Data);
  MONITORINFO Mi{};
  Mi.cbSize = sizeof Mi;
  const HMONITOR Mon = ::MonitorFromWindow(State->Owner ? State->Owner : Dialog, MONITOR_DEFAULTTONEAREST);
  RECT R{};
  if (::GetMonitorInfoW(Mon, &Mi) && ::GetWindowRect(Dialog, &R)) {
    const int W = R.right - R.left, H = R.bottom - R.top;
    const int X = Mi.rcMonitor.left + (Mi.rcMonitor.right - Mi.rcMonitor.left - W) / 2;
    const int Y = Mi.rcMonitor.top + (Mi.rcMonitor.bottom - Mi.rcMonitor.top - H) / 2;
    ::SetWindowPos(Dialog, nullptr, X, Y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  return 0;
}

} // namespace

std::string BrowseForFolder(void* Owner, const std::string& Title, const std::string& RootFolder) {
  PIDLIST_ABSOLUTE Root = nullptr;
  ::SHParseDisplayName(rtl::WideText(RootFolder).c_str(), nullptr, &Root, 0, nullptr);
  const std::wstring T = rtl::WideText(Title);
  TBrowseState State{static_cast<HWND>(Owner)};
  BROWSEINFOW Bi{};
  Bi.hwndOwner = State.Owner;
  Bi.pidlRoot = Root;
  Bi.lpszTitle = T.c_str();
  Bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  Bi.lpfn = BrowseCallback;
  Bi.lParam = reinterpret_cast<LPARAM>(&State);
  std::string Chosen;
  if (PIDLIST_ABSOLUTE Item = ::SHBrowseForFolderW(&Bi)) {
    wchar_t Path[MAX_PATH] = {};
    if (::SHGetPathFromIDListW(Item, Path)) Chosen = rtl::NarrowText(Path);
    ::CoTaskMemFree(Item);
  }
  if (Root) ::CoTaskMemFree(Root);
  return Chosen;
}

TLauncherPlatform MakeWinPlatform(TWinPlatformOptions Options) {
  TLauncherPlatform P;
  P.Settings = std::make_unique<TWinSettingsFile>();
  P.Medium = std::make_unique<TWinMedium>();
  P.Folders = std::make_unique<TWinUserFolders>();
  P.Starter = std::make_unique<TWinProgramStarter>(Options.OwnerWindow);
  P.Copier = std::make_unique<TWinFileCopier>(Options.OwnerWindow, Options.Unattended);
  P.Shortcuts = std::make_unique<TShellLinkWriter>();
  P.Files = std::make_unique<TWinFileSystem>();
  return P;
}

} // namespace launcher
