// Drives: what kind of drive a path lives on, as a Windows runtime's drive
// type would say, worked out from the mount table.
//
// The mount that holds the path is the one with the longest mount point
// that is a prefix of the path's real location (/proc/self/mountinfo).
// Optical: an iso9660 or udf file system, or a CD/DVD device (sr*).
// Removable: a block device marked removable in /sys (USB sticks, card
// readers), also when the mount is one of its partitions. Remote: network
// file systems. RAM disk: tmpfs and ramfs. Everything else is fixed.
#pragma once

#include <cstdint>
#include <string>

namespace rtl {

enum class TDriveType { Unknown, Removable, Fixed, Remote, CDROM, RamDisk };

struct TMountInfo {
  std::string mountPoint;
  std::string fsType;
  std::string source;
  unsigned major = 0, minor = 0;
};

// The mount holding Path; false when the table cannot be read.
bool FindMount(const std::string& Path, TMountInfo& Info, const std::string& MountInfoFile = "/proc/self/mountinfo");
TDriveType DriveTypeOf(const std::string& Path);
// Total bytes of the volume holding Path, -1 on failure.
int64_t VolumeTotalBytes(const std::string& Path);
// Whether the volume holding Path answers (a disk is in the drive).
bool VolumeIsReadable(const std::string& Path);

} // namespace rtl
