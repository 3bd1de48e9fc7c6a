#include "rtl/Console.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <io.h>

#include <cstdarg>
#include <vector>

#include "rtl/WinText.h"

namespace rtl {

namespace {

// The console behind a C stream, or nullptr when the stream goes to a
// file or a pipe.
HANDLE ConsoleOf(std::FILE* Stream) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(Stream)));
  DWORD mode;
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_CHAR || !GetConsoleMode(h, &mode)) return nullptr;
  return h;
}

} // namespace

void ConsoleWrite(std::FILE* Stream, const std::string& Utf8) {
  HANDLE console = ConsoleOf(Stream);
  if (!console) {
    std::fwrite(Utf8.data(), 1, Utf8.size(), Stream);
    return;
  }
  std::fflush(Stream);  // what the C library holds goes first
  std::wstring w = WideText(Utf8);
  const wchar_t* p = w.data();
  size_t left = w.size();
  while (left > 0) {
    DWORD n = 0;
    // Consoles take limited pieces; 8 K characters is safe everywhere.
    DWORD piece = static_cast<DWORD>(left < 8192 ? left : 8192);
    if (!WriteConsoleW(console, p, piece, &n, nullptr) || n == 0) break;
    p += n;
    left -= n;
  }
}

void ConsolePrintf(std::FILE* Stream, const char* Format, ...) {
  va_list ap;
  va_start(ap, Format);
  int n = std::vsnprintf(nullptr, 0, Format, ap);
  va_end(ap);
  if (n <= 0) return;
  std::vector<char> buf(static_cast<size_t>(n) + 1);
  va_start(ap, Format);
  std::vsnprintf(buf.data(), buf.size(), Format, ap);
  va_end(ap);
  ConsoleWrite(Stream, std::string(buf.data(), static_cast<size_t>(n)));
}

bool IsConsole(std::FILE* Stream) {
  if (Stream == stdin) {
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    return h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
  }
  return ConsoleOf(Stream) != nullptr;
}

bool ReadSecretLine(std::string& Utf8) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD old;
  if (!GetConsoleMode(in, &old)) return false;
  SetConsoleMode(in, (old | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::wstring line;
  bool ok = false;
  for (;;) {
    wchar_t buf[256];
    DWORD n = 0;
    if (!ReadConsoleW(in, buf, 256, &n, nullptr) || n == 0) break;
    line.append(buf, n);
    size_t end = line.find(L'\n');
    if (end != std::wstring::npos) {
      line.resize(end);
      ok = true;
      break;
    }
  }
  SetConsoleMode(in, old);
  if (!line.empty() && line.back() == L'\r') line.pop_back();
  Utf8 = NarrowText(line);
  return ok || !line.empty();
}

} // namespace rtl
