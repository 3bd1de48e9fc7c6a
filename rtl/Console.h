// Console: the program's text on standard output and standard error, and
// a secret typed at the terminal.
//
// Text is UTF-8 inside the program. A POSIX terminal takes it as it is. A
// Windows console does not: bytes written to it are read in the console's
// code page, so Korean names come out as noise under a Western code page.
// On a console the Windows side therefore hands the text over as UTF-16
// (WriteConsoleW), which shows every character the console's font has;
// redirected to a file or a pipe it writes the UTF-8 bytes, the same bytes
// the Linux program writes, so output can be compared and processed alike.
//
// ConsolePosix.cpp and ConsoleWindows.cpp implement this header.
#pragma once

#include <cstdio>
#include <string>

namespace rtl {

// Stream is stdout or stderr. Everything written through here and through
// the C library's own calls on the same stream keeps its order.
void ConsoleWrite(std::FILE* Stream, const std::string& Utf8);
// printf-style formatting, then ConsoleWrite.
void ConsolePrintf(std::FILE* Stream, const char* Format, ...) __attribute__((format(printf, 2, 3)));
// Whether Stream (stdin, stdout or stderr) is an interactive terminal.
bool IsConsole(std::FILE* Stream);
// One line typed at the terminal without echo, as UTF-8; false at the end
// of the input.
bool ReadSecretLine(std::string& Utf8);

} // namespace rtl
