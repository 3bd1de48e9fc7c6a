#include <windows.h>

#include "rtl/SysUtils.h"

namespace rtl {

int UsableProcessors() {
  // The process's affinity within its processor group (Windows 7 gives a
  // process one group unless it asks for more).
  DWORD_PTR process = 0, system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    int n = 0;
    for (; process; process &= process - 1) ++n;
    return n;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

} // namespace rtl
