// Text: UTF-8, UTF-16 and the system's single- and double-byte code pages.
//
// Text inside the program is UTF-8 in std::string; raw bytes (stored names,
// passwords) are std::string too. The "ANSI" and "OEM" code pages of a
// Windows system decide how old archives' names are read, so this unit keeps
// that notion. On Windows they are the system's own (GetACP, GetOEMCP) and
// conversions are the system's (MultiByteToWideChar and back). Elsewhere both
// are chosen from the locale (Korean 949/949, Japanese 932/932, Simplified
// Chinese 936/936, Traditional Chinese 950/950, Russian 1251/866, anything
// else 1252/437) and conversions go through iconv. Everywhere the variables
// ARVELO_ANSI_CODEPAGE and ARVELO_OEM_CODEPAGE override the choice, and bytes
// a code page cannot map become U+FFFD, never an error.
#pragma once

#include <cstdint>
#include <string>

namespace rtl {

// UTF-8 <-> UTF-16. Invalid UTF-8 (bad or cut sequences, surrogates, overlong
// forms) decodes to U+FFFD per bad byte; lone surrogates encode as U+FFFD.
std::u16string Utf8ToUtf16(const std::string& s);
std::string Utf16ToUtf8(const std::u16string& s);
// Repairs invalid UTF-8 the same way Utf8ToUtf16 reads it.
std::string SanitizeUtf8(const std::string& s);

// The system's code pages (see above). Re-read from the environment on every
// call, so tests and callers can switch them.
int AnsiCodePage();
int OemCodePage();
// The pair used where the locale names no legacy code page of its own (C,
// POSIX, English and the like); 1252/437 unless a program that knows where
// its data comes from says otherwise.
void SetFallbackCodePages(int Ansi, int Oem);
// The code page in environment variable var, or fallback when it is unset or
// not a number.
int CodePageFromEnvironment(const char* var, int fallback);

// Single- or multi-byte text in a Windows code page (e.g. 437, 949, 1252)
// to UTF-8, and back. Unmappable characters become "?" on the way back.
std::string CodePageToUtf8(const std::string& bytes, int codePage);
std::string Utf8ToCodePage(const std::string& text, int codePage);

// Bytes in a charset named as users know it from iconv and unzip ("CP949",
// "EUC-KR", "Shift_JIS", "ISO-8859-2", "KOI8-R"...) to UTF-8; bytes that do
// not read become U+FFFD. False, Out untouched, when the charset is unknown
// here. Elsewhere than on Windows iconv reads the name, with every charset
// it knows; on Windows the name is looked up as a code page the system has,
// so no converter library ships with the programs.
bool CharsetToUtf8(const std::string& Raw, const std::string& Charset, std::string& Out);

// ASCII-only case mapping (only a-z / A-Z change).
std::string AsciiUpper(std::string s);
bool SameTextAscii(const std::string& a, const std::string& b);

// Locale-aware upper case of UTF-16 code units (used for hashing names).
char16_t UpperChar16(char16_t c);

} // namespace rtl
