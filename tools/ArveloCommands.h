// The commands of the arvelo tool, kept apart from argument parsing so that
// each reads as what it does.
#pragma once

#include <string>
#include <vector>

namespace arvelo {

struct Options {
  std::string command;  // list, extract, test
  std::string archive;
  std::vector<std::string> masks;
  std::string password;
  bool havePassword = false;
  std::string directory;
  std::string exclude;
  bool namesOnly = false;
  bool quiet = false;
};

// The whole program on UTF-8 arguments; each system's entry point
// (MainPosix.cpp, MainWindows.cpp) hands them over.
int Main(int argc, char** argv);
int List(const Options& opt);
int ExtractOrTest(const Options& opt);

} // namespace arvelo
