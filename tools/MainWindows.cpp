// The arvelo program's entry on Windows. The narrow argv a Windows program
// gets is in the ANSI code page, where a Korean name typed under a Western
// locale is already lost; wmain gets the UTF-16 command line, which is
// turned into the UTF-8 the rest of the program speaks. Output goes through
// rtl/Console.h (UTF-16 to a console, UTF-8 bytes when redirected); the
// console's escape sequences for the progress line are switched on where
// the console knows them. Redirected output is binary: lines end in "\n"
// as the Linux program's do, so the two can be compared byte for byte.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "rtl/WinText.h"
#include "tools/ArveloCommands.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

int wmain(int argc, wchar_t** argv) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  if (err != INVALID_HANDLE_VALUE && GetConsoleMode(err, &mode))
    SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);

  return rtl::RunWithUtf8Arguments(argc, argv, arvelo::Main);
}
