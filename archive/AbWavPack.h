// AbWavPack: ZIP method 97, WavPack-compressed audio.
//
// A method-97 item is a complete WavPack file whose blocks carry the original
// audio file's header and trailer ("wrapper", normally the RIFF/WAVE header).
// Decoding gives back the original file byte for byte: the stored header,
// then the samples in the file's own sample width, then the stored trailer.
//
// libwavpack reads the item through a table of callbacks over the item's
// input stream (the reader below); it may push one byte back and seeks
// freely, which the pipeline's input stages all allow. Samples come out of
// the library as 32-bit integers and are narrowed here: 8-bit audio is
// unsigned in WAV files (sample + 128), wider audio is little-endian signed.
#pragma once

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace ab {

// Decodes one whole method-97 item from Src into Des. A file the library
// cannot open raises rtl::Exception "WavPack decompression failed: " followed
// by the library's reason.
void DecodeWavPackItem(rtl::TStream* Src, rtl::TStream* Des);

} // namespace ab
