#include "rtl/FileSys.h"

#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "rtl/SysUtils.h"
#include "rtl/Classes.h"

namespace rtl {

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------

namespace {

int OpenFlags(uint16_t Mode) {
  if (Mode == fmCreate) return O_RDWR | O_CREAT | O_TRUNC;
  switch (Mode & 3) {
    case fmOpenWrite: return O_WRONLY;
    case fmOpenReadWrite: return O_RDWR;
    default: return O_RDONLY;
  }
}

int Fd(THandle Handle) { return static_cast<int>(Handle); }

} // namespace

THandle FileOpenHandle(const std::string& Name, uint16_t Mode, std::string& Why) {
  // O_NOFOLLOW on creation: an extracted item never writes through a
  // symbolic link planted where its file should be.
  int flags = OpenFlags(Mode) | O_CLOEXEC;
  if (Mode == fmCreate) flags |= O_NOFOLLOW;
  int fd = ::open(Name.c_str(), flags, 0666);
  if (fd < 0) {
    Why = std::strerror(errno);
    return InvalidHandle;
  }
  if (Mode != fmCreate) {
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      Why = "Is a directory";
      return InvalidHandle;
    }
  }
  return fd;
}

int64_t FileReadHandle(THandle Handle, void* Buffer, int64_t Count) {
  ssize_t n;
  do {
    n = ::read(Fd(Handle), Buffer, static_cast<size_t>(Count));
  } while (n < 0 && errno == EINTR);
  return n;
}

int64_t FileReadHandleAt(THandle Handle, void* Buffer, int64_t Count, int64_t Offset) {
  ssize_t n;
  do {
    n = ::pread(Fd(Handle), Buffer, static_cast<size_t>(Count), static_cast<off_t>(Offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

int64_t FileWriteHandle(THandle Handle, const void* Buffer, int64_t Count) {
  ssize_t n;
  do {
    n = ::write(Fd(Handle), Buffer, static_cast<size_t>(Count));
  } while (n < 0 && errno == EINTR);
  return n;
}

int64_t FileSeekHandle(THandle Handle, int64_t Offset, int Origin) {
  const auto o = static_cast<TSeekOrigin>(Origin);
  int whence = o == soBeginning ? SEEK_SET : o == soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(Fd(Handle), static_cast<off_t>(Offset), whence);
  return r < 0 ? -1 : r;
}

bool FileTruncateHandle(THandle Handle, int64_t Size) { return ::ftruncate(Fd(Handle), static_cast<off_t>(Size)) == 0; }

void FileCloseHandle(THandle Handle) { ::close(Fd(Handle)); }

int LastOSError() { return errno; }

std::string SysErrorMessage(int Code) { return std::strerror(Code); }

bool IsDiskFullError(int Code) { return Code == ENOSPC || Code == EDQUOT; }

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

bool FileExists(const std::string& Name) {
  struct stat st{};
  return ::stat(Name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& Name) {
  struct stat st{};
  return !Name.empty() && ::stat(Name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExistsNoFollow(const std::string& Name) {
  struct stat st{};
  return ::lstat(Name.c_str(), &st) == 0;
}

bool IsSymLink(const std::string& Name) {
  struct stat st{};
  return ::lstat(Name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TPathKind PathKindNoFollow(const std::string& Name) {
  struct stat st{};
  if (::lstat(Name.c_str(), &st) != 0) return TPathKind::pkMissing;
  if (S_ISLNK(st.st_mode)) return TPathKind::pkLink;
  return S_ISDIR(st.st_mode) ? TPathKind::pkFolder : TPathKind::pkOther;
}

int64_t FileSizeOf(const std::string& Name) {
  struct stat st{};
  if (::stat(Name.c_str(), &st) != 0) return -1;
  return st.st_size;
}

bool CreateDir(const std::string& Name) { return ::mkdir(Name.c_str(), 0777) == 0; }

bool DeleteFile(const std::string& Name) { return ::unlink(Name.c_str()) == 0; }

std::string GetCurrentDir() {
  char buf[PATH_MAX];
  if (!::getcwd(buf, sizeof buf)) return ".";
  return buf;
}

std::string ExpandFileName(const std::string& Name) {
  if (Name.empty()) return GetCurrentDir();
  if (IsAbsolutePath(Name)) return Name;
  return IncludeTrailingPathDelimiter(GetCurrentDir()) + Name;
}

std::string AppFileName() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  buf[n] = 0;
  return buf;
}

namespace {

// Local calendar time to seconds since the epoch, as the time zone rules
// say. mktime looks at the zone file on every call; the items of one
// archive mostly share a handful of timestamps, so the last answer is kept,
// keyed by the fields and by the TZ variable that could change the rules.
bool LocalTimeToEpoch(TDateTime LocalTime, time_t& Seconds) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(LocalTime, y, mo, d);
  DecodeTime(LocalTime, h, mi, s, ms);
  struct Cached {
    int fields[6] = {-1, -1, -1, -1, -1, -1};
    std::string tz;
    bool tzSet = false;
    time_t secs = 0;
  };
  static thread_local Cached last;
  const int fields[6] = {y, mo, d, h, mi, s};
  const char* tz = std::getenv("TZ");
  if (std::equal(fields, fields + 6, last.fields) && last.tzSet == (tz != nullptr) && (!tz || last.tz == tz)) {
    Seconds = last.secs;
    return true;
  }
  tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;  // let the time zone rules decide, as local time
  // The C library keeps its time zone state in globals; threads that
  // extract side by side take turns (the cache above spares most calls).
  static std::mutex zoneState;
  time_t secs;
  {
    std::lock_guard<std::mutex> lock(zoneState);
    secs = ::mktime(&t);
  }
  if (secs == static_cast<time_t>(-1)) return false;
  std::copy(fields, fields + 6, last.fields);
  last.tzSet = tz != nullptr;
  last.tz = tz ? tz : "";
  last.secs = secs;
  Seconds = secs;
  return true;
}

void ModificationTimes(const TFileTime& Time, timespec (&Times)[2]) {
  Times[0].tv_sec = 0;
  Times[0].tv_nsec = UTIME_OMIT;
  Times[1].tv_sec = static_cast<time_t>(Time.Seconds);
  Times[1].tv_nsec = static_cast<long>(Time.Nanoseconds % 1000000000u);
}

// The mode FileSetAttr gives a file whose current mode is Current.
mode_t AttributeMode(mode_t Current, uint32_t DosAttributes, uint32_t UnixMode) {
  if (UnixMode & (kExactUnixMode | 0777)) return UnixMode & 0777;  // never setuid, setgid or sticky
  mode_t mode = Current & 0777;
  if (DosAttributes & 0x01) mode &= ~static_cast<mode_t>(0222);
  return mode;
}

} // namespace

bool LocalTimeToFileTime(TDateTime LocalTime, TFileTime& Time) {
  time_t secs;
  if (!LocalTimeToEpoch(LocalTime, secs)) return false;
  Time.Seconds = secs;
  Time.Nanoseconds = 0;
  return true;
}

bool FileSetTime(const std::string& Name, const TFileTime& Time) {
  timespec times[2];
  ModificationTimes(Time, times);
  return ::utimensat(AT_FDCWD, Name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool FileSetTimeHandle(THandle Handle, const TFileTime& Time) {
  timespec times[2];
  ModificationTimes(Time, times);
  return ::futimens(Fd(Handle), times) == 0;
}

namespace {

// A hidden name beside Name that no one else uses: ".name.XXXXXXXX".
std::string TemporarySibling(const std::string& Name, unsigned Attempt) {
  static std::atomic<unsigned> counter{0};
  size_t p = Name.rfind(PathDelim);
  std::string folder = p == std::string::npos ? "" : Name.substr(0, p + 1);
  std::string base = p == std::string::npos ? Name : Name.substr(p + 1);
  if (base.size() > 200) base.resize(200);  // room for the suffix within NAME_MAX
  unsigned v = static_cast<unsigned>(::getpid()) * 2654435761u + ++counter * 40503u + Attempt;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x", v);
  return folder + "." + base + suffix;
}

constexpr unsigned kTemporaryNameAttempts = 100;

} // namespace

namespace {

// The replacement file's steps, for a Name relative to the folder Dir (a
// folder's descriptor, or AT_FDCWD for a name as it stands). TmpDir is the
// folder the unnamed file is made in, relative to Dir likewise.
THandle CreateReplacement(int Dir, const std::string& TmpDir, const std::string& Name, std::string& TempName,
                          std::string& Why) {
  TempName.clear();
#ifdef O_TMPFILE
  // An unnamed file is given its name through /proc; without /proc it
  // could not be named at all.
  static const bool procFds = ::access("/proc/self/fd", F_OK) == 0;
  if (procFds) {
    int fd = ::openat(Dir, TmpDir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    // Only a file system without unnamed files falls back; a folder that
    // refuses new files says so with its own reason.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      Why = std::strerror(errno);
      return -1;
    }
  }
#endif
  for (unsigned attempt = 0;; ++attempt) {
    std::string temp = TemporarySibling(Name, attempt);
    int fd = ::openat(Dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      TempName = std::move(temp);
      return fd;
    }
    if (errno != EEXIST || attempt == kTemporaryNameAttempts) break;
  }
  Why = std::strerror(errno);
  return -1;
}

bool CommitReplacement(THandle Handle, int Dir, std::string& TempName, const std::string& Name, bool Replace,
                       int& Code) {
  if (TempName.empty()) {
    // An unnamed file takes its name directly when the name is free: the
    // common case of a fresh extraction costs one call.
    // Naming the handle itself needs a kernel that lets the opener do so
    // (or the privilege); elsewhere the /proc name of the handle serves.
    static std::atomic<bool> byHandle{true};
    const std::string self = "/proc/self/fd/" + std::to_string(Handle);
    if (byHandle) {
      if (::linkat(Fd(Handle), "", Dir, Name.c_str(), AT_EMPTY_PATH) == 0) return true;
      if (errno == EPERM || errno == ENOENT) byHandle = false;
    }
    if (!byHandle && ::linkat(AT_FDCWD, self.c_str(), Dir, Name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST || !Replace) {
      Code = errno == EEXIST ? 0 : errno;
      return false;
    }
    // Something is there: a temporary name first, then a rename over it.
    for (unsigned attempt = 0;; ++attempt) {
      std::string temp = TemporarySibling(Name, attempt);
      if (::linkat(AT_FDCWD, self.c_str(), Dir, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        TempName = std::move(temp);
        break;
      }
      if (errno != EEXIST || attempt == kTemporaryNameAttempts) {
        Code = errno;
        return false;
      }
    }
  }
  struct stat st{};
  if (!Replace && ::fstatat(Dir, Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    Code = 0;
    return false;
  }
  if (::renameat(Dir, TempName.c_str(), Dir, Name.c_str()) != 0) {
    Code = errno;
    ::unlinkat(Dir, TempName.c_str(), 0);
    TempName.clear();
    return false;
  }
  TempName.clear();
  return true;
}

} // namespace

THandle FileCreateReplacement(const std::string& Name, std::string& TempName, std::string& Why) {
  size_t p = Name.rfind(PathDelim);
  const std::string folder = p == std::string::npos ? "." : p == 0 ? "/" : Name.substr(0, p);
  return CreateReplacement(AT_FDCWD, folder, Name, TempName, Why);
}

bool FileCommitReplacement(THandle Handle, std::string& TempName, const std::string& Name, int& Code) {
  return CommitReplacement(Handle, AT_FDCWD, TempName, Name, true, Code);
}

void FileDiscardReplacement(const std::string& TempName) {
  if (!TempName.empty()) ::unlink(TempName.c_str());
}

THandle FileCreateReplacementAt(THandle Folder, const std::string& Leaf, const std::string& Name, std::string& TempName,
                                std::string& Why) {
  if (Folder == InvalidHandle) return FileCreateReplacement(Name, TempName, Why);
  return CreateReplacement(Fd(Folder), ".", Leaf, TempName, Why);
}

bool FileCommitReplacementAt(THandle Handle, THandle Folder, const std::string& Leaf, std::string& TempName,
                             const std::string& Name, bool Replace, int& Code) {
  if (Folder == InvalidHandle) return CommitReplacement(Handle, AT_FDCWD, TempName, Name, Replace, Code);
  return CommitReplacement(Handle, Fd(Folder), TempName, Leaf, Replace, Code);
}

void FileDiscardReplacementAt(THandle Folder, const std::string& TempName) {
  if (Folder == InvalidHandle) return FileDiscardReplacement(TempName);
  if (!TempName.empty()) ::unlinkat(Fd(Folder), TempName.c_str(), 0);
}

bool SymLinksSupported() { return true; }

// A new name first; when something holds it, the link is made under a
// temporary name beside it and renamed over, so the name never goes
// missing and never names a half-made thing.
void CreateSymLink(const std::string& Target, const std::string& Name) {
  if (::symlink(Target.c_str(), Name.c_str()) == 0) return;
  if (errno != EEXIST) RaiseLastOSError("Cannot create link \"" + Name + "\"");
  for (unsigned attempt = 0;; ++attempt) {
    std::string temp = TemporarySibling(Name, attempt);
    if (::symlink(Target.c_str(), temp.c_str()) == 0) {
      if (::rename(temp.c_str(), Name.c_str()) == 0) return;
      int code = errno;
      ::unlink(temp.c_str());
      RaiseOSError(code, "Cannot create link \"" + Name + "\"");
    }
    if (errno != EEXIST || attempt == kTemporaryNameAttempts) RaiseLastOSError("Cannot create link \"" + Name + "\"");
  }
}

// A mode that is already right is not written again: the call would change
// nothing but the status-change time.
bool FileSetAttr(const std::string& Name, uint32_t DosAttributes, uint32_t UnixMode) {
  struct stat st{};
  if (::lstat(Name.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  mode_t mode = AttributeMode(st.st_mode, DosAttributes, UnixMode);
  if ((st.st_mode & 07777) == mode) return true;
  return ::chmod(Name.c_str(), mode) == 0;
}

bool FileSetAttrHandle(THandle Handle, uint32_t DosAttributes, uint32_t UnixMode) {
  struct stat st{};
  if (::fstat(Fd(Handle), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  mode_t mode = AttributeMode(st.st_mode, DosAttributes, UnixMode);
  if ((st.st_mode & 07777) == mode) return true;
  return ::fchmod(Fd(Handle), mode) == 0;
}

uint32_t NewFileMode() {
  static const mode_t mode = [] {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
  }();
  return mode;
}

bool FileSetAttrHandle(THandle Handle, uint32_t DosAttributes, uint32_t UnixMode, uint32_t CurrentMode) {
  mode_t mode = AttributeMode(CurrentMode, DosAttributes, UnixMode);
  if ((CurrentMode & 07777) == mode) return true;
  return ::fchmod(Fd(Handle), mode) == 0;
}

// Folders are held by O_PATH descriptors where the system has them: they
// need no read permission on the folder, only the right to pass through it.
#ifdef O_PATH
constexpr int kFolderOpen = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderOpen = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

bool TFolderTree::OpenBase(const std::string& Base, THandle& Folder, int& Code) {
  int fd = ::open(Base.c_str(), kFolderOpen);
  if (fd < 0) {
    Code = errno;
    return false;
  }
  Folder = fd;
  return true;
}

TFolderTree::TResult TFolderTree::Step(THandle Parent, const std::string&, const std::string& Name, bool Create,
                                       THandle& Folder, bool& Made, int& Code) {
  Made = false;
  // Opened first: a folder already there (the common case when a tree is
  // extracted again) costs one call; a new one three.
  for (int attempt = 0;; ++attempt) {
    int fd = ::openat(Fd(Parent), Name.c_str(), kFolderOpen | O_NOFOLLOW);
    if (fd >= 0) {
      Folder = fd;
      return TResult::frOk;
    }
    const int err = errno;
    if (err == ELOOP || err == ENOTDIR) {
      // A link (never followed), or something else that is not a folder.
      struct stat st{};
      if (::fstatat(Fd(Parent), Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return TResult::frLink;
      if (!Create) return TResult::frMissing;
      Code = EEXIST;
      return TResult::frFailed;
    }
    if (err != ENOENT) {
      Code = err;
      return TResult::frFailed;
    }
    if (!Create) return TResult::frMissing;
    if (attempt > 0) {
      // Made and gone again before it could be opened.
      Code = err;
      return TResult::frFailed;
    }
    // A creator racing this one is no failure: the open after tells.
    if (::mkdirat(Fd(Parent), Name.c_str(), 0777) == 0)
      Made = true;
    else if (errno != EEXIST) {
      Code = errno;
      return TResult::frFailed;
    }
  }
}

void TFolderTree::Close(THandle Folder) {
  if (Folder != InvalidHandle) ::close(Fd(Folder));
}

TPathKind TFolderTree::LookAt(THandle Folder, const std::string&, const std::string& Leaf) {
  struct stat st{};
  if (::fstatat(Fd(Folder), Leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return TPathKind::pkMissing;
  if (S_ISLNK(st.st_mode)) return TPathKind::pkLink;
  return S_ISDIR(st.st_mode) ? TPathKind::pkFolder : TPathKind::pkOther;
}

void ForceDirectories(const std::string& Path, bool Private) {
  if (Path.empty() || DirectoryExists(Path)) return;
  const mode_t mode = Private ? 0700 : 0777;
  // Each prefix ending before a separator, then the whole path.
  for (size_t p = Path.find('/', 1);; p = Path.find('/', p + 1)) {
    const std::string prefix = p == std::string::npos ? Path : Path.substr(0, p);
    if (!DirectoryExists(prefix) && ::mkdir(prefix.c_str(), mode) != 0) {
      // The creation's own error, kept across the look that follows (it
      // may have lost a race to another creator, which is no failure).
      const int err = errno;
      if (!DirectoryExists(prefix)) RaiseOSError(err, "Unable to create directory \"" + prefix + "\"");
    }
    if (p == std::string::npos) break;
  }
}

std::string HomeDirectory() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::string TempDirectory() {
  for (const char* v : {"TEMP", "TMPDIR"})
    if (const char* t = std::getenv(v); t && *t) return t;
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const std::string folder = cache && *cache == '/' ? std::string(cache) : HomeDirectory() + "/.cache";
  try {
    ForceDirectories(folder, true);
  } catch (const EInOutError&) {
    // Whoever uses the folder meets the reason.
  }
  return folder;
}

} // namespace rtl
