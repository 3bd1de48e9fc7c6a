// Drives: what kind of drive a path lives on, as a Windows runtime's drive
// type would say, and the size of its volume.
//
// Windows asks the system for the volume that holds the path (a mounted
// folder answers for its own volume). POSIX systems work it out from the
// mount table and sysfs; rtl/DrivesPosix.h tells how.
#pragma once

#include <cstdint>
#include <string>

namespace rtl {

enum class TDriveType { Unknown, Removable, Fixed, Remote, CDROM, RamDisk };

TDriveType DriveTypeOf(const std::string& Path);
// Total bytes of the volume holding Path, -1 on failure.
int64_t VolumeTotalBytes(const std::string& Path);
// Whether the volume holding Path answers (a disk is in the drive).
bool VolumeIsReadable(const std::string& Path);

} // namespace rtl
