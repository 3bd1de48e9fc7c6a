#include <sched.h>
#include <unistd.h>

#include "rtl/SysUtils.h"

namespace rtl {

int UsableProcessors() {
#ifdef __linux__
  // A container or taskset may allow fewer processors than are online.
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
#endif
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

} // namespace rtl
