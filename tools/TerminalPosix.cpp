// The console on POSIX systems.
//
// Interrupts are caught without SA_RESTART: a read from the terminal that is
// waiting for an answer returns with EINTR, so a prompt ends through its own
// code path (which puts echo back) and the command unwinds normally, removing
// its partial output. Only a second interrupt, when the first has not
// brought the program down, ends it from the handler, with the few
// async-signal-safe calls that put the terminal back first.
//
// The window width is read with TIOCGWINSZ once and again after each
// SIGWINCH; the handler only raises a flag.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "tools/Terminal.h"

namespace arvelo::term {

namespace {

constexpr int kDefaultWidth = 80;
constexpr char kClearLine[] = "\r\033[K";

// Set by the signal handlers and read by every thread of an extraction:
// lock-free atomics, which a handler may use as it may a sig_atomic_t.
std::atomic<int> gInterrupts{0};
std::atomic<int> gWindowChanged{1};
std::atomic<int> gStatusShown{0};
std::atomic<int> gEchoOff{0};
static_assert(std::atomic<int>::is_always_lock_free);
int gInterruptedStatus = 1;
int gTerminalFd = -1;   // the controlling terminal while echo is off
termios gSavedState{};  // its state before echo was turned off
int gWidth = kDefaultWidth;

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void OnInterrupt(int) {
  if (++gInterrupts < 2) return;
  if (gEchoOff) tcsetattr(gTerminalFd, TCSANOW, &gSavedState);
  if (gStatusShown) WriteAll(STDERR_FILENO, kClearLine, sizeof kClearLine - 1);
  _exit(gInterruptedStatus);
}

void OnWindowChange(int) { gWindowChanged = 1; }

int Fd(TChannel Channel) {
  switch (Channel) {
    case TChannel::chIn: return STDIN_FILENO;
    case TChannel::chOut: return STDOUT_FILENO;
    default: return STDERR_FILENO;
  }
}

} // namespace

bool IsTerminal(TChannel Channel) { return isatty(Fd(Channel)) == 1; }

bool WriteText(TChannel Channel, std::string_view Text) { return WriteAll(Fd(Channel), Text.data(), Text.size()); }

int Width() {
  if (gWindowChanged) {
    gWindowChanged = 0;
    winsize ws{};
    gWidth = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : kDefaultWidth;
  }
  return gWidth;
}

void DrawStatus(std::string_view Line) {
  std::string out = kClearLine;
  out += Line;
  WriteAll(STDERR_FILENO, out.data(), out.size());
  gStatusShown = 1;
}

void ClearStatus() {
  if (!gStatusShown) return;
  WriteAll(STDERR_FILENO, kClearLine, sizeof kClearLine - 1);
  gStatusShown = 0;
}

TReadResult AskTerminal(const std::string& Prompt, bool Echo, std::string& Answer) {
  Answer.clear();
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return TReadResult::rrNoTerminal;
  termios saved{};
  const bool quiet = !Echo && tcgetattr(fd, &saved) == 0;
  if (quiet) {
    termios noEcho = saved;
    noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    gTerminalFd = fd;
    gSavedState = saved;
    gEchoOff = 1;
    tcsetattr(fd, TCSAFLUSH, &noEcho);
  }
  WriteAll(fd, Prompt.data(), Prompt.size());
  TReadResult result = TReadResult::rrEnd;
  for (;;) {
    if (gInterrupts) {
      result = TReadResult::rrInterrupted;
      break;
    }
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;  // the flag decides on the next turn
    if (n <= 0) break;
    if (c == '\n' || c == '\r') {
      result = TReadResult::rrLine;
      break;
    }
    Answer += c;
  }
  if (quiet) {
    tcsetattr(fd, TCSAFLUSH, &saved);
    gEchoOff = 0;
    // The Enter that ended the answer was not echoed.
    WriteAll(fd, "\n", 1);
  } else if (result == TReadResult::rrInterrupted) {
    WriteAll(fd, "\n", 1);
  }
  ::close(fd);
  return result;
}

void InstallInterruptHandlers(int InterruptedExitStatus) {
  gInterruptedStatus = InterruptedExitStatus;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a waiting read must return
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
  struct sigaction wc {};
  wc.sa_handler = OnWindowChange;
  sigemptyset(&wc.sa_mask);
  wc.sa_flags = SA_RESTART;
  sigaction(SIGWINCH, &wc, nullptr);
}

bool Interrupted() { return gInterrupts > 0; }

} // namespace arvelo::term
