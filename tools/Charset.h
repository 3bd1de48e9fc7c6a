// Charset: legacy name bytes in a charset the user names (-O, -I) to UTF-8.
//
// Charset names are the ones users know from unzip and iconv ("CP949",
// "EUC-KR", "SHIFT_JIS", "ISO-8859-2"...). On POSIX systems iconv reads
// them, with every charset it knows (CharsetPosix.cpp); on Windows the name
// is looked up as a code page and the system's own conversions read the
// bytes (CharsetWindows.cpp), so no converter library ships with the
// program.
#pragma once

#include <string>

namespace arvelo {

// Raw bytes in Charset to UTF-8; bytes that do not read become U+FFFD.
// False (Out untouched) when the charset is unknown here.
bool CharsetToUtf8(const std::string& Raw, const std::string& Charset, std::string& Out);

} // namespace arvelo
