// AbPPMd: ZIP method 98, PPMd variant I revision 1.
//
// PPMd predicts each byte from the bytes before it: it keeps a tree of
// contexts (the last 1, 2, ... up to "order" bytes), each with the symbols
// seen after it and their frequencies, and codes a byte with a range coder
// in the longest context that knows it, escaping to shorter contexts until
// one does. Variant I adds binary contexts with adaptive probabilities,
// secondary escape estimation, information inheritance for new contexts and
// a choice of what to do when the model's memory runs out: start over, or
// cut the tree back and go on.
//
// The decoder must rebuild the encoder's model exactly, down to when and
// where its sub-allocator runs out of memory, since every difference changes
// the bytes that follow. So the model lives in one block of the requested
// size with the encoder's own layout: 12-byte units, contexts and symbol
// tables addressed by 32-bit offsets into the block, free blocks of 38 sizes
// on lists, a text area at the bottom for the bytes not yet in contexts.
//
// The item's data: a 16-bit parameter word (order - 1 in bits 0-3, memory in
// MiB - 1 in bits 4-11, restore method in bits 12-15), then the range-coded
// symbols, ended by an escape out of the order-0 context. The uncompressed
// size is not needed.
#pragma once

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace ab {

// The model's memory could not be had from the system.
class EAbPPMdMemoryError : public rtl::Exception { using rtl::Exception::Exception; };

// Decodes one whole method-98 item from Src into Des.
//   - input that ends before the end signal: EAbReadError "Error reading archive";
//   - model order 1 or a restore method other than 0 (restart) or 1 (cut
//     off): EAbCorruptData, as no encoder writes them;
//   - data that decodes to an impossible symbol: EAbCorruptData;
//   - model memory not available: EAbPPMdMemoryError.
void DecodePpmdItem(rtl::TStream* Src, rtl::TStream* Des);

} // namespace ab
