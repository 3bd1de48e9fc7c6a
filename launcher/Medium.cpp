// Medium: mount lookup and device classification.
#include "launcher/Medium.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace launcher {

// ===========================================================================
// mountinfo
// ===========================================================================

// mountinfo writes blanks, tabs, newlines and backslashes in paths as octal
// escapes (\040 and so on).
static std::string Unescape(const std::string& S) {
  std::string Out;
  for (size_t i = 0; i < S.size(); ++i) {
    if (S[i] == '\\' && i + 3 < S.size()) {
      const std::string Oct = S.substr(i + 1, 3);
      if (Oct.size() == 3 && Oct.find_first_not_of("01234567") == std::string::npos) {
        Out.push_back(static_cast<char>(std::strtol(Oct.c_str(), nullptr, 8)));
        i += 3;
        continue;
      }
    }
    Out.push_back(S[i]);
  }
  return Out;
}

static bool Contains(const std::string& MountPoint, const std::string& Path) {
  if (MountPoint == "/") return !Path.empty() && Path[0] == '/';
  return Path.compare(0, MountPoint.size(), MountPoint) == 0 &&
         (Path.size() == MountPoint.size() || Path[MountPoint.size()] == '/');
}

std::optional<TMountEntry> FindMount(const std::string& MountInfo, const std::string& Path) {
  std::optional<TMountEntry> Best;
  std::istringstream In(MountInfo);
  std::string Line;
  while (std::getline(In, Line)) {
    // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
    std::istringstream F(Line);
    std::vector<std::string> W;
    for (std::string T; F >> T;) W.push_back(T);
    size_t Dash = 0;
    for (size_t i = 6; i < W.size(); ++i)
      if (W[i] == "-") {
        Dash = i;
        break;
      }
    if (W.size() < 6 || Dash == 0 || Dash + 2 >= W.size()) continue;
    TMountEntry E;
    if (std::sscanf(W[2].c_str(), "%u:%u", &E.Major, &E.Minor) != 2) continue;
    E.MountPoint = Unescape(W[4]);
    E.FsType = W[Dash + 1];
    E.Source = Unescape(W[Dash + 2]);
    if (!Contains(E.MountPoint, Path)) continue;
    if (!Best || E.MountPoint.size() >= Best->MountPoint.size()) Best = E;
  }
  return Best;
}

// ===========================================================================
// Classification
// ===========================================================================

static std::string ReadFirstLine(const std::string& Path) {
  std::ifstream In(Path);
  std::string S;
  std::getline(In, S);
  return S;
}

static bool Exists(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0;
}

// SCSI CD-ROM drives (sr0, sr1, ...) have this block major everywhere.
static constexpr unsigned kScsiCdromMajor = 11;
// The SCSI peripheral type of a CD/DVD drive as sysfs reports it.
static constexpr const char* kScsiTypeRom = "5";

TDriveKind ClassifyMount(const TMountEntry& Mount, const std::string& SysRoot) {
  if (Mount.FsType == "iso9660" || Mount.FsType == "udf") return TDriveKind::dkOptical;

  unsigned Major = Mount.Major, Minor = Mount.Minor;
  // File systems such as btrfs report an anonymous device; the source names
  // the real one.
  if (Major == 0 && Mount.Source.rfind("/dev/", 0) == 0) {
    struct stat St {};
    if (::stat(Mount.Source.c_str(), &St) == 0 && S_ISBLK(St.st_mode)) {
      Major = major(St.st_rdev);
      Minor = minor(St.st_rdev);
    }
  }
  if (Major == 0) return TDriveKind::dkOther;
  if (Major == kScsiCdromMajor) return TDriveKind::dkOptical;

  const std::string Link = SysRoot + "/dev/block/" + std::to_string(Major) + ":" + std::to_string(Minor);
  char Real[PATH_MAX];
  if (!::realpath(Link.c_str(), Real)) return TDriveKind::dkOther;
  std::string Disk = Real;
  // A partition's removable flag lives on the disk it belongs to.
  if (Exists(Disk + "/partition")) Disk = Disk.substr(0, Disk.rfind('/'));

  const std::string Name = Disk.substr(Disk.rfind('/') + 1);
  if (Name.rfind("sr", 0) == 0 || ReadFirstLine(Disk + "/device/type") == kScsiTypeRom) return TDriveKind::dkOptical;
  if (ReadFirstLine(Disk + "/removable") == "1") return TDriveKind::dkRemovable;
  return TDriveKind::dkOther;
}

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
  struct statvfs V {};
  if (::statvfs(Folder.c_str(), &V) != 0) return -1;
  const unsigned long long Unit = V.f_frsize ? V.f_frsize : V.f_bsize;
  const unsigned long long Blocks = V.f_blocks;
  if (Unit != 0 && Blocks > static_cast<unsigned long long>(INT64_MAX) / Unit) return -1;
  return static_cast<int64_t>(Blocks * Unit);
}

TDriveKind TPosixMedium::DriveKind(const std::string& Folder) {
  if (auto O = MediumOverride()) return O->Kind;
  char Real[PATH_MAX];
  if (!::realpath(Folder.c_str(), Real)) return TDriveKind::dkOther;
  std::ifstream In(FMountInfoPath);
  if (!In) return TDriveKind::dkOther;
  std::stringstream Text;
  Text << In.rdbuf();
  const auto Mount = FindMount(Text.str(), Real);
  if (!Mount) return TDriveKind::dkOther;
  return ClassifyMount(*Mount, FSysRoot);
}

} // namespace launcher
