// The system services the engine tests use that differ between POSIX and
// Windows: a fresh scratch folder, the exit status of a command run through
// popen, and setting the environment.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <direct.h>
#include <random>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testsys {

// Replaces the trailing "XXXXXX" of Template by a name that did not exist
// and creates that folder; false when none could be made.
inline bool MakeTempFolder(char* Template) {
#ifdef _WIN32
  std::string t = Template;
  if (t.size() < 6) return false;
  static std::mt19937 gen{std::random_device{}()};
  static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (size_t i = t.size() - 6; i < t.size(); ++i) t[i] = chars[gen() % 36];
    if (_mkdir(t.c_str()) == 0) {
      t.copy(Template, t.size());
      return true;
    }
  }
  return false;
#else
  return mkdtemp(Template) != nullptr;
#endif
}

// The exit code of a command whose pclose result is Status, -1 when it did
// not end normally.
inline int ExitCode(int Status) {
#ifdef _WIN32
  return Status;
#else
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
#endif
}

inline void SetEnv(const char* Name, const std::string& Value) {
#ifdef _WIN32
  _putenv_s(Name, Value.c_str());
#else
  setenv(Name, Value.c_str(), 1);
#endif
}

inline void UnsetEnv(const char* Name) {
#ifdef _WIN32
  _putenv_s(Name, "");
#else
  unsetenv(Name);
#endif
}

} // namespace testsys
