// Medium: what kind of medium the launcher runs from, on Linux.
//
// The launcher words its notice and its run button after the medium: a CD or
// DVD (told apart by the volume's size), a removable drive, or anything else,
// where installing is not offered. Linux has no drive letters, so the answer
// comes from the mount that holds the launcher's folder: the longest mount
// point in /proc/self/mountinfo that contains the folder. It is optical when
// its file system is iso9660 or udf or when its block device is a CD/DVD
// drive, removable when the block device (or the disk a partition belongs to)
// is marked removable in sysfs, and other in every remaining case. The size
// is the file system's total from statvfs, -1 when it cannot be read.
//
// EBOOK_LAUNCHER_MEDIUM overrides the detection for demonstrations and tests
// ("optical:BYTES", "optical", "removable" or "other"); a value it does not
// know is ignored.
#pragma once

#include <optional>
#include <string>

#include "launcher/Platform.h"

namespace launcher {

struct TMountEntry {
  unsigned Major = 0;
  unsigned Minor = 0;
  std::string MountPoint;
  std::string FsType;
  std::string Source;
};

// The mount of mountinfo text that holds Path (an absolute path without
// symbolic links); the last of several mounts on the same point wins, as it
// is the one on top.
std::optional<TMountEntry> FindMount(const std::string& MountInfo, const std::string& Path);

// Kind of a mount, with SysRoot standing for /sys.
TDriveKind ClassifyMount(const TMountEntry& Mount, const std::string& SysRoot);

// The environment's override, if it holds one: the kind and the volume size
// (-1 when not given).
struct TMediumOverride {
  TDriveKind Kind;
  int64_t Size;
};
std::optional<TMediumOverride> MediumOverride();

class TPosixMedium : public IMedium {
public:
  explicit TPosixMedium(std::string MountInfoPath = "/proc/self/mountinfo", std::string SysRoot = "/sys");
  int64_t VolumeSize(const std::string& Folder) override;
  TDriveKind DriveKind(const std::string& Folder) override;

private:
  std::string FMountInfoPath;
  std::string FSysRoot;
};

} // namespace launcher
