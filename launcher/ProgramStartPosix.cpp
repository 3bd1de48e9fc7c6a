// ProgramStartPosix: detached program start and the desktop opener.
#include "launcher/ProgramStartPosix.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace launcher {

static bool IsExecutableFile(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode) && ::access(Path.c_str(), X_OK) == 0;
}

// Everything the child needs is prepared before fork: after it only
// async-signal-safe calls are made, as the launcher has the toolkit's
// threads running.
static void Spawn(const std::string& Program, bool SearchPath, const std::vector<std::string>& Args,
                  const std::string& WorkDir) {
  std::vector<std::string> Strings;
  Strings.push_back(Program);
  Strings.insert(Strings.end(), Args.begin(), Args.end());
  std::vector<char*> Argv;
  for (auto& S : Strings) Argv.push_back(S.data());
  Argv.push_back(nullptr);
  sigset_t Empty;
  sigemptyset(&Empty);
  const int Null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  const pid_t Child = ::fork();
  if (Child < 0) {
    if (Null >= 0) ::close(Null);
    return;
  }
  if (Child == 0) {
    ::setsid();
    if (::fork() != 0) ::_exit(0);
    if (!WorkDir.empty() && ::chdir(WorkDir.c_str()) != 0) {
      // A working folder that is gone does not stop the program; it starts
      // where the launcher was.
    }
    if (Null >= 0) ::dup2(Null, STDIN_FILENO);
    ::close_range(3, ~0U, 0);
    ::signal(SIGPIPE, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &Empty, nullptr);
    if (SearchPath) ::execvp(Argv[0], Argv.data());
    else ::execv(Argv[0], Argv.data());
    ::_exit(127);
  }
  if (Null >= 0) ::close(Null);
  // The middle process ends at once; reaping it leaves the program with no
  // parent to wait for it.
  int Status = 0;
  while (::waitpid(Child, &Status, 0) < 0 && errno == EINTR) {
  }
}

void TPosixProgramStarter::Open(const std::string& File, const std::vector<std::string>& Args,
                                const std::string& WorkDir) {
  std::string Path = File;
  if (!Path.empty() && Path[0] != '/') {
    // The child changes folder before it starts the program.
    char Cwd[PATH_MAX];
    if (::getcwd(Cwd, sizeof Cwd)) Path = std::string(Cwd) + "/" + Path;
  }
  if (IsExecutableFile(Path)) {
    Spawn(Path, false, Args, WorkDir);
  } else {
    // The opener takes one document; arguments have no meaning for it.
    Spawn("xdg-open", true, {Path}, WorkDir);
  }
}

} // namespace launcher
