// The mount table behind rtl/Drives.h on POSIX systems, for the code that
// classifies a mount from a table and a sysfs tree of its own (tests, the
// launcher's medium). Windows has drive types of its own and no such table.
//
// The mount that holds a path is the one with the longest mount point that
// contains the path's real location (/proc/self/mountinfo); of several on
// one point the last wins, as it is the one on top. A mount is optical when
// its file system is iso9660 or udf, or when its device is a CD/DVD drive
// (SCSI CD-ROM major, an "sr" name, or SCSI type 5); removable when the
// block device, or the disk a partition belongs to, is marked removable;
// remote for network file systems; a RAM disk for tmpfs and ramfs; fixed
// otherwise. File systems such as btrfs report an anonymous device: the
// device their source names stands for it.
#pragma once

#include <optional>
#include <string>

#include "rtl/Drives.h"

namespace rtl {

struct TMountEntry {
  unsigned Major = 0;
  unsigned Minor = 0;
  std::string MountPoint;
  std::string FsType;
  std::string Source;
};

// The mount of mountinfo text that holds Path (absolute, without links).
std::optional<TMountEntry> FindMount(const std::string& MountInfo, const std::string& Path);
// The kind of a mount, with SysRoot standing for /sys.
TDriveType ClassifyMount(const TMountEntry& Mount, const std::string& SysRoot = "/sys");
// DriveTypeOf with another mount table and sysfs: Unknown when the table
// cannot be read or holds no mount for Path.
TDriveType DriveTypeOf(const std::string& Path, const std::string& MountInfoFile, const std::string& SysRoot);

} // namespace rtl
