// A small tmpfs for tests of a full disk (Linux, as root); Ok() is false
// where mounting is not permitted, and the test then skips.
#pragma once

#include <sys/mount.h>

#include <filesystem>
#include <string>

// A small tmpfs at Path, unmounted afterwards; Ok() is false where mounting
// is not permitted.
class SmallDisk {
public:
  SmallDisk(const std::string& path, const char* options) : FPath(path) {
    std::filesystem::create_directories(path);
    FOk = mount("arvelo-test", path.c_str(), "tmpfs", 0, options) == 0;
  }
  ~SmallDisk() {
    if (FOk) umount2(FPath.c_str(), MNT_DETACH);
  }
  bool Ok() const { return FOk; }
  bool MakeReadOnly() { return mount(nullptr, FPath.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0; }

private:
  std::string FPath;
  bool FOk = false;
};

