// arvelo: the command-line extractor built on the same engine as the
// launcher.
//
//   arvelo list [-1] ARCHIVE
//   arvelo extract [-p PASSWORD] [-d DIR] [-x EXCLUDE] [-q] ARCHIVE [MASK ...]
//   arvelo test [-p PASSWORD] [-q] ARCHIVE [MASK ...]
//
// Exit codes: 0 every selected item succeeded, 1 some item failed, 2 the
// archive could not be opened or the command line is wrong.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rtl/Console.h"
#include "tools/ArveloCommands.h"

namespace {

void Usage() {
  rtl::ConsolePrintf(stderr,
               "usage: arvelo list [-1] ARCHIVE\n"
               "       arvelo extract [-p PASSWORD] [-d DIR] [-x EXCLUDE] [-q] ARCHIVE [MASK ...]\n"
               "       arvelo test [-p PASSWORD] [-q] ARCHIVE [MASK ...]\n");
}

} // namespace

int arvelo::Main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  arvelo::Options opt;
  opt.command = argv[1];
  if (opt.command != "list" && opt.command != "extract" && opt.command != "test") {
    Usage();
    return 2;
  }
  std::vector<std::string> rest;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    bool ok = true;
    if (a == "--") {
      for (++i; i < argc; ++i) rest.push_back(argv[i]);
      break;
    } else if (a == "-1" && opt.command == "list") {
      opt.namesOnly = true;
    } else if (a == "-q" && opt.command != "list") {
      opt.quiet = true;
    } else if (a == "-p" && opt.command != "list") {
      ok = value(opt.password);
      opt.havePassword = ok;
    } else if (a == "-d" && opt.command == "extract") {
      ok = value(opt.directory);
    } else if (a == "-x" && opt.command == "extract") {
      ok = value(opt.exclude);
    } else if (a.size() > 1 && a[0] == '-') {
      ok = false;
    } else {
      rest.push_back(a);
    }
    if (!ok) {
      Usage();
      return 2;
    }
  }
  if (rest.empty()) {
    Usage();
    return 2;
  }
  opt.archive = rest[0];
  opt.masks.assign(rest.begin() + 1, rest.end());
  if (opt.command == "list") return arvelo::List(opt);
  return arvelo::ExtractOrTest(opt);
}
