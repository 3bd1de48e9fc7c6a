// arvelo: the command-line extractor built on the same engine as the
// launcher, with the vocabulary of Info-ZIP's unzip: the same option
// letters, pattern rules and exit statuses where unzip has them, so that a
// user's habits and scripts carry over.
//
// Options may stand anywhere, before the command too, be bundled ("-oq")
// and take their value attached or as the next argument ("-dDIR", "-d DIR").
// "-x" takes every following argument up to the next option (only one
// while the archive has not been named yet).
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
    "(options may also come before the command; unzip's -l, -t, -p, -v and -Z\n"
    "as the first argument name list, test, print, verbose list, zipinfo list)\n"
    "\n"
    "commands:\n"
    "  list, l       list the items (short table; -v verbose, -Z zipinfo's,\n"
    "                -1 names, -z comment, --json for programs)\n"
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
    "  -x PATTERN..  exclude, up to the next option; may be given several times\n"
    "  -C            patterns ignore case\n"
    "  -P PASSWORD   password for encrypted items (also -p after the command);\n"
    "                otherwise asked on the terminal when needed\n"
    "  -O CHARSET    charset of names made on DOS/Windows without UTF-8 marker\n"
    "  -I CHARSET    charset of names made on Unix and others (iconv names)\n"
    "  -v            list: verbose table (method, packed size, ratio, CRC)\n"
    "  -1            list: names only\n"
    "  -z            list: the archive comment only\n"
    "  -Z            list: zipinfo's table (mode, system, method per item)\n"
    "  --json        list: one JSON object per item (README: its fields)\n"
    "  -T N          extract or test with N threads, 1 to 16 (default: one per\n"
    "                usable processor; -T 1 one item at a time)\n"
    "  -q, -qq       quiet: no per-file lines; quieter: no progress, no summary\n"
    "                (list: -q no archive name, -qq no heads and totals)\n"
    "  -h, --help    this text\n"
    "  --version     the version\n"
    "\n"
    "exit status (unzip's):\n"
    "   0 success                   1 warnings only (items skipped: no password,\n"
    "   2 error in the archive        existing file kept)\n"
    "     (bad CRC, damaged item,   3 the archive cannot be read\n"
    "     refused unsafe name)      5 no terminal to ask for a password\n"
    "   9 archive not found        10 bad command line\n"
    "  11 no matching files        50 disk full\n"
    "  80 interrupted\n"
    "  81 items skipped: unsupported compression or encryption\n"
    "  82 nothing done: wrong password for every encrypted item\n";

int BadCommandLine(const std::string& why) {
  arvelo::Err("arvelo: " + why + "\n(arvelo --help lists the commands and options)\n");
  return arvelo::esBadCommandLine;
}

// The options that take a value (the rest of their argument or the next).
constexpr const char* kOptionsWithValue = "dpPOITx";

// Where the command stands: the first argument that is neither an option nor
// an option's value, so that "arvelo -P secret x a.zip" reads as
// "arvelo x -P secret a.zip". args.size() when there is none. PrintLetter
// tells whether a "-p" stood before it: unzip's print, not a password.
size_t CommandIndex(const std::vector<std::string>& args, bool& PrintLetter) {
  PrintLetter = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") return i + 1;
    if (a.size() < 2 || a[0] != '-') return i;
    for (size_t k = 1; k < a.size(); ++k)
      if (std::strchr(kOptionsWithValue, a[k])) {
        PrintLetter = PrintLetter || a[k] == 'p';
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

// The arguments after the command, into Options: options, bundled or not,
// and the archive with its patterns.
class TArgumentParser {
public:
  TArgumentParser(const std::vector<std::string>& Args, arvelo::Options& Opt)
      : FArgs(Args), FOpt(Opt), FExtract(Opt.command == arvelo::TCommand::cmExtract),
        FList(Opt.command == arvelo::TCommand::cmList) {}

  // esSuccess, or the status of a bad command line (already reported).
  int Parse() {
    bool optionsEnd = false;
    for (FArg = 1; FArg < FArgs.size(); ++FArg) {
      const std::string& a = FArgs[FArg];
      if (optionsEnd || a.size() < 2 || a[0] != '-') {
        FPositional.push_back(a);
        continue;
      }
      if (a == "--") {
        optionsEnd = true;
        continue;
      }
      if (a == "--json") {
        FOpt.listStyle = arvelo::TListStyle::lsJson;
        if (int bad = OnlyFor(FList, "list", a)) return bad;
        continue;
      }
      if (a[1] == '-') return BadCommandLine("unknown option: " + arvelo::Printable(a));
      // Letter by letter; a value taken ends the bundle (Value moves FLetter
      // past it), also when it came from the arguments after this one.
      for (FLetter = 1; FLetter < a.size(); ++FLetter)
        if (int bad = Option(a[FLetter])) return bad;
    }
    if (FPositional.empty()) return BadCommandLine("no archive given");
    if (FOpt.havePassword && FOpt.password.empty()) return BadCommandLine("the password is empty");
    FOpt.archive = ArchiveName(FPositional[0]);
    FOpt.patterns.assign(FPositional.begin() + 1, FPositional.end());
    return arvelo::esSuccess;
  }

private:
  // One option letter; its value, if it takes one, is the rest of the
  // argument or the next one.
  int Option(char c) {
    using namespace arvelo;
    const std::string name = std::string("-") + c;
    switch (c) {
      case 'q': ++FOpt.quiet; return 0;
      case 'C': FOpt.ignoreCase = true; return 0;
      case 'v': FOpt.listStyle = TListStyle::lsVerbose; return OnlyFor(FList, "list", name);
      case '1': FOpt.listStyle = TListStyle::lsNamesOnly; return OnlyFor(FList, "list", name);
      case 'z': FOpt.listStyle = TListStyle::lsCommentOnly; return OnlyFor(FList, "list", name);
      case 'Z': FOpt.listStyle = TListStyle::lsZipInfo; return OnlyFor(FList, "list", name);
      case 'o': FOpt.overwrite = TOverwrite::owAlways; return OnlyFor(FExtract, "extract", name);
      case 'n': FOpt.overwrite = TOverwrite::owNever; return OnlyFor(FExtract, "extract", name);
      case 'j': FOpt.junkPaths = true; return OnlyFor(FExtract, "extract", name);
      case 'f': FOpt.timeRule = TTimeRule::trFreshen; return OnlyFor(FExtract, "extract", name);
      case 'u': FOpt.timeRule = TTimeRule::trUpdate; return OnlyFor(FExtract, "extract", name);
      case 'd':
        if (int bad = OnlyFor(FExtract, "extract", name)) return bad;
        return Value(FOpt.directory) ? 0 : BadCommandLine("option -d needs a folder");
      case 'p':
      case 'P':
        if (!Value(FOpt.password)) return BadCommandLine("option " + name + " needs a password");
        FOpt.havePassword = true;
        return 0;
      case 'O': return Value(FOpt.dosCharset) ? 0 : BadCommandLine("option -O needs a charset");
      case 'I': return Value(FOpt.unixCharset) ? 0 : BadCommandLine("option -I needs a charset");
      case 'T': return Workers();
      case 'x': return Exclusions();
      default: return BadCommandLine("unknown option: " + Printable(name));
    }
  }

  // The option's value: the rest of this argument or the next one.
  bool Value(std::string& into) {
    const std::string& a = FArgs[FArg];
    if (FLetter + 1 < a.size()) {
      into = a.substr(FLetter + 1);
    } else if (FArg + 1 < FArgs.size()) {
      into = FArgs[FArg + 1];
      ++FArg;
    } else {
      return false;
    }
    FLetter = a.size();
    return true;
  }

  // -T N: a whole number from 1 to kMaxWorkers.
  int Workers() {
    const bool applies = FOpt.command == arvelo::TCommand::cmExtract || FOpt.command == arvelo::TCommand::cmTest;
    if (!applies) return BadCommandLine("option -T applies only to extract and test");
    std::string value;
    if (!Value(value)) return BadCommandLine("option -T needs a number of threads");
    int n = 0;
    for (char c : value) {
      if (c < '0' || c > '9' || n > arvelo::kMaxWorkers) return BadThreads(value);
      n = n * 10 + (c - '0');
    }
    if (n < 1 || n > arvelo::kMaxWorkers) return BadThreads(value);
    FOpt.workers = n;
    return 0;
  }
  static int BadThreads(const std::string& value) {
    return BadCommandLine("option -T takes a number from 1 to " + std::to_string(arvelo::kMaxWorkers) + ", not " +
                          arvelo::Printable(value));
  }

  int OnlyFor(bool applies, const char* command, const std::string& name) {
    return applies ? 0 : BadCommandLine("option " + name + " applies only to " + command);
  }

  // -x: a pattern attached to it, then the arguments after it up to the
  // next option (only one while the archive has not been named yet). An
  // option right after it ends an empty list, as with unzip.
  int Exclusions() {
    const std::string& a = FArgs[FArg];
    if (FLetter + 1 < a.size()) {
      FOpt.exclusions.push_back(a.substr(FLetter + 1));
      FLetter = a.size();
      if (FPositional.empty()) return 0;
    } else if (FArg + 1 == FArgs.size()) {
      return BadCommandLine("option -x needs a pattern");
    }
    const size_t most = FPositional.empty() ? 1 : FArgs.size();
    for (size_t taken = 0; taken < most && FArg + 1 < FArgs.size() && !IsOption(FArgs[FArg + 1]); ++taken)
      FOpt.exclusions.push_back(FArgs[++FArg]);
    return 0;
  }

  // An option, or "--": "-" alone is a name.
  static bool IsOption(const std::string& Arg) { return Arg.size() > 1 && Arg[0] == '-'; }

  const std::vector<std::string>& FArgs;
  arvelo::Options& FOpt;
  const bool FExtract, FList;
  std::vector<std::string> FPositional;
  size_t FArg = 0, FLetter = 0;
};

// unzip's way of naming the command: "-l", "-t", "-p", "-v" or "-Z" as the
// first argument, with more option letters bundled after it if any
// ("-tq"). Rewritten as this tool's command and options; the rest of the
// arguments stay where they are. After the command "-p" is a password.
void UnzipCommandLetter(std::vector<std::string>& args) {
  if (args.empty() || args[0].size() < 2 || args[0][0] != '-') return;
  static const struct {
    char letter;
    const char* command;
    const char* option;  // the option the letter also stands for, if any
  } kLetters[] = {{'l', "l", ""}, {'t', "t", ""}, {'p', "p", ""}, {'v', "l", "-v"}, {'Z', "l", "-Z"}};
  for (const auto& l : kLetters) {
    if (args[0][1] != l.letter) continue;
    const std::string rest = args[0].substr(2);
    args[0] = l.command;
    std::vector<std::string> options;
    if (*l.option) options.emplace_back(l.option);
    if (!rest.empty()) options.push_back("-" + rest);
    args.insert(args.begin() + 1, options.begin(), options.end());
    return;
  }
}

// --help and --version, wherever they stand before "--"; -1 when neither.
int InfoRequest(const std::vector<std::string>& args) {
  for (const auto& a : args) {
    if (a == "--") break;
    if (a == "-h" || a == "-hh" || a == "--help") {
      arvelo::Out(kHelp);
      return arvelo::esSuccess;
    }
    if (a == "--version" || (args.size() == 1 && a == "-v")) {  // unzip -v alone: the version
      arvelo::Out(std::string("arvelo ") + kToolVersion + " (engine " + ab::TAbUnZipper().Version() + ")\n");
      return arvelo::esSuccess;
    }
  }
  return -1;
}

} // namespace

int arvelo::Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (int status = InfoRequest(args); status >= 0) return status;
  UnzipCommandLetter(args);
  bool printLetter;
  const size_t at = CommandIndex(args, printLetter);
  if (printLetter) return BadCommandLine("-p before the command: -P gives the password (-p first prints, as unzip)");
  if (at >= args.size()) return BadCommandLine("no command given");
  const auto command = args.begin() + static_cast<std::ptrdiff_t>(at);
  std::rotate(args.begin(), command, command + 1);  // first, the rest in their order
  Options opt;
  if (!ParseCommand(args[0], opt.command)) return BadCommandLine("unknown command: " + Printable(args[0]));
  if (int bad = TArgumentParser(args, opt).Parse()) return bad;
  try {
    return opt.command == TCommand::cmList ? List(opt) : ExtractOrTest(opt);
  } catch (const std::exception& e) {
    // Nothing the commands expect gets here; the screen is left clean all
    // the same.
    HideStatus();
    Err(std::string("arvelo: ") + Printable(e.what()) + "\n");
    return esArchiveError;
  }
}
