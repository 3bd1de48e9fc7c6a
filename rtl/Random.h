// Random: bytes from the operating system's random source.
//
// For secrets and for values that must not repeat between runs (the salt of
// an encryption header): the kernel's generator on Linux (getrandom), the
// system's preferred generator on Windows (BCryptGenRandom). Never a
// library PRNG, never seeded from the clock.
#pragma once

#include <cstddef>

namespace rtl {

// Fills Buffer with Count random bytes; raises EInOutError when the system
// cannot supply them (nothing is ever filled in from a weaker source).
void SystemRandomBytes(void* Buffer, size_t Count);

} // namespace rtl
