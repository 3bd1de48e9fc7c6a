// The console on Windows.
//
// Text goes to a console as UTF-16 (WriteConsoleW): bytes written to a
// console are read in its code page, where Korean names come out as noise
// under a Western one. Redirected to a file or a pipe the UTF-8 bytes go as
// they are, the same bytes the POSIX program writes.
//
// The status line is drawn with the console's own calls (the cursor back
// to the left margin, the row blanked) rather than escape sequences, which
// consoles before Windows 10 print as text.
//
// A question is asked on the console itself (CONIN$ and CONOUT$), not on
// stdin, which may carry data. Without echo the input mode loses
// ENABLE_ECHO_INPUT for the read and gets it back afterwards. Ctrl-C and
// Ctrl-Break reach the handler installed with SetConsoleCtrlHandler, which
// runs on a thread of its own: the first one is only counted (a pending
// read returns and the prompt ends through its own path, which puts the
// mode back), a second one puts the mode back, clears the status line and
// ends the process.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>

#include "rtl/Text.h"
#include "rtl/WinText.h"
#include "tools/Terminal.h"

namespace arvelo::term {

namespace {

constexpr int kDefaultWidth = 80;
// Consoles take limited pieces per call; 8 K characters is safe everywhere.
constexpr size_t kConsolePiece = 8192;
// How long a read that Ctrl-C ended waits for the handler's thread to count
// the interrupt.
constexpr DWORD kHandlerGraceMs = 100;

std::atomic<int> gInterrupts{0};
std::atomic<bool> gStatusShown{false};
std::atomic<bool> gEchoOff{false};
std::atomic<HANDLE> gConsoleIn{INVALID_HANDLE_VALUE};  // while echo is off
DWORD gSavedMode = 0;                                   // its mode before
int gInterruptedStatus = 1;

HANDLE Std(TChannel Channel) {
  switch (Channel) {
    case TChannel::chIn: return GetStdHandle(STD_INPUT_HANDLE);
    case TChannel::chOut: return GetStdHandle(STD_OUTPUT_HANDLE);
    default: return GetStdHandle(STD_ERROR_HANDLE);
  }
}

bool IsConsoleHandle(HANDLE h) {
  DWORD mode;
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &mode);
}

bool WriteBytes(HANDLE h, const char* p, size_t n) {
  while (n > 0) {
    DWORD done = 0;
    const DWORD piece = static_cast<DWORD>(n < (1u << 30) ? n : (1u << 30));
    if (!WriteFile(h, p, piece, &done, nullptr) || done == 0) return false;
    p += done;
    n -= done;
  }
  return true;
}

bool WriteConsoleText(HANDLE h, std::string_view Text) {
  const std::wstring w = rtl::WideText(std::string(Text));
  const wchar_t* p = w.data();
  size_t left = w.size();
  while (left > 0) {
    DWORD done = 0;
    const DWORD piece = static_cast<DWORD>(left < kConsolePiece ? left : kConsolePiece);
    if (!WriteConsoleW(h, p, piece, &done, nullptr) || done == 0) return false;
    p += done;
    left -= done;
  }
  return true;
}

// Blanks the cursor's row of the console on stderr and puts the cursor at
// its left margin.
void BlankStatusRow() {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(err, &info)) return;
  COORD start{0, info.dwCursorPosition.Y};
  DWORD written;
  FillConsoleOutputCharacterW(err, L' ', static_cast<DWORD>(info.dwSize.X), start, &written);
  SetConsoleCursorPosition(err, start);
}

void RestoreInputMode() {
  if (gEchoOff.exchange(false)) SetConsoleMode(gConsoleIn.load(), gSavedMode);
}

BOOL WINAPI OnControl(DWORD Event) {
  if (Event != CTRL_C_EVENT && Event != CTRL_BREAK_EVENT) return FALSE;  // the system's default
  if (++gInterrupts < 2) return TRUE;
  RestoreInputMode();
  if (gStatusShown) BlankStatusRow();
  ExitProcess(static_cast<UINT>(gInterruptedStatus));
}

} // namespace

bool IsTerminal(TChannel Channel) { return IsConsoleHandle(Std(Channel)); }

bool WriteText(TChannel Channel, std::string_view Text) {
  HANDLE h = Std(Channel);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return IsConsoleHandle(h) ? WriteConsoleText(h, Text) : WriteBytes(h, Text.data(), Text.size());
}

int Width() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return kDefaultWidth;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : kDefaultWidth;
}

void DrawStatus(std::string_view Line) {
  BlankStatusRow();
  WriteConsoleText(GetStdHandle(STD_ERROR_HANDLE), Line);
  gStatusShown = true;
}

void ClearStatus() {
  if (!gStatusShown) return;
  BlankStatusRow();
  gStatusShown = false;
}

TReadResult AskTerminal(const std::string& Prompt, bool Echo, std::string& Answer) {
  Answer.clear();
  HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return TReadResult::rrNoTerminal;
  HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  DWORD saved = 0;
  if (!GetConsoleMode(in, &saved) || out == INVALID_HANDLE_VALUE) {
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    CloseHandle(in);
    return TReadResult::rrNoTerminal;
  }
  const bool quiet = !Echo;
  if (quiet) {
    gConsoleIn = in;
    gSavedMode = saved;
    gEchoOff = true;
    SetConsoleMode(in, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  WriteConsoleText(out, Prompt);
  TReadResult result = TReadResult::rrEnd;
  std::wstring line;
  for (;;) {
    if (gInterrupts) {
      result = TReadResult::rrInterrupted;
      break;
    }
    wchar_t buf[256];
    DWORD n = 0;
    const BOOL ok = ReadConsoleW(in, buf, 256, &n, nullptr);
    if (!ok || n == 0) {
      // Ctrl-C ends the read before its handler has counted it.
      Sleep(kHandlerGraceMs);
      if (gInterrupts) result = TReadResult::rrInterrupted;
      break;
    }
    line.append(buf, n);
    const size_t end = line.find_first_of(L"\r\n");
    if (end != std::wstring::npos) {
      line.resize(end);
      result = TReadResult::rrLine;
      break;
    }
  }
  if (quiet) {
    RestoreInputMode();
    // The Enter that ended the answer was not echoed.
    WriteConsoleText(out, "\n");
  } else if (result == TReadResult::rrInterrupted) {
    WriteConsoleText(out, "\n");
  }
  Answer = rtl::NarrowText(line);
  CloseHandle(out);
  CloseHandle(in);
  return result;
}

void InstallInterruptHandlers(int InterruptedExitStatus) {
  gInterruptedStatus = InterruptedExitStatus;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool Interrupted() { return gInterrupts > 0; }

} // namespace arvelo::term
