// arvelo: the command-line extractor built on the same engine as the
// launcher, with the vocabulary of Info-ZIP's unzip: the same option
// letters, pattern rules and exit statuses where unzip has them, so that a
// user's habits and scripts carry over.
//
// Options may stand anywhere, before the command too, be bundled ("-oq")
// and take their value attached or as the next argument ("-dDIR", "-d DIR").
// "-x" takes every following argument up to the next option, as unzip's
// does (only one while the archive has not been named yet).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "archive/AbUnzper.h"
#include "rtl/FileSys.h"
#include "tools/ArveloCommands.h"
#include "tools/Console.h"

namespace {

constexpr const char* kToolVersion = "2.0";

constexpr const char* kHelp =
    "usage: arvelo COMMAND [OPTIONS] ARCHIVE[.zip] [PATTERN ...] [-x PATTERN ...]\n"
    "(options may also come before the command)\n"
    "\n"
    "commands:\n"
    "  list, l       list the items (short table; -v verbose, -1 names, -z comment)\n"
    "  extract, x    extract the items\n"
    "  test, t       check every item's data against its CRC-32\n"
    "  print, p      write the items' data to stdout, nothing else\n"
    "\n"
    "patterns: * (also across /), ?, [abc] [a-z] [!a-z]; case counts unless -C.\n"
    "A pattern that matches nothing is reported and ends with status 11.\n"
    "\n"
    "options:\n"
    "  -d DIR        extract into DIR (made when missing)\n"
    "  -o            overwrite existing files without asking\n"
    "  -n            never overwrite existing files\n"
    "                (otherwise asked on a terminal; without one, kept)\n"
    "  -j            junk paths: every file into DIR itself, no folders\n"
    "  -f            freshen: only files that exist and are older on disk\n"
    "  -u            update: like -f, and files not on disk yet\n"
    "  -x PATTERN..  exclude; may be given several times\n"
    "  -C            patterns ignore case\n"
    "  -P PASSWORD   password for encrypted items (also -p); otherwise asked\n"
    "                on the terminal when needed\n"
    "  -O CHARSET    charset of names made on DOS/Windows without UTF-8 marker\n"
    "  -I CHARSET    charset of names made on Unix and others (iconv names)\n"
    "  -v            list: verbose table (method, packed size, ratio, CRC)\n"
    "  -1            list: names only\n"
    "  -z            list: the archive comment only\n"
    "  -q, -qq       quiet: no per-file lines; quieter: no progress, no summary\n"
    "  -h, --help    this text\n"
    "  --version     the version\n"
    "\n"
    "exit status:\n"
    "   0 success                   1 warnings only (items skipped: unsupported\n"
    "   2 error in the archive        method, no password, existing file kept)\n"
    "     (bad CRC, damaged item,   3 the archive cannot be read\n"
    "     refused unsafe name)      9 archive not found\n"
    "  10 bad command line         11 no matching files\n"
    "  50 disk full                80 interrupted\n"
    "  81 nothing done: unsupported compression or encryption\n"
    "  82 nothing done: wrong password for every encrypted item\n";

int BadCommandLine(const std::string& why) {
  arvelo::Err("arvelo: " + why + "\n(arvelo --help lists the commands and options)\n");
  return arvelo::esBadCommandLine;
}

// The options that take a value (the rest of their argument or the next).
constexpr const char* kOptionsWithValue = "dpPOIx";

// Where the command stands: the first argument that is neither an option nor
// an option's value, so that "arvelo -P secret x a.zip" reads as
// "arvelo x -P secret a.zip". args.size() when there is none.
size_t CommandIndex(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") return i + 1;
    if (a.size() < 2 || a[0] != '-') return i;
    for (size_t k = 1; k < a.size(); ++k)
      if (std::strchr(kOptionsWithValue, a[k])) {
        if (k + 1 == a.size()) ++i;
        break;
      }
  }
  return args.size();
}

// The archive as unzip finds it: the name as given, or with ".zip" or
// ".ZIP" added when only that exists.
std::string ArchiveName(const std::string& given) {
  if (rtl::FileExists(given) || rtl::DirectoryExists(given)) return given;
  for (const char* ext : {".zip", ".ZIP"})
    if (rtl::FileExists(given + ext)) return given + ext;
  return given;
}

bool ParseCommand(const std::string& word, arvelo::TCommand& into) {
  using arvelo::TCommand;
  if (word == "list" || word == "l") into = TCommand::cmList;
  else if (word == "extract" || word == "x") into = TCommand::cmExtract;
  else if (word == "test" || word == "t") into = TCommand::cmTest;
  else if (word == "print" || word == "p") into = TCommand::cmPrint;
  else return false;
  return true;
}

} // namespace

int arvelo::Main(int argc, char** argv) {
  using namespace arvelo;

  std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& a : args) {
    if (a == "--") break;
    if (a == "-h" || a == "--help") {
      Out(kHelp);
      return esSuccess;
    }
    if (a == "--version") {
      Out(std::string("arvelo ") + kToolVersion + " (engine " + ab::TAbUnZipper().Version() + ")\n");
      return esSuccess;
    }
  }
  const size_t at = CommandIndex(args);
  if (at >= args.size()) return BadCommandLine("no command given");
  const auto command = args.begin() + static_cast<std::ptrdiff_t>(at);
  std::rotate(args.begin(), command, command + 1);  // first, the rest in their order
  Options opt;
  if (!ParseCommand(args[0], opt.command)) return BadCommandLine("unknown command: " + Printable(args[0]));
  const bool extract = opt.command == TCommand::cmExtract, list = opt.command == TCommand::cmList;

  std::vector<std::string> positional;
  bool optionsEnd = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnd || a.size() < 2 || a[0] != '-') {
      positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnd = true;
      continue;
    }
    if (a[1] == '-') return BadCommandLine("unknown option: " + Printable(a));
    for (size_t k = 1; k < a.size(); ++k) {
      const char c = a[k];
      const std::string name = std::string("-") + c;
      // The option's value: the rest of this argument or the next one.
      auto value = [&](std::string& into) {
        if (k + 1 < a.size()) {
          into = a.substr(k + 1);
        } else if (i + 1 < args.size()) {
          into = args[++i];
        } else {
          return false;
        }
        k = a.size();
        return true;
      };
      auto onlyFor = [&](bool applies, const char* command) {
        return applies ? 0 : BadCommandLine("option " + name + " applies only to " + command);
      };
      int bad = 0;
      switch (c) {
        case 'q': ++opt.quiet; break;
        case 'C': opt.ignoreCase = true; break;
        case 'v': bad = onlyFor(list, "list"); opt.listStyle = TListStyle::lsVerbose; break;
        case '1': bad = onlyFor(list, "list"); opt.listStyle = TListStyle::lsNamesOnly; break;
        case 'z': bad = onlyFor(list, "list"); opt.listStyle = TListStyle::lsCommentOnly; break;
        case 'o': bad = onlyFor(extract, "extract"); opt.overwrite = TOverwrite::owAlways; break;
        case 'n': bad = onlyFor(extract, "extract"); opt.overwrite = TOverwrite::owNever; break;
        case 'j': bad = onlyFor(extract, "extract"); opt.junkPaths = true; break;
        case 'f': bad = onlyFor(extract, "extract"); opt.timeRule = TTimeRule::trFreshen; break;
        case 'u': bad = onlyFor(extract, "extract"); opt.timeRule = TTimeRule::trUpdate; break;
        case 'd':
          if ((bad = onlyFor(extract, "extract"))) break;
          if (!value(opt.directory)) return BadCommandLine("option -d needs a folder");
          break;
        case 'p':
        case 'P':
          if (!value(opt.password)) return BadCommandLine("option " + name + " needs a password");
          opt.havePassword = true;
          break;
        case 'O':
          if (!value(opt.dosCharset)) return BadCommandLine("option -O needs a charset");
          break;
        case 'I':
          if (!value(opt.unixCharset)) return BadCommandLine("option -I needs a charset");
          break;
        case 'x': {
          std::string first;
          if (!value(first)) return BadCommandLine("option -x needs a pattern");
          opt.exclusions.push_back(first);
          if (positional.empty()) break;
          while (i + 1 < args.size() && (args[i + 1].empty() || args[i + 1][0] != '-'))
            opt.exclusions.push_back(args[++i]);
          break;
        }
        default: return BadCommandLine("unknown option: " + Printable(name));
      }
      if (bad) return bad;
    }
  }
  if (positional.empty()) return BadCommandLine("no archive given");
  if (opt.havePassword && opt.password.empty()) return BadCommandLine("the password is empty");
  opt.archive = ArchiveName(positional[0]);
  opt.patterns.assign(positional.begin() + 1, positional.end());
  try {
    return list ? List(opt) : ExtractOrTest(opt);
  } catch (const std::exception& e) {
    // Nothing the commands expect gets here; the screen is left clean all
    // the same.
    HideStatus();
    Err(std::string("arvelo: ") + Printable(e.what()) + "\n");
    return esArchiveError;
  }
}
