#include "rtl/FileSys.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
  time_t secs = ::mktime(&t);
  if (secs == static_cast<time_t>(-1)) return false;
  std::copy(fields, fields + 6, last.fields);
  last.tzSet = tz != nullptr;
  last.tz = tz ? tz : "";
  last.secs = secs;
  Seconds = secs;
  return true;
}

void ModificationTimes(time_t Seconds, timespec (&Times)[2]) {
  Times[0].tv_sec = 0;
  Times[0].tv_nsec = UTIME_OMIT;
  Times[1].tv_sec = Seconds;
  Times[1].tv_nsec = 0;
}

// The mode FileSetAttr gives a file whose current mode is Current.
mode_t AttributeMode(mode_t Current, uint32_t DosAttributes, uint32_t UnixMode) {
  if (UnixMode & 0777) return UnixMode & 0777;  // never setuid, setgid or sticky
  mode_t mode = Current & 0777;
  if (DosAttributes & 0x01) mode &= ~static_cast<mode_t>(0222);
  return mode;
}

} // namespace

bool FileSetDate(const std::string& Name, TDateTime LocalTime) {
  time_t secs;
  if (!LocalTimeToEpoch(LocalTime, secs)) return false;
  timespec times[2];
  ModificationTimes(secs, times);
  return ::utimensat(AT_FDCWD, Name.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool FileSetDateHandle(THandle Handle, TDateTime LocalTime) {
  time_t secs;
  if (!LocalTimeToEpoch(LocalTime, secs)) return false;
  timespec times[2];
  ModificationTimes(secs, times);
  return ::futimens(Fd(Handle), times) == 0;
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

bool IsAbsolutePath(const std::string& Name) { return !Name.empty() && Name[0] == '/'; }

std::string ExtractFilePath(const std::string& Name) {
  size_t p = Name.rfind(PathDelim);
  return p == std::string::npos ? std::string() : Name.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& Name) {
  size_t p = Name.rfind(PathDelim);
  return p == std::string::npos ? Name : Name.substr(p + 1);
}

std::string ExtractFileExt(const std::string& Name) {
  size_t p = Name.find_last_of("./");
  if (p == std::string::npos || Name[p] != '.') return "";
  return Name.substr(p);
}

std::string IncludeTrailingPathDelimiter(const std::string& S) {
  if (!S.empty() && S.back() == PathDelim) return S;
  return S + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& S) {
  if (S.size() > 1 && S.back() == PathDelim) return S.substr(0, S.size() - 1);
  return S;
}

std::string TempDirectory() {
  for (const char* v : {"TEMP", "TMPDIR"}) {
    const char* s = std::getenv(v);
    if (s && *s) return s;
  }
  return "/tmp";
}

} // namespace rtl
