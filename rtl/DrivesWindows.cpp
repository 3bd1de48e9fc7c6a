// Drives on Windows: the system's own drive type of the volume that holds
// the path (GetVolumePathNameW, then GetDriveTypeW on its root), so a path
// on a mounted folder answers for the volume mounted there, not for C:.
// Asking an empty removable or optical drive must not bring up the
// system's "insert a disk" box, so critical-error boxes are off for the
// duration of each question.
#include "rtl/Drives.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "rtl/FileSys.h"
#include "rtl/WinText.h"

namespace rtl {

namespace {

class TQuietErrors {
public:
  TQuietErrors() : FOld(SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX)) {}
  ~TQuietErrors() { SetErrorMode(FOld); }

private:
  UINT FOld;
};

// The root of the volume holding Path ("C:\", "\\server\share\", or a
// mounted folder), with its trailing separator; empty on failure.
std::wstring VolumeRoot(const std::string& Path) {
  std::wstring full = WideText(ExpandFileName(Path.empty() ? "." : Path));
  for (wchar_t& c : full)
    if (c == L'/') c = L'\\';
  std::wstring root(full.size() + 2, L'\0');
  if (!GetVolumePathNameW(full.c_str(), root.data(), static_cast<DWORD>(root.size()))) {
    // Older systems and missing drives: the drive part of the name.
    if (full.size() >= 2 && full[1] == L':') return full.substr(0, 2) + L"\\";
    return L"";
  }
  root.resize(wcslen(root.c_str()));
  if (!root.empty() && root.back() != L'\\') root += L'\\';
  return root;
}

} // namespace

TDriveType DriveTypeOf(const std::string& Path) {
  TQuietErrors quiet;
  std::wstring root = VolumeRoot(Path);
  if (root.empty()) return TDriveType::Unknown;
  switch (GetDriveTypeW(root.c_str())) {
    case DRIVE_REMOVABLE: return TDriveType::Removable;
    case DRIVE_FIXED: return TDriveType::Fixed;
    case DRIVE_REMOTE: return TDriveType::Remote;
    case DRIVE_CDROM: return TDriveType::CDROM;
    case DRIVE_RAMDISK: return TDriveType::RamDisk;
    default: return TDriveType::Unknown;
  }
}

int64_t VolumeTotalBytes(const std::string& Path) {
  TQuietErrors quiet;
  std::wstring root = VolumeRoot(Path);
  ULARGE_INTEGER avail, total, free;
  if (root.empty() || !GetDiskFreeSpaceExW(root.c_str(), &avail, &total, &free)) return -1;
  return static_cast<int64_t>(total.QuadPart);
}

bool VolumeIsReadable(const std::string& Path) {
  TQuietErrors quiet;
  std::wstring root = VolumeRoot(Path);
  DWORD serial = 0;
  return !root.empty() && GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, nullptr, 0);
}

} // namespace rtl
