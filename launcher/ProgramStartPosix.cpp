// ProgramStartPosix: detached program start and the desktop opener.
#include "launcher/ProgramStartPosix.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "rtl/SysUtils.h"

namespace launcher {

static bool IsExecutableFile(const std::string& Path) {
  struct stat St {};
  return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode) && ::access(Path.c_str(), X_OK) == 0;
}

// What a file is, by its first bytes.
enum class TFileKind { fkOther, fkWindows, fkElf, fkScript };

static TFileKind KindOf(const std::string& Path, std::string& FirstLine) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (Fd < 0) return TFileKind::fkOther;
  struct stat St {};
  char Head[256];
  ssize_t N = 0;
  if (::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode)) N = ::pread(Fd, Head, sizeof Head, 0);
  TFileKind Kind = TFileKind::fkOther;
  if (N >= 4 && std::memcmp(Head, "\x7f" "ELF", 4) == 0) {
    Kind = TFileKind::fkElf;
  } else if (N >= 2 && Head[0] == '#' && Head[1] == '!') {
    Kind = TFileKind::fkScript;
    FirstLine.assign(Head + 2, static_cast<size_t>(N - 2));
    FirstLine = FirstLine.substr(0, FirstLine.find('\n'));
  } else if (N >= 0x40 && Head[0] == 'M' && Head[1] == 'Z') {
    // A DOS stub whose header points at the "PE\0\0" signature: a Windows
    // program (plain DOS programs have none).
    const uint32_t At = static_cast<uint8_t>(Head[0x3C]) | static_cast<uint8_t>(Head[0x3D]) << 8 |
                        static_cast<uint8_t>(Head[0x3E]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(Head[0x3F])) << 24;
    char Sig[4];
    if (At >= 0x40 && At < (1u << 24) && ::pread(Fd, Sig, 4, At) == 4 && std::memcmp(Sig, "PE\0\0", 4) == 0)
      Kind = TFileKind::fkWindows;
  }
  ::close(Fd);
  return Kind;
}

// Splits a script's first line (after "#!") the way the kernel does: the
// interpreter, then the rest of the line, blanks trimmed, as one optional
// argument. A carriage return at the end (a script saved on Windows) is not
// part of either.
static std::vector<std::string> InterpreterOf(std::string Line) {
  while (!Line.empty() && (Line.back() == '\r' || Line.back() == ' ' || Line.back() == '\t')) Line.pop_back();
  const size_t Start = Line.find_first_not_of(" \t");
  if (Start == std::string::npos) return {};
  const size_t End = Line.find_first_of(" \t", Start);
  std::vector<std::string> Words{Line.substr(Start, End == std::string::npos ? std::string::npos : End - Start)};
  if (End != std::string::npos) {
    const size_t Arg = Line.find_first_not_of(" \t", End);
    if (Arg != std::string::npos) Words.push_back(Line.substr(Arg));
  }
  return Words;
}

static bool OnNoExecMount(const std::string& Path) {
  struct statvfs Fs {};
  return ::statvfs(Path.c_str(), &Fs) == 0 && (Fs.f_flag & ST_NOEXEC) != 0;
}

std::string FindOnPath(const std::string& Program) {
  const char* Env = std::getenv("PATH");
  const std::string List = Env ? Env : "/usr/local/bin:/usr/bin:/bin";
  size_t From = 0;
  while (From <= List.size()) {
    size_t To = List.find(':', From);
    if (To == std::string::npos) To = List.size();
    std::string Dir = List.substr(From, To - From);
    if (Dir.empty()) Dir = ".";
    const std::string Candidate = Dir + "/" + Program;
    if (IsExecutableFile(Candidate)) return Candidate;
    From = To + 1;
  }
  return {};
}

bool IsWindowsProgram(const std::string& Path) {
  std::string FirstLine;
  return KindOf(Path, FirstLine) == TFileKind::fkWindows;
}

std::string WineLoader() {
  // A user who keeps Wine elsewhere says so the way Wine's own tools read it.
  if (const char* Named = std::getenv("WINE"); Named && *Named) {
    const std::string W = Named;
    if (W.find('/') != std::string::npos) return IsExecutableFile(W) ? W : std::string();
    return FindOnPath(W);
  }
  // A system with the 64-bit loader alone has no "wine" front.
  for (const char* Name : {"wine", "wine64"})
    if (std::string W = FindOnPath(Name); !W.empty()) return W;
  return {};
}

static std::string ErrorText(int Code) { return std::strerror(Code); }

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
  OpenShown(File, Args, WorkDir, TShowState::ssNormal, "");
}

void TPosixProgramStarter::OpenShown(const std::string& File, const std::vector<std::string>& Args,
                                     const std::string& WorkDir, TShowState, const std::string& StandIn) {
  std::string Path = File;
  if (!Path.empty() && Path[0] != '/') {
    // The child changes folder before it starts the program.
    char Cwd[PATH_MAX];
    if (::getcwd(Cwd, sizeof Cwd)) Path = std::string(Cwd) + "/" + Path;
  }
  const std::string CannotStart = "Cannot start " + Path + ": ";
  std::string FirstLine;
  const TFileKind Kind = KindOf(Path, FirstLine);

  if (Kind == TFileKind::fkWindows) {
    // Checked before the exec bit: a Windows program may carry one (a
    // medium's files often do) and still not run here by itself.
    if (const std::string Wine = WineLoader(); !Wine.empty()) {
      std::vector<std::string> WineArgs{Path};
      WineArgs.insert(WineArgs.end(), Args.begin(), Args.end());
      Spawn(Wine, false, WineArgs, WorkDir);
    } else if (!FindOnPath("xdg-open").empty()) {
      Spawn("xdg-open", true, {StandIn.empty() ? Path : StandIn}, WorkDir);
    } else {
      throw rtl::Exception(CannotStart +
                           "it is a Windows program, and neither Wine nor a desktop opener (xdg-open) is installed");
    }
    return;
  }

  if (Kind == TFileKind::fkScript && (!IsExecutableFile(Path) || OnNoExecMount(Path))) {
    // Reading the script is all its interpreter needs.
    std::vector<std::string> Command = InterpreterOf(FirstLine);
    if (Command.empty() || Command[0][0] != '/')
      throw rtl::Exception(CannotStart + "it is a script whose first line names no interpreter by its full path");
    if (!IsExecutableFile(Command[0]))
      throw rtl::Exception(CannotStart + "its interpreter " + Command[0] + " is not installed");
    const std::string Interpreter = Command[0];
    Command.erase(Command.begin());
    Command.push_back(Path);
    Command.insert(Command.end(), Args.begin(), Args.end());
    Spawn(Interpreter, false, Command, WorkDir);
    return;
  }

  if (Kind == TFileKind::fkElf) {
    if (!IsExecutableFile(Path)) {
      // A payload packed on Windows stores no modes, so its programs come
      // out without permission to run. The user's own copy is given it for
      // its owner, as the owner would do; a file of someone else's is not
      // changed.
      struct stat St {};
      if (::stat(Path.c_str(), &St) != 0) throw rtl::Exception(CannotStart + ErrorText(errno));
      if (St.st_uid != ::geteuid())
        throw rtl::Exception(CannotStart + "it has no permission to run and belongs to another user");
      if (::chmod(Path.c_str(), (St.st_mode & 07777) | S_IXUSR) != 0)
        throw rtl::Exception(CannotStart + "it has no permission to run, and it cannot be given one: " +
                             ErrorText(errno));
    }
    if (OnNoExecMount(Path))
      throw rtl::Exception(CannotStart + "its file system is mounted without permission to run programs (noexec)");
    Spawn(Path, false, Args, WorkDir);
    return;
  }

  if (IsExecutableFile(Path)) {
    Spawn(Path, false, Args, WorkDir);
  } else {
    // The opener takes one document; arguments have no meaning for it.
    Spawn("xdg-open", true, {Path}, WorkDir);
  }
}

} // namespace launcher
