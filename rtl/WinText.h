// WinText: the one place where the Windows sources of rtl/ turn the
// program's UTF-8 into the UTF-16 the system's "W" calls take, and back.
//
// Only Windows sources include this header. Names stay UTF-8 everywhere
// else; converting at the call keeps one text form inside the program and
// makes every name the system can hold reachable, whatever the ANSI code
// page is. Long absolute names get the "\\?\" prefix, which lifts the
// system's 260-character limit (it also turns off the system's own clean-up
// of "/" and "." parts, so those are normalised here first).
#pragma once

#include <string>

namespace rtl {

std::wstring WideText(const std::string& Utf8);
std::string NarrowText(const wchar_t* Wide, size_t Length);
inline std::string NarrowText(const std::wstring& Wide) { return NarrowText(Wide.data(), Wide.size()); }

// A name for a file call: native separators and, when long and absolute,
// the extended-length prefix.
std::wstring WidePath(const std::string& Utf8Name);

// A console program's entry from wmain: the UTF-16 command line (which
// holds every name, where the narrow argv has lost what the ANSI code page
// lacks) goes to Main as UTF-8, and standard output and error are binary, so
// lines end in "\n" as they do on Linux.
int RunWithUtf8Arguments(int argc, wchar_t** argv, int (*Main)(int, char**));

} // namespace rtl
