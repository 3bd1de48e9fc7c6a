// DesktopEntryPosix: shortcuts as freedesktop desktop entries, and the XDG
// user folders they are saved in.
#include "launcher/DesktopEntryPosix.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "launcher/Parameters.h"
#include "launcher/ProgramStartPosix.h"

namespace launcher {

std::string XdgUserDir(const std::string& Home, const std::string& Name, const std::string& Fallback) {
  const char* Cfg = std::getenv("XDG_CONFIG_HOME");
  const std::string ConfigHome = Cfg && *Cfg == '/' ? Cfg : Home + "/.config";
  std::ifstream In(ConfigHome + "/user-dirs.dirs");
  const std::string Key = "XDG_" + Name + "_DIR=";
  for (std::string Line; std::getline(In, Line);) {
    size_t B = Line.find_first_not_of(" \t");
    if (B == std::string::npos || Line.compare(B, Key.size(), Key) != 0) continue;
    std::string V = Line.substr(B + Key.size());
    while (!V.empty() && (V.back() == ' ' || V.back() == '\t' || V.back() == '\r')) V.pop_back();
    if (V.size() < 2 || V.front() != '"' || V.back() != '"') continue;
    V = V.substr(1, V.size() - 2);
    // The format allows a path below $HOME or an absolute path, nothing else.
    if (V.rfind("$HOME", 0) == 0 && (V.size() == 5 || V[5] == '/')) return Home + V.substr(5);
    if (!V.empty() && V[0] == '/') return V;
  }
  return Home + "/" + Fallback;
}

// ===========================================================================
// Desktop entries
// ===========================================================================

// A string value: backslash and control characters escaped.
static std::string EscapeValue(const std::string& S) {
  std::string Out;
  for (char C : S) {
    switch (C) {
      case '\\': Out += "\\\\"; break;
      case '\n': Out += "\\n"; break;
      case '\r': Out += "\\r"; break;
      case '\t': Out += "\\t"; break;
      default: Out.push_back(C);
    }
  }
  return Out;
}

// One argument of Exec: quoted when it holds a reserved character, with the
// characters that stay special inside quotes escaped; a literal "%" is
// doubled, as field codes start with it.
static std::string ExecArgument(const std::string& A) {
  static const std::string Reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string Body;
  for (char C : A) {
    if (C == '%') Body += "%%";
    else Body.push_back(C);
  }
  if (!A.empty() && A.find_first_of(Reserved) == std::string::npos) return Body;
  std::string Out = "\"";
  for (char C : Body) {
    if (C == '"' || C == '`' || C == '$' || C == '\\') Out.push_back('\\');
    Out.push_back(C);
  }
  return Out + "\"";
}

std::string DesktopEntryText(const TShortcut& Link, const std::string& Name) {
  // The entry starts what the launcher itself would start (ProgramStartPosix):
  // a Windows program through Wine when it is installed, else the document
  // it exists to show; a program directly; anything else through the
  // desktop's opener.
  struct stat St {};
  const bool Executable = ::stat(Link.Target.c_str(), &St) == 0 && S_ISREG(St.st_mode) &&
                          ::access(Link.Target.c_str(), X_OK) == 0;
  std::string Exec;
  bool TakesArguments = true;
  if (IsWindowsProgram(Link.Target)) {
    if (const std::string Wine = WineLoader(); !Wine.empty()) {
      Exec = ExecArgument(Wine) + " " + ExecArgument(Link.Target);
    } else {
      Exec = "xdg-open " + ExecArgument(Link.StandIn.empty() ? Link.Target : Link.StandIn);
      TakesArguments = false;
    }
  } else if (Executable) {
    Exec = ExecArgument(Link.Target);
  } else {
    Exec = "xdg-open " + ExecArgument(Link.Target);
    TakesArguments = false;
  }
  if (TakesArguments)
    for (const auto& A : SplitParameters(Link.Arguments)) Exec += " " + ExecArgument(A);
  std::string T = "[Desktop Entry]\n";
  T += "Type=Application\n";
  T += "Version=1.0\n";
  T += "Name=" + EscapeValue(Name) + "\n";
  if (!Link.Description.empty()) T += "Comment=" + EscapeValue(Link.Description) + "\n";
  T += "Exec=" + EscapeValue(Exec) + "\n";
  if (!Link.WorkDir.empty()) T += "Path=" + EscapeValue(Link.WorkDir) + "\n";
  T += "Terminal=false\n";
  return T;
}

void TDesktopEntryWriter::Save(const TShortcut& Link, const std::string& LinkPath, uint8_t Kind) {
  std::string Name = LinkPath.substr(LinkPath.rfind('/') + 1);
  if (Name.size() > Extension().size()) Name.resize(Name.size() - Extension().size());
  const std::string Text = DesktopEntryText(Link, Name);
  // Written beside the final name and renamed over it: an existing entry is
  // replaced whole, and a link found at the path is replaced, not followed.
  const std::string Temp = LinkPath + ".tmp-" + std::to_string(::getpid());
  const mode_t Mode = Kind == lkDesktop ? 0755 : 0644;
  const int Fd = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, Mode);
  if (Fd < 0) return;
  bool Ok = ::write(Fd, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
  Ok = ::fchmod(Fd, Mode) == 0 && Ok;
  Ok = ::close(Fd) == 0 && Ok;
  if (!Ok || ::rename(Temp.c_str(), LinkPath.c_str()) != 0) ::unlink(Temp.c_str());
}

} // namespace launcher
