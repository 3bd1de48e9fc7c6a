// MediumPosix: the environment's override and the system's answer.
#include "launcher/MediumPosix.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "rtl/DrivesPosix.h"

namespace launcher {

// ===========================================================================
// Override and the service
// ===========================================================================

std::optional<TMediumOverride> MediumOverride() {
  const char* Env = std::getenv("EBOOK_LAUNCHER_MEDIUM");
  if (!Env) return std::nullopt;
  const std::string V = Env;
  if (V == "removable") return TMediumOverride{TDriveKind::dkRemovable, -1};
  if (V == "other") return TMediumOverride{TDriveKind::dkOther, -1};
  if (V == "optical") return TMediumOverride{TDriveKind::dkOptical, -1};
  if (V.rfind("optical:", 0) == 0) {
    const std::string Num = V.substr(8);
    char* End = nullptr;
    errno = 0;
    const long long N = std::strtoll(Num.c_str(), &End, 10);
    const bool Ok = !Num.empty() && End && *End == '\0' && errno == 0;
    return TMediumOverride{TDriveKind::dkOptical, Ok ? static_cast<int64_t>(N) : -1};
  }
  return std::nullopt;
}

TPosixMedium::TPosixMedium(std::string MountInfoPath, std::string SysRoot)
    : FMountInfoPath(std::move(MountInfoPath)), FSysRoot(std::move(SysRoot)) {}

int64_t TPosixMedium::VolumeSize(const std::string& Folder) {
  if (auto O = MediumOverride(); O && O->Kind == TDriveKind::dkOptical) return O->Size;
  return rtl::VolumeTotalBytes(Folder);
}

TDriveKind TPosixMedium::DriveKind(const std::string& Folder) {
  if (auto O = MediumOverride()) return O->Kind;
  char Real[PATH_MAX];
  if (!::realpath(Folder.c_str(), Real)) return TDriveKind::dkOther;
  return DriveKindOf(rtl::DriveTypeOf(Real, FMountInfoPath, FSysRoot));
}

} // namespace launcher
