#include "rtl/Console.h"

#include <termios.h>
#include <unistd.h>

#include <cstdarg>
#include <iostream>


namespace rtl {

void ConsoleWrite(std::FILE* Stream, const std::string& Utf8) { std::fwrite(Utf8.data(), 1, Utf8.size(), Stream); }

void ConsolePrintf(std::FILE* Stream, const char* Format, ...) {
  va_list ap;
  va_start(ap, Format);
  std::vfprintf(Stream, Format, ap);
  va_end(ap);
}

bool IsConsole(std::FILE* Stream) { return isatty(fileno(Stream)) != 0; }

bool ReadSecretLine(std::string& Utf8) {
  termios old{};
  bool restore = tcgetattr(STDIN_FILENO, &old) == 0;
  if (restore) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  bool ok = static_cast<bool>(std::getline(std::cin, Utf8));
  if (restore) tcsetattr(STDIN_FILENO, TCSANOW, &old);
  return ok;
}

} // namespace rtl
