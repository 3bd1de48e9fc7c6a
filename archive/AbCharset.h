// AbCharset: how a stored name's bytes are told apart: plain ASCII, UTF-8,
// or text in a legacy code page, and whether such text looks like the OEM
// (DOS) code page rather than the ANSI (Windows) one.
#pragma once

#include <string>

namespace ab {

enum TAbCharSet { csASCII, csANSI, csUTF8 };

// One pass over the bytes: UTF-8 when every multi-byte sequence is well
// formed and at least one byte is 0x80 or above.
TAbCharSet DetectCharSet(const std::string& Raw);

// True when the name's high bytes are all letters in the OEM code page but
// not all letters in the matching ANSI code page. Only for the OEM code pages
// 437, 720, 737, 775, 850, 852, 855, 857, 862 and 866; False for any other.
bool IsOemName(const std::string& Raw, int OemCodePage);
bool IsOemName(const std::string& Raw);  // with the system's OEM code page

} // namespace ab
