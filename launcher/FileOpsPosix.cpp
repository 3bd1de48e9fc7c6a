// FileOpsPosix: POSIX file and folder calls.
#include "launcher/FileOpsPosix.h"

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "rtl/FileSys.h"
#include "rtl/SysUtils.h"

namespace launcher {

bool FileExists(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && !S_ISDIR(St.st_mode);
}

bool DirectoryExists(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

bool IsSymbolicLink(const std::string& Path) {
  struct stat St {};
  return ::lstat(Path.c_str(), &St) == 0 && S_ISLNK(St.st_mode);
}

void DeleteFile(const std::string& Path) { ::unlink(Path.c_str()); }

// ===========================================================================
// Tree deletion
// ===========================================================================

// Empties the folder open on DirFd. Every entry is looked at without
// following links (AT_SYMLINK_NOFOLLOW, O_NOFOLLOW), so a link planted in
// the tree is unlinked like a file, and a folder swapped for a link between
// the look and the open is refused by the open.
static void EmptyFolder(int DirFd) {
  // Removing entries can be blocked by a folder without write permission;
  // giving ourselves the permission back is the counterpart of resetting a
  // file's attributes to normal. It only works on our own folders.
  struct stat Self {};
  if (::fstat(DirFd, &Self) == 0 && Self.st_uid == ::geteuid()) ::fchmod(DirFd, (Self.st_mode & 07777) | S_IRWXU);

  const int ListFd = ::dup(DirFd);
  if (ListFd < 0) return;
  DIR* D = ::fdopendir(ListFd);
  if (!D) {
    ::close(ListFd);
    return;
  }
  while (dirent* E = ::readdir(D)) {
    const std::string Name = E->d_name;
    if (Name == "." || Name == "..") continue;
    struct stat St {};
    if (::fstatat(DirFd, Name.c_str(), &St, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(St.st_mode)) {
      const int Sub = ::openat(DirFd, Name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (Sub >= 0) {
        EmptyFolder(Sub);
        ::close(Sub);
      }
      ::unlinkat(DirFd, Name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(DirFd, Name.c_str(), 0);
    }
  }
  ::closedir(D);
}

void DeleteTree(const std::string& Path) {
  struct stat St {};
  if (::lstat(Path.c_str(), &St) != 0) return;
  if (!S_ISDIR(St.st_mode)) {
    // A link (to a folder or anything else) or a file: only the entry goes.
    ::unlink(Path.c_str());
    return;
  }
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (Fd >= 0) {
    EmptyFolder(Fd);
    ::close(Fd);
  }
  ::rmdir(Path.c_str());
}

// ===========================================================================
// Creation
// ===========================================================================

void CreateDir(const std::string& Path, unsigned Mode) { ::mkdir(Path.c_str(), Mode); }

// Longest name of one path component on the file systems in use.
static constexpr size_t kMaxNameLength = NAME_MAX;

void ForceDirectories(const std::string& Path) {
  if (Path.empty()) throw rtl::Exception("The path format is not supported");
  if (Path.find('\0') != std::string::npos) throw rtl::Exception("Invalid characters in path");
  if (Path.size() >= PATH_MAX) throw rtl::Exception("The specified path is too long");
  size_t Start = 0;
  while (Start <= Path.size()) {
    size_t End = Path.find('/', Start);
    if (End == std::string::npos) End = Path.size();
    if (End - Start > kMaxNameLength) throw rtl::Exception("The specified path is too long");
    Start = End + 1;
  }
  try {
    rtl::ForceDirectories(Path);
  } catch (const rtl::EInOutError&) {
    // Left for the caller to meet.
  }
}

std::string CheckPrivateFolder(const std::string& Path) {
  struct stat St {};
  if (::lstat(Path.c_str(), &St) != 0) return "it could not be created";
  if (S_ISLNK(St.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(St.st_mode)) return "it is not a folder";
  if (St.st_uid != ::geteuid()) return "it belongs to another user";
  if (St.st_mode & (S_IWGRP | S_IWOTH)) return "other users can write to it";
  return {};
}

// ===========================================================================
// The flows' file system
// ===========================================================================

std::string TPosixFileSystem::ExpandFileName(const std::string& Path) { return rtl::ExpandFileName(Path); }

bool TPosixFileSystem::IsSameOrInside(const std::string& Path, const std::string& Folder) {
  // Links resolved where the path exists, the rest taken by its letters.
  std::error_code Ec1, Ec2;
  const std::string P = std::filesystem::weakly_canonical(rtl::ExpandFileName(Path), Ec1).string();
  std::string F = std::filesystem::weakly_canonical(rtl::ExpandFileName(Folder), Ec2).string();
  if (Ec1 || Ec2 || P.empty() || F.empty()) return false;
  while (F.size() > 1 && F.back() == '/') F.pop_back();
  if (P.compare(0, F.size(), F) != 0) return false;
  return P.size() == F.size() || F == "/" || P[F.size()] == '/';
}

} // namespace launcher
