// MediumPosix: what kind of medium the launcher runs from, on Linux.
//
// The launcher words its notice and its run button after the medium: a CD or
// DVD (told apart by the volume's size), a removable drive, or anything else,
// where installing is not offered. Linux has no drive letters, so the answer
// comes from the mount that holds the launcher's folder (rtl/DrivesPosix.h);
// a folder that does not exist is on no medium. The size is the file
// system's total, -1 when it cannot be read.
//
// EBOOK_LAUNCHER_MEDIUM overrides the detection for demonstrations and tests
// ("optical:BYTES", "optical", "removable" or "other"); a value it does not
// know is ignored.
#pragma once

#include <optional>
#include <string>

#include "launcher/Platform.h"

namespace launcher {

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
