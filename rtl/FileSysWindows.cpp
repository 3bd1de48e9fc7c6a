// FileSys on Windows: files through CreateFileW and the other "W" calls,
// names UTF-8 in the program and UTF-16 at the call (WinText.h).
//
// What the POSIX side gets from the kernel is built here from the calls a
// Windows program has:
//   - a symbolic link is any reparse point (symbolic links and junctions
//     alike): each can take a path elsewhere, and an extraction never writes
//     through one;
//   - a file time is a local calendar time turned into UTC by the time zone
//     rules of that date (TzSpecificLocalTimeToSystemTime), as mktime does
//     there, so an item extracted in summer and in winter gets the same
//     wall-clock time;
//   - attributes are the archive's own read-only, hidden, system and archive
//     bits; an entry made on Unix is read-only exactly when its owner may
//     not write it;
//   - creating a file over an existing hidden or system file keeps those
//     bits (CreateFileW would otherwise refuse with "access denied"), so an
//     archive can be extracted twice into the same folder;
//   - files are shared for deletion, as POSIX files always are: a failed
//     item's partial file is deleted while its stream is still open, and
//     without FILE_SHARE_DELETE that deletion would fail and leave the
//     partial file behind (the name goes when the last handle closes).
#include "rtl/FileSys.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shlobj.h>
#undef DeleteFile

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "rtl/Classes.h"
#include "rtl/WinText.h"

namespace rtl {

namespace {

constexpr DWORD kDosAttributeMask =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
constexpr uint32_t kOwnerWrite = 0200;
// Most bytes one ReadFile or WriteFile moves (the calls count in 32 bits).
constexpr int64_t kMaxTransfer = int64_t(1) << 30;

HANDLE H(THandle Handle) { return reinterpret_cast<HANDLE>(Handle); }

DWORD ShareMode(uint16_t Mode) {
  switch (Mode & 0x00F0) {
    case 0x0010: return 0;                  // deny all
    case 0x0020: return FILE_SHARE_READ;    // deny write
    case 0x0030: return FILE_SHARE_WRITE;   // deny read
    default: return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  }
}

DWORD AttributesOf(const std::string& Name) { return GetFileAttributesW(WidePath(Name).c_str()); }

bool LocalTimeToUtc(TDateTime LocalTime, FILETIME& Utc) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(LocalTime, y, mo, d);
  DecodeTime(LocalTime, h, mi, s, ms);
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(y);
  local.wMonth = static_cast<WORD>(mo);
  local.wDay = static_cast<WORD>(d);
  local.wHour = static_cast<WORD>(h);
  local.wMinute = static_cast<WORD>(mi);
  local.wSecond = static_cast<WORD>(s);
  SYSTEMTIME utc{};
  return TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) && SystemTimeToFileTime(&utc, &Utc);
}

// The attributes FileSetAttr gives a file that has Current.
DWORD WantedAttributes(DWORD Current, uint32_t DosAttributes, uint32_t UnixMode) {
  DWORD a = (Current & ~kDosAttributeMask) | (DosAttributes & kDosAttributeMask);
  if (UnixMode & 0777) {
    if (UnixMode & kOwnerWrite) a &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    else a |= FILE_ATTRIBUTE_READONLY;
  }
  a &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
  return a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
}

HANDLE OpenForAttributes(const std::string& Name) {
  return CreateFileW(WidePath(Name).c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

} // namespace

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------

THandle FileOpenHandle(const std::string& Name, uint16_t Mode, std::string& Why) {
  const std::wstring wide = WidePath(Name);
  HANDLE h;
  if (Mode == fmCreate) {
    // Never through a link planted where the file should be.
    DWORD existing = GetFileAttributesW(wide.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_REPARSE_POINT)) {
      Why = "The name is a link";
      return InvalidHandle;
    }
    DWORD keep = FILE_ATTRIBUTE_NORMAL;
    if (existing != INVALID_FILE_ATTRIBUTES && !(existing & FILE_ATTRIBUTE_READONLY))
      keep = existing & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                    keep ? keep : FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    DWORD access = (Mode & 3) == fmOpenWrite ? GENERIC_WRITE
                   : (Mode & 3) == fmOpenReadWrite ? GENERIC_READ | GENERIC_WRITE
                                                   : GENERIC_READ;
    h = CreateFileW(wide.c_str(), access, ShareMode(Mode), nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    DWORD a = GetFileAttributesW(wide.c_str());
    Why = a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) ? "Is a directory" : SysErrorMessage(static_cast<int>(code));
    SetLastError(code);
    return InvalidHandle;
  }
  return reinterpret_cast<THandle>(h);
}

int64_t FileReadHandle(THandle Handle, void* Buffer, int64_t Count) {
  DWORD done = 0;
  if (!ReadFile(H(Handle), Buffer, static_cast<DWORD>(std::min(Count, kMaxTransfer)), &done, nullptr)) {
    DWORD e = GetLastError();
    // The writer of a pipe has gone: the end of the data.
    if (e == ERROR_BROKEN_PIPE || e == ERROR_HANDLE_EOF) return 0;
    return -1;
  }
  return done;
}

int64_t FileReadHandleAt(THandle Handle, void* Buffer, int64_t Count, int64_t Offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(Offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(Offset) >> 32);
  DWORD done = 0;
  if (!ReadFile(H(Handle), Buffer, static_cast<DWORD>(std::min(Count, kMaxTransfer)), &done, &at))
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return done;
}

int64_t FileWriteHandle(THandle Handle, const void* Buffer, int64_t Count) {
  DWORD done = 0;
  if (!WriteFile(H(Handle), Buffer, static_cast<DWORD>(std::min(Count, kMaxTransfer)), &done, nullptr)) return -1;
  return done;
}

int64_t FileSeekHandle(THandle Handle, int64_t Offset, int Origin) {
  const auto o = static_cast<TSeekOrigin>(Origin);
  DWORD method = o == soBeginning ? FILE_BEGIN : o == soCurrent ? FILE_CURRENT : FILE_END;
  if (GetFileType(H(Handle)) != FILE_TYPE_DISK) return -1;  // pipes and consoles have no positions
  LARGE_INTEGER to, at;
  to.QuadPart = Offset;
  if (!SetFilePointerEx(H(Handle), to, &at, method)) return -1;
  return at.QuadPart;
}

bool FileTruncateHandle(THandle Handle, int64_t Size) {
  // As ftruncate: the position stays where it was.
  LARGE_INTEGER zero{}, here{}, to{};
  if (!SetFilePointerEx(H(Handle), zero, &here, FILE_CURRENT)) return false;
  to.QuadPart = Size;
  bool ok = SetFilePointerEx(H(Handle), to, nullptr, FILE_BEGIN) && SetEndOfFile(H(Handle));
  DWORD code = GetLastError();
  SetFilePointerEx(H(Handle), here, nullptr, FILE_BEGIN);
  SetLastError(code);
  return ok;
}

void FileCloseHandle(THandle Handle) { CloseHandle(H(Handle)); }

int LastOSError() { return static_cast<int>(GetLastError()); }

std::string SysErrorMessage(int Code) {
  wchar_t* buf = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(Code), 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
  std::string text = n ? NarrowText(buf, n) : "System error " + std::to_string(Code);
  if (buf) LocalFree(buf);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) text.pop_back();
  return text;
}

bool IsDiskFullError(int Code) {
  constexpr int kDiskQuotaExceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED, missing from some headers
  return Code == ERROR_DISK_FULL || Code == ERROR_HANDLE_DISK_FULL || Code == kDiskQuotaExceeded;
}

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

bool FileExists(const std::string& Name) {
  DWORD a = AttributesOf(Name);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& Name) {
  if (Name.empty()) return false;
  DWORD a = AttributesOf(Name);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExistsNoFollow(const std::string& Name) { return AttributesOf(Name) != INVALID_FILE_ATTRIBUTES; }

bool IsSymLink(const std::string& Name) { return PathKindNoFollow(Name) == TPathKind::pkLink; }

TPathKind PathKindNoFollow(const std::string& Name) {
  DWORD a = AttributesOf(Name);
  if (a == INVALID_FILE_ATTRIBUTES) return TPathKind::pkMissing;
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return TPathKind::pkLink;
  return (a & FILE_ATTRIBUTE_DIRECTORY) ? TPathKind::pkFolder : TPathKind::pkOther;
}

int64_t FileSizeOf(const std::string& Name) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(WidePath(Name).c_str(), GetFileExInfoStandard, &d)) return -1;
  return (static_cast<int64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

bool CreateDir(const std::string& Name) { return CreateDirectoryW(WidePath(Name).c_str(), nullptr) != 0; }

bool DeleteFile(const std::string& Name) { return DeleteFileW(WidePath(Name).c_str()) != 0; }

std::string GetCurrentDir() {
  DWORD n = GetCurrentDirectoryW(0, nullptr);
  std::wstring buf(n, L'\0');
  n = GetCurrentDirectoryW(n, buf.data());
  if (n == 0) return ".";
  buf.resize(n);
  return NarrowText(buf);
}

std::string ExpandFileName(const std::string& Name) {
  if (Name.empty()) return GetCurrentDir();
  std::wstring in = WideText(Name);
  DWORD n = GetFullPathNameW(in.c_str(), 0, nullptr, nullptr);
  if (n == 0) return Name;
  std::wstring buf(n, L'\0');
  n = GetFullPathNameW(in.c_str(), n, buf.data(), nullptr);
  buf.resize(n);
  return NarrowText(buf);
}

std::string AppFileName() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return "";
    if (n < buf.size()) {
      buf.resize(n);
      return NarrowText(buf);
    }
    buf.resize(buf.size() * 2);
  }
}

// ---------------------------------------------------------------------------
// Times
// ---------------------------------------------------------------------------

namespace {

// FILETIME counts 100 ns steps since 1601-01-01 UTC.
constexpr int64_t kEpochDifferenceSeconds = 11644473600;  // 1601 to 1970
constexpr int64_t kTicksPerSecond = 10000000;
constexpr uint32_t kNanosecondsPerTick = 100;

FILETIME ToFileTime(const TFileTime& Time) {
  const uint64_t ticks = static_cast<uint64_t>((Time.Seconds + kEpochDifferenceSeconds) * kTicksPerSecond) +
                         (Time.Nanoseconds % 1000000000u) / kNanosecondsPerTick;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

} // namespace

bool LocalTimeToFileTime(TDateTime LocalTime, TFileTime& Time) {
  FILETIME ft;
  if (!LocalTimeToUtc(LocalTime, ft)) return false;
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  Time.Seconds = ticks / kTicksPerSecond - kEpochDifferenceSeconds;
  Time.Nanoseconds = static_cast<uint32_t>(ticks % kTicksPerSecond) * kNanosecondsPerTick;
  return true;
}

// The name form opens the entry itself (a link, not what it points to; a
// folder as well as a file).
bool FileSetTime(const std::string& Name, const TFileTime& Time) {
  HANDLE h = OpenForAttributes(Name);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = FileSetTimeHandle(reinterpret_cast<THandle>(h), Time);
  CloseHandle(h);
  return ok;
}

bool FileSetTimeHandle(THandle Handle, const TFileTime& Time) {
  const FILETIME ft = ToFileTime(Time);
  return SetFileTime(H(Handle), nullptr, nullptr, &ft) != 0;
}

// ---------------------------------------------------------------------------
// Replacement files and links
// ---------------------------------------------------------------------------

namespace {

// A hidden name beside Name that no one else uses: ".name.XXXXXXXX".
std::string TemporarySibling(const std::string& Name, unsigned Attempt) {
  static std::atomic<unsigned> counter{0};
  const size_t p = Name.find_last_of("\\/:");
  const std::string folder = p == std::string::npos ? "" : Name.substr(0, p + 1);
  std::string base = p == std::string::npos ? Name : Name.substr(p + 1);
  if (base.size() > 200) base.resize(200);  // room for the suffix within a name's 255 characters
  const unsigned v = static_cast<unsigned>(GetCurrentProcessId()) * 2654435761u + ++counter * 40503u +
                     static_cast<unsigned>(GetTickCount()) + Attempt;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x", v);
  return folder + "." + base + suffix;
}

constexpr unsigned kTemporaryNameAttempts = 100;

// Deletes a file this process made, read-only or not.
void DeleteOwnFile(const std::string& Name) {
  const std::wstring wide = WidePath(Name);
  SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(wide.c_str());
}

} // namespace

// The data goes into a hidden file of a fresh name in the target's folder,
// shared for deletion so that it can be renamed while open.
THandle FileCreateReplacement(const std::string& Name, std::string& TempName, std::string& Why) {
  TempName.clear();
  for (unsigned attempt = 0;; ++attempt) {
    std::string temp = TemporarySibling(Name, attempt);
    HANDLE h = CreateFileW(WidePath(temp).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      TempName = std::move(temp);
      return reinterpret_cast<THandle>(h);
    }
    const DWORD code = GetLastError();
    if ((code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) || attempt == kTemporaryNameAttempts) {
      Why = SysErrorMessage(static_cast<int>(code));
      return InvalidHandle;
    }
  }
}

// MoveFileExW replaces a file or a link under Name (the link itself, never
// what it points to) but refuses a read-only file: that attribute comes off
// first and goes back when the move fails.
bool FileCommitReplacement(THandle, std::string& TempName, const std::string& Name, int& Code) {
  const std::wstring target = WidePath(Name);
  const DWORD old = GetFileAttributesW(target.c_str());
  const bool unprotect = old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) &&
                         !(old & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  if (unprotect) SetFileAttributesW(target.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (MoveFileExW(WidePath(TempName).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    TempName.clear();
    return true;
  }
  Code = static_cast<int>(GetLastError());
  if (unprotect) SetFileAttributesW(target.c_str(), old);
  DeleteOwnFile(TempName);
  TempName.clear();
  return false;
}

void FileDiscardReplacement(const std::string& TempName) {
  if (!TempName.empty()) DeleteOwnFile(TempName);
}

// Windows opens no file relative to a folder handle through its documented
// calls: the name forms serve, inside folders TFolderTree verified once.
THandle FileCreateReplacementAt(THandle, const std::string&, const std::string& Name, std::string& TempName,
                                std::string& Why) {
  return FileCreateReplacement(Name, TempName, Why);
}

bool FileCommitReplacementAt(THandle Handle, THandle, const std::string&, std::string& TempName,
                             const std::string& Name, bool Replace, int& Code) {
  if (!Replace && AttributesOf(Name) != INVALID_FILE_ATTRIBUTES) {
    Code = 0;
    return false;
  }
  return FileCommitReplacement(Handle, TempName, Name, Code);
}

void FileDiscardReplacementAt(THandle, const std::string& TempName) { FileDiscardReplacement(TempName); }

// The tree remembers the folders it verified by name (no handles): each is
// looked at once, by one attribute query, or made.
bool TFolderTree::OpenBase(const std::string&, THandle& Folder, int&) {
  Folder = InvalidHandle;
  return true;
}

TFolderTree::TResult TFolderTree::Step(THandle, const std::string& ParentPath, const std::string& Name, bool Create,
                                       THandle& Folder, bool& Made, int& Code) {
  Folder = InvalidHandle;
  Made = false;
  const std::string path = IncludeTrailingPathDelimiter(ParentPath) + Name;
  const DWORD a = AttributesOf(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    if (!Create) return TResult::frMissing;
    if (CreateDir(path)) {
      Made = true;
      return TResult::frOk;
    }
    // The creation's own error, kept across the look that follows (it may
    // have lost a race to another creator, which is no failure).
    Code = LastOSError();
    const DWORD now = AttributesOf(path);
    if (now == INVALID_FILE_ATTRIBUTES) return TResult::frFailed;
    if (now & FILE_ATTRIBUTE_REPARSE_POINT) return TResult::frLink;
    return (now & FILE_ATTRIBUTE_DIRECTORY) ? TResult::frOk : TResult::frFailed;
  }
  if (a & FILE_ATTRIBUTE_REPARSE_POINT) return TResult::frLink;
  if (a & FILE_ATTRIBUTE_DIRECTORY) return TResult::frOk;
  if (!Create) return TResult::frMissing;
  Code = ERROR_ALREADY_EXISTS;
  return TResult::frFailed;
}

void TFolderTree::Close(THandle) {}

TPathKind TFolderTree::LookAt(THandle, const std::string& Path, const std::string& Leaf) {
  return PathKindNoFollow(IncludeTrailingPathDelimiter(Path) + Leaf);
}

// Making links takes a privilege (or developer mode) that ordinary users do
// not have, and a link entry then extracts as a file holding its target, as
// it always has on Windows.
bool SymLinksSupported() { return false; }

void CreateSymLink(const std::string&, const std::string& Name) {
  RaiseOSError(ERROR_NOT_SUPPORTED, "Cannot create link \"" + Name + "\"");
}

// Attributes that are already right are not written again.
bool FileSetAttr(const std::string& Name, uint32_t DosAttributes, uint32_t UnixMode) {
  const std::wstring wide = WidePath(Name);
  DWORD a = GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  DWORD want = WantedAttributes(a, DosAttributes, UnixMode);
  if ((a & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) == (want & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL))) return true;
  return SetFileAttributesW(wide.c_str(), want) != 0;
}

bool FileSetAttrHandle(THandle Handle, uint32_t DosAttributes, uint32_t UnixMode) {
  FILE_BASIC_INFO info{};
  if (!GetFileInformationByHandleEx(H(Handle), FileBasicInfo, &info, sizeof info)) return false;
  if (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  DWORD want = WantedAttributes(info.FileAttributes, DosAttributes, UnixMode);
  if ((info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)) == (want & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL)))
    return true;
  FILE_BASIC_INFO set{};  // zero times: left as they are
  set.FileAttributes = want;
  return SetFileInformationByHandle(H(Handle), FileBasicInfo, &set, sizeof set) != 0;
}

// Files here have no mode: the one given is only what the attributes are
// derived from.
bool FileSetAttrHandle(THandle Handle, uint32_t DosAttributes, uint32_t UnixMode, uint32_t) {
  return FileSetAttrHandle(Handle, DosAttributes, UnixMode);
}

// A new file may be read and written by everyone who may see it.
uint32_t NewFileMode() { return 0666; }

void ForceDirectories(const std::string& Path, bool) {
  if (Path.empty() || DirectoryExists(Path)) return;
  const std::string full = ExpandFileName(Path);
  // The root: "C:\", or "\\server\share\" whose share is the root.
  size_t start = 3;
  if (full.size() >= 2 && IsPathDelimiter(full[0]) && IsPathDelimiter(full[1])) {
    const size_t server = full.find_first_of("\\/", 2);
    start = server == std::string::npos ? full.size() : full.find_first_of("\\/", server + 1);
    if (start == std::string::npos) start = full.size();
  }
  for (size_t p = full.find_first_of("\\/", start);; p = full.find_first_of("\\/", p + 1)) {
    const std::string prefix = p == std::string::npos ? full : full.substr(0, p);
    if (!prefix.empty() && !DirectoryExists(prefix) && !CreateDir(prefix)) {
      // The creation's own error, kept across the look that follows (it
      // may have lost a race to another creator, which is no failure).
      const int err = LastOSError();
      if (!DirectoryExists(prefix)) RaiseOSError(err, "Unable to create directory \"" + prefix + "\"");
    }
    if (p == std::string::npos) break;
  }
}

namespace {

std::string EnvironmentValue(const wchar_t* Name) {
  const DWORD n = GetEnvironmentVariableW(Name, nullptr, 0);
  if (n == 0) return {};
  std::wstring w(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(Name, w.data(), n);
  w.resize(got < n ? got : 0);
  return NarrowText(w);
}

} // namespace

std::string HomeDirectory() { return EnvironmentValue(L"USERPROFILE"); }

std::string TempDirectory() {
  // As the system's own programs look.
  for (const wchar_t* name : {L"TEMP", L"TMP"})
    if (std::string t = EnvironmentValue(name); !t.empty()) return t;
  wchar_t local[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, local)))
    return {};
  const std::wstring folder = std::wstring(local) + L"\\Temp";
  CreateDirectoryW(folder.c_str(), nullptr);
  return NarrowText(folder);
}

} // namespace rtl
