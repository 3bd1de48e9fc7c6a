#include "rtl/Random.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

#include "rtl/SysUtils.h"

namespace rtl {

void SystemRandomBytes(void* Buffer, size_t Count) {
  auto* p = static_cast<unsigned char*>(Buffer);
  while (Count > 0) {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(Count, 1u << 30));
    const NTSTATUS status = BCryptGenRandom(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) throw EInOutError(Format("No random bytes from the system (status 0x%08lX)", static_cast<unsigned long>(status)), 0);
    p += n;
    Count -= n;
  }
}

} // namespace rtl
