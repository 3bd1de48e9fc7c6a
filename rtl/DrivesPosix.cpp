#include "rtl/DrivesPosix.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "rtl/FileSys.h"

namespace rtl {

namespace {

// mountinfo writes blanks, tabs, newlines and backslashes in paths as octal
// escapes (\040 and so on); anything else after a backslash is kept as it is.
std::string Unescape(const std::string& S) {
  std::string out;
  for (size_t i = 0; i < S.size(); ++i) {
    if (S[i] == '\\' && i + 3 < S.size()) {
      const std::string oct = S.substr(i + 1, 3);
      if (oct.find_first_not_of("01234567") == std::string::npos) {
        out.push_back(static_cast<char>(std::strtol(oct.c_str(), nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(S[i]);
  }
  return out;
}

bool Contains(const std::string& MountPoint, const std::string& Path) {
  if (MountPoint == "/") return !Path.empty() && Path[0] == '/';
  return Path.compare(0, MountPoint.size(), MountPoint) == 0 &&
         (Path.size() == MountPoint.size() || Path[MountPoint.size()] == '/');
}

// One mountinfo line: id parent major:minor root mountpoint options
// [optional...] - fstype source superoptions. False for a line that is not.
bool ParseLine(const std::string& Line, TMountEntry& E) {
  std::istringstream in(Line);
  std::vector<std::string> w;
  for (std::string t; in >> t;) w.push_back(t);
  size_t dash = 0;
  for (size_t i = 6; i < w.size(); ++i)
    if (w[i] == "-") {
      dash = i;
      break;
    }
  if (w.size() < 6 || dash == 0 || dash + 2 >= w.size()) return false;
  if (std::sscanf(w[2].c_str(), "%u:%u", &E.Major, &E.Minor) != 2) return false;
  E.MountPoint = Unescape(w[4]);
  E.FsType = w[dash + 1];
  E.Source = Unescape(w[dash + 2]);
  return true;
}

// The path's real location; a path that does not exist yet (a file about to
// be made) is placed by the nearest existing folder above it.
std::string RealPath(const std::string& Path) {
  std::string p = ExpandFileName(Path);
  for (;;) {
    char buf[PATH_MAX];
    if (realpath(p.c_str(), buf)) return buf;
    const size_t slash = p.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    p = p.substr(0, slash);
  }
}

std::string ReadFirstLine(const std::string& Path) {
  std::ifstream in(Path);
  std::string s;
  std::getline(in, s);
  return s;
}

bool Exists(const std::string& Path) {
  struct stat st {};
  return ::stat(Path.c_str(), &st) == 0;
}

bool IsRemoteFileSystem(const std::string& Type) {
  for (const char* t : {"nfs", "nfs4", "cifs", "smb3", "smbfs", "fuse.sshfs", "9p"})
    if (Type == t) return true;
  return false;
}

// SCSI CD-ROM drives (sr0, sr1, ...) have this block major everywhere.
constexpr unsigned kScsiCdromMajor = 11;
// The SCSI peripheral type of a CD/DVD drive as sysfs reports it.
constexpr const char* kScsiTypeRom = "5";

} // namespace

std::optional<TMountEntry> FindMount(const std::string& MountInfo, const std::string& Path) {
  std::optional<TMountEntry> best;
  std::istringstream in(MountInfo);
  std::string line;
  while (std::getline(in, line)) {
    TMountEntry e;
    if (!ParseLine(line, e) || !Contains(e.MountPoint, Path)) continue;
    if (!best || e.MountPoint.size() >= best->MountPoint.size()) best = e;
  }
  return best;
}

TDriveType ClassifyMount(const TMountEntry& Mount, const std::string& SysRoot) {
  if (Mount.FsType == "iso9660" || Mount.FsType == "udf") return TDriveType::CDROM;
  if (IsRemoteFileSystem(Mount.FsType)) return TDriveType::Remote;
  if (Mount.FsType == "tmpfs" || Mount.FsType == "ramfs") return TDriveType::RamDisk;

  unsigned major = Mount.Major, minor = Mount.Minor;
  if (major == 0 && Mount.Source.rfind("/dev/", 0) == 0) {
    struct stat st {};
    if (::stat(Mount.Source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
      major = ::major(st.st_rdev);
      minor = ::minor(st.st_rdev);
    }
  }
  if (major == 0) return TDriveType::Fixed;
  if (major == kScsiCdromMajor) return TDriveType::CDROM;

  const std::string link = SysRoot + "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
  char real[PATH_MAX];
  if (!::realpath(link.c_str(), real)) return TDriveType::Fixed;
  std::string disk = real;
  // A partition's removable flag lives on the disk it belongs to.
  if (Exists(disk + "/partition")) disk = disk.substr(0, disk.rfind('/'));
  const std::string name = disk.substr(disk.rfind('/') + 1);
  if (name.rfind("sr", 0) == 0 || ReadFirstLine(disk + "/device/type") == kScsiTypeRom) return TDriveType::CDROM;
  if (ReadFirstLine(disk + "/removable") == "1") return TDriveType::Removable;
  return TDriveType::Fixed;
}

TDriveType DriveTypeOf(const std::string& Path, const std::string& MountInfoFile, const std::string& SysRoot) {
  std::ifstream in(MountInfoFile);
  if (!in) return TDriveType::Unknown;
  std::stringstream text;
  text << in.rdbuf();
  const auto mount = FindMount(text.str(), RealPath(Path));
  return mount ? ClassifyMount(*mount, SysRoot) : TDriveType::Unknown;
}

TDriveType DriveTypeOf(const std::string& Path) { return DriveTypeOf(Path, "/proc/self/mountinfo", "/sys"); }

int64_t VolumeTotalBytes(const std::string& Path) {
  struct statvfs v {};
  if (::statvfs(Path.c_str(), &v) != 0) return -1;
  const unsigned long long unit = v.f_frsize ? v.f_frsize : v.f_bsize;
  const unsigned long long blocks = v.f_blocks;
  if (unit != 0 && blocks > static_cast<unsigned long long>(INT64_MAX) / unit) return -1;
  return static_cast<int64_t>(blocks * unit);
}

bool VolumeIsReadable(const std::string& Path) {
  struct statvfs v {};
  const std::string dir = ExtractFilePath(ExpandFileName(Path));
  return statvfs(dir.empty() ? "." : dir.c_str(), &v) == 0;
}

} // namespace rtl
