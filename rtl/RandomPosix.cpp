#include "rtl/Random.h"

#include <cerrno>
#include <sys/random.h>

#include "rtl/SysUtils.h"

namespace rtl {

void SystemRandomBytes(void* Buffer, size_t Count) {
  auto* p = static_cast<unsigned char*>(Buffer);
  while (Count > 0) {
    // Blocks only until the kernel's pool has been seeded once after boot.
    const ssize_t got = ::getrandom(p, Count, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw EInOutError("No random bytes from the system: " + SysErrorMessage(errno), errno);
    }
    p += got;
    Count -= static_cast<size_t>(got);
  }
}

} // namespace rtl
