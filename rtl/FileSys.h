// FileSys: the file and folder operations the engine and launcher need,
// and path helpers.
//
// Paths are native and UTF-8: "\" separates folders on Windows ("/" is read
// as one too, and a drive "C:" ends a path's folder part), "/" elsewhere. The
// Windows sources turn names into UTF-16 only at the system call. The helpers
// mirror a Windows runtime's (ExtractFilePath keeps the trailing separator,
// IncludeTrailingPathDelimiter adds one), so that algorithms written for
// that runtime read the same on both systems.
//
// FileSysPosix.cpp and FileSysWindows.cpp implement this header; the path
// helpers, the same on both, are FilePaths.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "rtl/DateUtils.h"

namespace rtl {

#ifdef _WIN32
constexpr char PathDelim = '\\';
// Drive letters and ":" (a drive, or a named stream of a file) mean
// something in a name.
constexpr bool DriveLetters = true;
// What ends a path's folder part: either separator, and a drive's ":".
constexpr const char* PathBreaks = "\\/:";
#else
constexpr char PathDelim = '/';
constexpr bool DriveLetters = false;
constexpr const char* PathBreaks = "/";
#endif

// A separator of folders: "\" and "/" on Windows, "/" elsewhere.
constexpr bool IsPathDelimiter(char c) { return c == '/' || (DriveLetters && c == '\\'); }

// An open file of the system: a file descriptor, or a Windows HANDLE.
using THandle = intptr_t;
constexpr THandle InvalidHandle = -1;

// The primitives the file streams stand on. Open returns InvalidHandle and
// the system's reason in Why; Read and Write return -1 on failure and may
// return short counts; Seek returns the new position or -1 (Origin as
// TSeekOrigin: 0 beginning, 1 current, 2 end).
THandle FileOpenHandle(const std::string& Name, uint16_t Mode, std::string& Why);
int64_t FileReadHandle(THandle Handle, void* Buffer, int64_t Count);
// A read at Offset in one call, without a seek first. Where the file
// pointer goes is the system's (POSIX leaves it, Windows moves it past the
// bytes read).
int64_t FileReadHandleAt(THandle Handle, void* Buffer, int64_t Count, int64_t Offset);
int64_t FileWriteHandle(THandle Handle, const void* Buffer, int64_t Count);
int64_t FileSeekHandle(THandle Handle, int64_t Offset, int Origin);
bool FileTruncateHandle(THandle Handle, int64_t Size);
void FileCloseHandle(THandle Handle);

bool FileExists(const std::string& Name);       // a regular file (or a link to one)
bool DirectoryExists(const std::string& Name);  // a folder (or a link to one)
bool PathExistsNoFollow(const std::string& Name);
bool IsSymLink(const std::string& Name);
// What Name is, without following a final link: one look-up for the
// questions PathExistsNoFollow and IsSymLink answer separately.
enum class TPathKind { pkMissing, pkLink, pkFolder, pkOther };
TPathKind PathKindNoFollow(const std::string& Name);
int64_t FileSizeOf(const std::string& Name);   // -1 when it cannot be read
bool CreateDir(const std::string& Name);  // false with errno set
bool DeleteFile(const std::string& Name);
std::string GetCurrentDir();
std::string ExpandFileName(const std::string& Name);
// The running program's own file.
std::string AppFileName();

// A moment as the file system keeps it: seconds since 1970-01-01 UTC and
// nanoseconds within the second.
struct TFileTime {
  int64_t Seconds = 0;
  uint32_t Nanoseconds = 0;
};
// A local calendar timestamp read by the time zone rules in force then.
bool LocalTimeToFileTime(TDateTime LocalTime, TFileTime& Time);
// The modification time, exactly; the name form never follows a final link.
bool FileSetTime(const std::string& Name, const TFileTime& Time);
bool FileSetTimeHandle(THandle Handle, const TFileTime& Time);

// The file behind TReplacingFileStream (rtl/Classes.h): a new file beside
// Name, opened for writing, that is not yet Name. TempName is the hidden
// name it has, or empty when it has none at all. InvalidHandle with Why on
// failure.
THandle FileCreateReplacement(const std::string& Name, std::string& TempName, std::string& Why);
// Puts the file under Name in one step, replacing a file or link there;
// false with the OS's error Code, and nothing left under TempName.
bool FileCommitReplacement(THandle Handle, std::string& TempName, const std::string& Name, int& Code);
// Removes what an uncommitted file left (after its handle is closed).
void FileDiscardReplacement(const std::string& TempName);
// The same three for the file Leaf inside a folder open as Folder (a handle
// from TFolderTree): no path is walked again, and nothing outside that
// folder can be reached. TempName is then a name inside Folder. Where the
// system has no folder handles (Folder is InvalidHandle) they are the name
// forms on Name.
THandle FileCreateReplacementAt(THandle Folder, const std::string& Leaf, const std::string& Name, std::string& TempName,
                                std::string& Why);
// With Replace false, a name taken meanwhile is left as it is: false with
// Code 0, and the file stays ready for another commit.
bool FileCommitReplacementAt(THandle Handle, THandle Folder, const std::string& Leaf, std::string& TempName,
                             const std::string& Name, bool Replace, int& Code);
void FileDiscardReplacementAt(THandle Folder, const std::string& TempName);

// Symbolic links. Where the system has none, SymLinksSupported is false and
// CreateSymLink always fails.
bool SymLinksSupported();
// Makes Name a link holding Target, replacing a file or link of that name
// in one step (a folder stays); raises EInOutError with the OS's reason.
void CreateSymLink(const std::string& Target, const std::string& Name);

// Sets the modification time from a local calendar timestamp.
bool FileSetDate(const std::string& Name, TDateTime LocalTime);
// Applies file attributes of a Windows file system (0x01 read-only clears the
// write bits) or, when UnixMode is not 0, those permission bits (without
// setuid, setgid and sticky).
bool FileSetAttr(const std::string& Name, uint32_t DosAttributes, uint32_t UnixMode);
// Or'ed into UnixMode: its permission bits are the mode as they stand,
// none set included (a stored mode 0000 is a mode too).
constexpr uint32_t kExactUnixMode = 0x10000;
// The same two on a file this process holds open: no name is looked up
// again (an extraction sets them on every file it writes, so the path walks
// add up), and a name replaced since the file was opened is not followed.
bool FileSetDateHandle(THandle Handle, TDateTime LocalTime);
bool FileSetAttrHandle(THandle Handle, uint32_t DosAttributes, uint32_t UnixMode);
// The same on a file whose mode is known (one this process just made), with
// no look at it first.
bool FileSetAttrHandle(THandle Handle, uint32_t DosAttributes, uint32_t UnixMode, uint32_t CurrentMode);
// The mode a file made now is given (0666 less the process's mask).
uint32_t NewFileMode();

// The folders one extraction made below its base folder, when several
// threads extract it, each with a tree of its own: a folder another thread
// made is as new to this one as a folder it made itself (nothing outside
// the run has put a name there). Consulted once per folder, not per file.
// The trees share the process's handles too: each holds at most its part of
// what one tree alone would.
class TFoldersMade {
public:
  explicit TFoldersMade(size_t Trees) : FTrees(Trees ? Trees : 1) {}
  size_t Trees() const { return FTrees; }
  void Add(const std::string& Relative) {
    std::lock_guard<std::mutex> lock(FLock);
    FNames.insert(Relative);
  }
  bool Has(const std::string& Relative) const {
    std::lock_guard<std::mutex> lock(FLock);
    return FNames.count(Relative) != 0;
  }

private:
  const size_t FTrees;
  mutable std::mutex FLock;
  std::unordered_set<std::string> FNames;
};

// The folders an extraction writes into below its base folder, each
// verified once and then kept open (POSIX) or remembered (Windows): a folder
// is walked into one name at a time from the base, never through a link,
// and made when asked to and missing. A folder made or verified stays so for
// the tree's life; a link that appears later where a verified folder was
// changes nothing, since the folder itself is held, not its name.
class TFolderTree {
public:
  // Base is an existing folder; the tree opens it at the first look. Made,
  // when given, is shared with the other threads' trees of the same run.
  explicit TFolderTree(std::string Base, std::shared_ptr<TFoldersMade> Made = nullptr);
  ~TFolderTree();
  TFolderTree(const TFolderTree&) = delete;
  TFolderTree& operator=(const TFolderTree&) = delete;

  const std::string& Base() const { return FBase; }

  enum class TResult { frOk, frLink, frMissing, frFailed };
  // The folder Relative (native separators, no "." or ".." parts, no
  // leading separator; empty for Base itself). frOk with its handle
  // (InvalidHandle where the system has no folder handles); frLink when a
  // part of it is a link; frMissing when a part is missing and Create is
  // false; frFailed with the system's Code and the full name of the part
  // that could not be made or is not a folder in FailedAt. The handle stays
  // valid until the next call.
  TResult Open(const std::string& Relative, bool Create, THandle& Folder, int& Code, std::string& FailedAt);
  // What Leaf inside the folder Relative is (Folder from Open), no final
  // link followed. In a folder this tree made, a name not asked about
  // before is missing without a look (Looked false then): nothing but this
  // run has put anything there, and the run asks before it makes a name
  // (one made meanwhile by someone else is for the commit to find).
  TPathKind KindAt(THandle Folder, const std::string& Relative, const std::string& Leaf, bool& Looked);

private:
  // The system's steps (FileSysPosix.cpp, FileSysWindows.cpp): the base
  // folder; Name inside Parent, whose full name is ParentPath, never
  // through a link, made when Create and missing; a folder's handle closed.
  static bool OpenBase(const std::string& Base, THandle& Folder, int& Code);
  static TResult Step(THandle Parent, const std::string& ParentPath, const std::string& Name, bool Create,
                      THandle& Folder, bool& Made, int& Code);
  static void Close(THandle Folder);
  static TPathKind LookAt(THandle Folder, const std::string& Path, const std::string& Leaf);
  void CloseAll();

  std::string FBase;
  std::shared_ptr<TFoldersMade> FMade;
  THandle FBaseHandle = InvalidHandle;
  bool FBaseOpen = false;
  // Folders below Base by relative name, with their handles; emptied when
  // it grows past a bound, so that a tree of many folders does not hold
  // many handles.
  struct TFolder {
    THandle Handle = InvalidHandle;
    bool Made = false;                 // made by this tree (or this run)
    std::unordered_set<std::string> Asked;  // names asked about there, when Made
  };
  std::unordered_map<std::string, TFolder> FFolders;
};

// Whether a name is absolute: "/x" here, "C:\x", "\x" or "\\server\x" on
// Windows.
bool IsAbsolutePath(const std::string& Name);
// Whether a name depends on no current folder at all: "/x" here; "C:\x" and
// "\\server\x" on Windows, where "\x" counts from the current drive and
// "C:x" from drive C's current folder. Where a relative name is joined to a
// folder of one's own, this is the test.
bool IsFullPath(const std::string& Name);

// Both stored separators, "/" and the "\\" of DOS-era tools, as PathDelim.
inline void ToNativeSeparators(std::string& Name) {
  for (char& c : Name)
    if (c == '/' || c == '\\') c = PathDelim;
}

std::string ExtractFilePath(const std::string& Name);  // with trailing separator
std::string ExtractFileName(const std::string& Name);
std::string ExtractFileExt(const std::string& Name);   // with the dot, or empty
std::string IncludeTrailingPathDelimiter(const std::string& S);
std::string ExcludeTrailingPathDelimiter(const std::string& S);

// Creates Path and every missing folder above it, parents first; a drive
// root and a \\server\share are never created. Private folders are the
// user's alone (POSIX mode 0700; on Windows a new folder takes its parent's
// protection, which for the user's own folders is already so). Raises
// EInOutError with the system's reason, naming the folder that could not be
// made.
void ForceDirectories(const std::string& Path, bool Private = false);

// The user's own folder for temporary files, never one that every local
// user shares by default (a fixed name there would let one user's files
// block or expose another's). POSIX: TEMP, else TMPDIR, else the user's
// cache folder ($XDG_CACHE_HOME when absolute, else ~/.cache), made private
// when missing. Windows: TEMP, else TMP, else the Temp folder in the user's
// local application data, made when missing; empty when there is none. The
// environment's value is given as it stands (it may be relative).
std::string TempDirectory();
// The user's home folder: HOME, else the user database's, else "/" (POSIX);
// USERPROFILE on Windows, empty without it.
std::string HomeDirectory();

} // namespace rtl
