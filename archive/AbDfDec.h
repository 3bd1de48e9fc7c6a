// AbDfDec: the inflater for ZIP methods 8 (Deflate) and 9 (Deflate64).
//
// Inflate decodes blocks from the source until the final one, writes the
// output through the window (unit AbDfOutW) and returns its check value.
// Every fault of the data leaves as EAbInflateError with a cause text that
// names the routine; the partial-size stop and a progress handler's
// EAbAbortProgress end the call quietly with result 0; stream errors and
// whatever the destination raises pass through unchanged. Whatever happens,
// the output produced so far has reached the destination and the source
// stands just after the last byte from which a bit was consumed.
#pragma once

#include <cstdint>

#include "archive/AbDfBase.h"
#include "rtl/Classes.h"

namespace ab {

// Options come from aHelper (may be null: defaults). With aHelper, its
// CompressedSize and NormalSize are set after a normal or quiet return.
uint32_t Inflate(rtl::TStream* aSource, rtl::TStream* aDest, TAbDeflateHelper* aHelper);

} // namespace ab
