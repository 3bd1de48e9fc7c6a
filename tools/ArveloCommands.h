// The commands of the arvelo tool, kept apart from argument parsing so that
// each reads as what it does, and what they share: the options, the exit
// statuses, and the choice of items by pattern.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ab {
class TAbUnZipper;
class TAbZipArchive;
class TAbZipItem;
} // namespace ab

namespace arvelo {

// Exit statuses, with the meanings unzip gives the same numbers.
enum TExitStatus : int {
  esSuccess = 0,
  esWarning = 1,             // items skipped: unsupported method, no password, kept file
  esArchiveError = 2,        // a damaged item, a bad CRC, a refused unsafe name
  esArchiveUnreadable = 3,   // not an archive this tool reads, or its directory is broken
  esNoPasswordTerminal = 5,  // a password was needed and there was no terminal to ask for it
  esArchiveNotFound = 9,
  esBadCommandLine = 10,
  esNoMatch = 11,            // a pattern matched nothing
  esDiskFull = 50,
  esUnexpectedEnd = 51,      // the archive is cut short (read from its local headers)
  esInterrupted = 80,
  esUnsupported = 81,        // items skipped for an unsupported method, and nothing worse
  esWrongPassword = 82,      // nothing processed: every failure a wrong password
};

// Threads an extraction or test may use (-T), also by default on a machine
// with more cores: past this many, the disk, not decoding, sets the pace,
// and each thread holds its reader and decoders.
constexpr int kMaxWorkers = 16;

enum class TCommand { cmList, cmExtract, cmTest, cmPrint };
enum class TListStyle { lsShort, lsVerbose, lsNamesOnly, lsCommentOnly, lsZipInfo, lsJson };
enum class TOverwrite { owAsk, owAlways, owNever };
enum class TTimeRule { trAll, trFreshen, trUpdate };

struct Options {
  TCommand command = TCommand::cmList;
  std::string archive;
  std::vector<std::string> patterns;
  std::vector<std::string> exclusions;
  bool ignoreCase = false;             // -C
  std::string password;
  bool havePassword = false;
  std::string directory;               // -d
  TOverwrite overwrite = TOverwrite::owAsk;
  TTimeRule timeRule = TTimeRule::trAll;
  bool junkPaths = false;              // -j
  std::string dosCharset;              // -O
  std::string unixCharset;             // -I
  TListStyle listStyle = TListStyle::lsShort;
  int quiet = 0;                       // -q, -qq
  int workers = 0;                     // -T; 0: one per usable processor
};

// Unzip's wildcards: "*" any run of characters, "/" included; "?" one
// character; "[...]" one of a set, with ranges and "!" or "^" to negate;
// "\" takes the next character literally. Case counts unless IgnoreCase
// (ASCII letters).
bool MatchUnzipPattern(const std::string& Name, const std::string& Pattern, bool IgnoreCase);

// The items chosen by the command line's patterns and exclusions, and which
// patterns chose nothing.
class TItemSelection {
public:
  explicit TItemSelection(const Options& Opt);
  bool Selects(const ab::TAbZipItem& Item);
  // Reports every pattern and exclusion that matched nothing; true when a
  // pattern did (an exclusion that excludes nothing is only mentioned).
  bool ReportUnmatched() const;

private:
  const Options& FOpt;
  std::vector<bool> FPatternUsed, FExclusionUsed;
};

// Opens the archive for a command and re-reads the names of items without
// a UTF-8 marker in the charsets given by -O and -I. On failure reports it
// and returns the exit status; esSuccess otherwise.
int OpenArchive(const Options& Opt, ab::TAbUnZipper& Unzipper);
// The same file opened again for another thread, nothing reported: the
// archive File (the one Unzipper already read), with the names decoded as
// for it. False when it cannot be read or no longer holds the same items.
bool OpenArchiveAgain(const Options& Opt, const std::string& File, ab::TAbZipArchive& Opened,
                      ab::TAbUnZipper& Unzipper);

// What a file the engine could not open looks like, in plain words with the
// offset that tells (ArchiveDiagnosis.cpp); empty when there is nothing to
// add to the engine's own message. DescribeEmpty: the same for an archive
// without items.
std::string DescribeUnreadable(const std::string& Path);
std::string DescribeEmpty(const std::string& Path);
// Standard input ("-") and pipes are read into a temporary file first
// (removed at the end), whose name SpoolArchive gives; it returns an exit
// status, esSuccess when the copy is complete.
bool ArchiveNeedsSpooling(const std::string& Name);
int SpoolArchive(const std::string& Name, std::string& Spooled);
// One message when the archive's items were read from their local headers,
// and the exit status such an archive gives (unzip's: 51 when it is cut
// short, 2 when its directory is damaged), folded into a command's status.
void ReportLocalHeaderReading(const std::string& Shown, const std::string& File, const ab::TAbZipArchive& Zip);
int FoldArchiveStatus(int Status, const ab::TAbZipArchive& Zip);

// An item's name as it is shown: decoded as for extraction, made printable;
// bytes of a UTF-8-marked name that are not UTF-8 show as they are stored.
std::string ShownName(const ab::TAbZipItem& Item);

// The whole program on UTF-8 arguments; each system's entry point
// (MainPosix.cpp, MainWindows.cpp) hands them over.
int Main(int argc, char** argv);
int List(const Options& opt);
int ExtractOrTest(const Options& opt);

} // namespace arvelo
