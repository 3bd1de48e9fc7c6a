// Helpers of the launcher tests: sandbox folders, files, environment.
#pragma once

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace testutil {

namespace fs = std::filesystem;

// A fresh folder under the build's temporary area, removed at the end.
class TSandbox {
public:
  TSandbox() {
    std::string Tmpl = (fs::temp_directory_path() / "arvelo-launcher-XXXXXX").string();
    if (!::mkdtemp(Tmpl.data())) std::abort();
    FPath = Tmpl;
  }
  ~TSandbox() {
    std::error_code Ec;
    // Permissions a test took away must not keep its sandbox alive.
    for (auto It = fs::recursive_directory_iterator(FPath, fs::directory_options::skip_permission_denied, Ec);
         It != fs::recursive_directory_iterator(); It.increment(Ec))
      if (!It->is_symlink()) ::chmod(It->path().c_str(), 0700);
    fs::remove_all(FPath, Ec);
  }
  TSandbox(const TSandbox&) = delete;
  TSandbox& operator=(const TSandbox&) = delete;
  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& Rel) const { return FPath + "/" + Rel; }

private:
  std::string FPath;
};

inline void WriteFile(const std::string& Path, const std::string& Bytes) {
  fs::create_directories(fs::path(Path).parent_path());
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Bytes;
}

inline std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::stringstream S;
  S << In.rdbuf();
  return S.str();
}

inline bool Exists(const std::string& Path) {
  struct stat St {};
  return ::lstat(Path.c_str(), &St) == 0;
}

// Sets an environment variable for one scope and restores it afterwards.
class TEnv {
public:
  TEnv(const char* Name, const std::optional<std::string>& Value) : FName(Name) {
    if (const char* Old = std::getenv(Name)) FOld = Old;
    if (Value) ::setenv(Name, Value->c_str(), 1);
    else ::unsetenv(Name);
  }
  ~TEnv() {
    if (FOld) ::setenv(FName.c_str(), FOld->c_str(), 1);
    else ::unsetenv(FName.c_str());
  }

private:
  std::string FName;
  std::optional<std::string> FOld;
};

// Runs a shell command; returns its exit status.
inline int Shell(const std::string& Command) {
  const int R = std::system(Command.c_str());
  return WIFEXITED(R) ? WEXITSTATUS(R) : -1;
}

inline std::string Quote(const std::string& S) {
  std::string Out = "'";
  for (char C : S) {
    if (C == '\'') Out += "'\\''";
    else Out.push_back(C);
  }
  return Out + "'";
}

} // namespace testutil
