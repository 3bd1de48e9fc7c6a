// FileOpsPosix: the file and folder calls of the launcher's flows, POSIX edition.
//
// The run-from-medium flow empties a fixed folder under the user's temporary
// folder before it extracts into it. That folder sits in a place every local
// user can write to, so whatever is found there is treated as hostile: the
// tree deletion never follows a symbolic link (a link is removed, never what
// it points to), and the flow extracts only into a folder that is, after it
// has been made, a real folder owned by the user that nobody else can write
// to. Everything else here is the plain meaning of the call.
#pragma once

#include <string>

#include "launcher/Platform.h"
#include "rtl/FileSys.h"

namespace launcher {

// True for an existing entry that is not a folder; links are followed.
bool FileExists(const std::string& Path);
// True for an existing folder; links are followed.
bool DirectoryExists(const std::string& Path);
// True when Path itself is a symbolic link (whatever it points to).
bool IsSymbolicLink(const std::string& Path);
// Removes one entry that is not a folder (a link is removed itself).
// Failures are not reported.
void DeleteFile(const std::string& Path);
// Removes a folder tree depth-first. Entries that cannot be removed are
// skipped and the walk goes on, so they survive with the folders above them.
// A symbolic link, at the top or anywhere below, is removed as a link; its
// target is never entered.
void DeleteTree(const std::string& Path);
// Creates one folder with the given permission bits (less the umask).
// Failures are not reported.
void CreateDir(const std::string& Path, unsigned Mode = 0777);
// Creates Path and its missing parents. Raises rtl::Exception with the text
// the installation shows for a path that cannot name a folder ("The path
// format is not supported" for an empty one, "Invalid characters in path",
// "The specified path is too long"); other failures are not reported here.
void ForceDirectories(const std::string& Path);
// Empty when Path is a real folder (not a link) owned by the current user
// that neither its group nor others can write to; otherwise why not.
std::string CheckPrivateFolder(const std::string& Path);

// The flows' file system on POSIX: the calls above.
class TPosixFileSystem : public IFileSystem {
public:
  bool FileExists(const std::string& Path) override { return launcher::FileExists(Path); }
  bool IsAbsolutePath(const std::string& Path) override { return rtl::IsFullPath(Path); }
  std::string ExpandFileName(const std::string& Path) override;
  bool IsSameOrInside(const std::string& Path, const std::string& Folder) override;
  void DeleteTree(const std::string& Path) override { launcher::DeleteTree(Path); }
  void CreatePrivateDir(const std::string& Path) override { CreateDir(Path, 0700); }
  std::string CheckPrivateFolder(const std::string& Path) override { return launcher::CheckPrivateFolder(Path); }
  void ForceDirectories(const std::string& Path) override { launcher::ForceDirectories(Path); }
};

} // namespace launcher
