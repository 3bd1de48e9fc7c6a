// AbDfBase: base definitions of the inflater: the options object of one
// inflation, its progress type, its exceptions, and the Adler-32 check value.
#pragma once

#include <cstdint>

namespace ab {

// Adler-32 step of RFC 1950 on a running value (start value 1). The sums are
// reduced every 2048 bytes, the longest run that cannot overflow 32 bits here.
void UpdateAdler32(uint32_t& CurAdler, const void* Buffer, int64_t BufSize);

} // namespace ab
