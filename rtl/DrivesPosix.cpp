#include "rtl/Drives.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/statvfs.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

#include "rtl/FileSys.h"

namespace rtl {

namespace {

// Mount points in mountinfo escape blanks and the like as \ooo.
std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1]))) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string RealPath(const std::string& path) {
  // The path may not exist yet (a file about to be made): resolve the
  // nearest existing folder above it.
  std::string p = ExpandFileName(path);
  for (;;) {
    char buf[PATH_MAX];
    if (realpath(p.c_str(), buf)) return buf;
    size_t slash = p.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    p = p.substr(0, slash);
  }
}

bool ReadFlag(const std::string& file) {
  std::ifstream f(file);
  int v = 0;
  return f && (f >> v) && v == 1;
}

} // namespace

bool FindMount(const std::string& Path, TMountInfo& Info, const std::string& MountInfoFile) {
  std::ifstream f(MountInfoFile);
  if (!f) return false;
  const std::string real = RealPath(Path);
  bool found = false;
  size_t best = 0;
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string id, parent, majmin, root, mountPoint, field;
    if (!(in >> id >> parent >> majmin >> root >> mountPoint)) continue;
    while (in >> field && field != "-") {
    }
    std::string fsType, source;
    in >> fsType >> source;
    mountPoint = Unescape(mountPoint);
    bool prefix = mountPoint == "/" ||
                  (real.compare(0, mountPoint.size(), mountPoint) == 0 &&
                   (real.size() == mountPoint.size() || real[mountPoint.size()] == '/'));
    if (!prefix || (found && mountPoint.size() < best)) continue;
    found = true;
    best = mountPoint.size();
    Info.mountPoint = mountPoint;
    Info.fsType = fsType;
    Info.source = Unescape(source);
    size_t colon = majmin.find(':');
    Info.major = static_cast<unsigned>(std::strtoul(majmin.c_str(), nullptr, 10));
    Info.minor = colon == std::string::npos ? 0 : static_cast<unsigned>(std::strtoul(majmin.c_str() + colon + 1, nullptr, 10));
  }
  return found;
}

TDriveType DriveTypeOf(const std::string& Path) {
  TMountInfo m;
  if (!FindMount(Path, m)) return TDriveType::Unknown;
  if (m.fsType == "iso9660" || m.fsType == "udf") return TDriveType::CDROM;
  if (m.fsType == "nfs" || m.fsType == "nfs4" || m.fsType == "cifs" || m.fsType == "smb3" || m.fsType == "smbfs" ||
      m.fsType == "fuse.sshfs" || m.fsType == "9p")
    return TDriveType::Remote;
  if (m.fsType == "tmpfs" || m.fsType == "ramfs") return TDriveType::RamDisk;
  // The block device behind the mount, or the disk a partition belongs to.
  char buf[PATH_MAX];
  std::string sys = "/sys/dev/block/" + std::to_string(m.major) + ":" + std::to_string(m.minor);
  if (realpath(sys.c_str(), buf)) {
    std::string dev = buf;
    std::string name = ExtractFileName(dev);
    if (name.rfind("sr", 0) == 0) return TDriveType::CDROM;
    if (ReadFlag(dev + "/removable")) return TDriveType::Removable;
    if (ReadFlag(ExtractFilePath(dev) + "removable")) return TDriveType::Removable;
  }
  return TDriveType::Fixed;
}

int64_t VolumeTotalBytes(const std::string& Path) {
  struct statvfs st{};
  if (statvfs(Path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.f_blocks) * static_cast<int64_t>(st.f_frsize);
}

bool VolumeIsReadable(const std::string& Path) {
  struct statvfs st{};
  std::string dir = ExtractFilePath(ExpandFileName(Path));
  return statvfs(dir.empty() ? "." : dir.c_str(), &st) == 0;
}

} // namespace rtl
