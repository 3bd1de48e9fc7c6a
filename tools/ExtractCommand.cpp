// arvelo extract / test / print: the unzipper component with the launcher's
// options (create folders, restore paths), driven item by item so that this
// tool decides what to select (unzip's patterns), what to do about files
// already on disk, and how each outcome counts in the exit status.
//
// The engine reports through its events: a failed item (error class and
// code), a password it needs, a file it is about to overwrite, and item
// progress. Each failure is classified once (TFailure) and the exit status
// is derived from the counts at the end, with unzip's order of precedence:
// an interrupt, a full disk, an error in the archive, then "nothing could be
// processed" for wrong passwords or unsupported methods, unmatched patterns,
// warnings.
//
// On a terminal one status line shows the whole selection's progress by
// bytes and the current item; it is taken off the screen before every
// message and at the end (Console). An interrupt is noticed at the next
// progress step or item boundary; the engine then removes the partial file
// and the command ends with esInterrupted.
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/AbExcept.h"
#include "archive/AbUnzPrc.h"
#include "archive/AbUnzper.h"
#include "archive/AbZipTyp.h"
#include "rtl/FileSys.h"
#include "rtl/Text.h"
#include "tools/ArveloCommands.h"
#include "tools/Console.h"
#include "tools/Terminal.h"

namespace arvelo {

namespace {

// The engine's error codes this tool tells apart.
const int kBadCrc = ab::EAbZipBadCRC().ErrorCode;
const int kUnsupportedMethod = ab::EAbZipInvalidMethod().ErrorCode;
const int kNewerVersion = ab::EAbZipVersion().ErrorCode;
const int kWrongPassword = ab::EAbZipInvalidPassword().ErrorCode;
const int kUserAbort = ab::EAbUserAbort().ErrorCode;

// How many failed names the summary line lists before it cuts the list.
constexpr size_t kSummaryNames = 10;

enum class TFailure { fUnsupported, fNoPassword, fWrongPassword, fError, fDiskFull, fInterrupted };

struct TTally {
  int done = 0;            // files written, tested or printed
  int processed = 0;       // the same and folders: "nothing could be done" needs none of either
  int64_t bytes = 0;
  int kept = 0;            // existing files left alone for want of an answer
  int unsupported = 0, noPassword = 0, wrongPassword = 0, errors = 0, diskFull = 0;
  bool interrupted = false;
  std::vector<std::string> failedNames;

  int Failed() const { return unsupported + noPassword + wrongPassword + errors + diskFull; }

  int Status(bool unmatched) const {
    if (interrupted) return esInterrupted;
    if (diskFull) return esDiskFull;
    if (errors) return esArchiveError;
    if (processed == 0 && wrongPassword && !unsupported && !noPassword) return esWrongPassword;
    if (processed == 0 && unsupported && !wrongPassword && !noPassword) return esUnsupported;
    if (unmatched) return esNoMatch;
    if (Failed() || kept) return esWarning;
    return esSuccess;
  }
};

// 1.5 MiB style sizes for the status line.
std::string HumanBytes(int64_t n) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(n);
  int u = 0;
  while (v >= 1024 && u < 4) v /= 1024, ++u;
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", v, kUnits[u]);
  return buf;
}

// The status line: "37% 12.0 MiB/32.5 MiB  80% name". The name gives way
// first when the terminal is narrow: its head is replaced by "...".
class TProgressLine {
public:
  explicit TProgressLine(int64_t total) : FTotal(total) {}
  void StartItem(const std::string& name, int64_t size) {
    FName = name;
    FSize = size;
    FPercent = 0;
    Draw();
  }
  void ItemPercent(int pct) {
    FPercent = pct;
    Draw();
  }
  void EndItem() { FDone += FSize, FSize = 0, FPercent = 0; }

private:
  void Draw() {
    const int64_t done = FDone + FSize * FPercent / 100;
    const int whole = FTotal > 0 ? static_cast<int>(done * 100 / FTotal) : 100;
    std::string head = std::to_string(whole) + "% " + HumanBytes(done) + "/" + HumanBytes(FTotal) + "  " +
                       std::to_string(FPercent) + "% ";
    const int room = term::Width() - 1 - TextColumns(head);
    std::string name = FName;
    if (TextColumns(name) > room) {
      // Keep the tail: the file's own name is at the end.
      size_t cut = 0;
      while (cut < name.size() && TextColumns(std::string_view(name).substr(cut)) > room - 3) {
        ++cut;
        while (cut < name.size() && (static_cast<uint8_t>(name[cut]) & 0xC0) == 0x80) ++cut;
      }
      name = room >= 3 ? std::string("...").append(name, cut) : std::string();
    }
    ShowStatus(head + name);
  }

  int64_t FTotal, FDone = 0, FSize = 0;
  int FPercent = 0;
  std::string FName;
};

// Item data straight to stdout (arvelo print). A refused write fails the
// item; a full disk behind stdout is told apart by the system's error.
class TStdoutStream : public rtl::TStream {
public:
  int64_t Read(void*, int64_t) override { throw rtl::EReadError(); }
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (!Out(std::string_view(static_cast<const char*>(Buffer), static_cast<size_t>(Count)))) {
      FErrno = rtl::LastOSError();
      throw rtl::EWriteError();
    }
    FPos += Count;
    return Count;
  }
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override {
    if (Origin == rtl::soCurrent && Offset == 0) return FPos;
    throw rtl::EWriteError("stdout cannot seek");
  }
  int LastErrno() const { return FErrno; }

private:
  int64_t FPos = 0;
  int FErrno = 0;
};

// A DOS date and time as one comparable number.
uint32_t DosStamp(uint16_t date, uint16_t time) { return static_cast<uint32_t>(date) << 16 | time; }

// The disk file's modification time as a local DOS stamp; 0 when unknown.
uint32_t FileDosStamp(const std::string& path) {
  std::error_code ec;
  auto ft = std::filesystem::last_write_time(path, ec);
  if (ec) return 0;
  const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::file_clock::to_sys(ft));
  const std::tm* lt = std::localtime(&t);
  if (!lt || lt->tm_year < 80) return 0;
  const auto date = static_cast<uint16_t>(((lt->tm_year - 80) << 9) | ((lt->tm_mon + 1) << 5) | lt->tm_mday);
  const auto time = static_cast<uint16_t>((lt->tm_hour << 11) | (lt->tm_min << 5) | (lt->tm_sec / 2));
  return DosStamp(date, time);
}

enum class TAnswer { aYes, aNo, aAll, aNone, aRename, aNoTerminal };

TAnswer AskReplace(const std::string& shown, std::string& newName) {
  for (;;) {
    std::string line;
    if (!Ask("replace " + shown + "? [y]es, [n]o, [A]ll, [N]one, [r]ename: ", true, line)) return TAnswer::aNoTerminal;
    if (line == "y" || line == "Y" || line == "yes") return TAnswer::aYes;
    if (line == "n" || line == "no") return TAnswer::aNo;
    if (line == "A") return TAnswer::aAll;
    if (line == "N") return TAnswer::aNone;
    if (line == "r" || line == "R") {
      if (!Ask("new name: ", true, newName)) return TAnswer::aNoTerminal;
      return newName.empty() ? TAnswer::aNo : TAnswer::aRename;
    }
    Err("error:  invalid response [" + Printable(line) + "]\n");
  }
}

// Asks for a disk of a set on a removable drive: Enter retries, q cancels.
// Without a terminal nobody can change the disk: the answer is Cancel (a
// clean failure).
bool AskForDisk(const std::string& text) {
  std::string line;
  return Ask(text + " (Enter when ready, q to cancel): ", true, line) && line != "q" && line != "Q";
}

} // namespace

int ExtractOrTest(const Options& opt) {
  const bool extracting = opt.command == TCommand::cmExtract;
  const bool printing = opt.command == TCommand::cmPrint;
  const char* const verb = extracting ? " extracting: " : printing ? "" : "    testing: ";
  term::InstallInterruptHandlers(esInterrupted);

  ab::TAbUnZipper unzipper;
  unzipper.SetExtractOptions(opt.junkPaths ? ab::TAbExtractOptions{ab::eoCreateDirs}
                                           : ab::TAbExtractOptions{ab::eoCreateDirs, ab::eoRestorePath});
  // As typed: the engine tries the code-page forms itself.
  if (opt.havePassword) unzipper.SetPassword(opt.password);
  std::string base;
  try {
    if (extracting) {
      base = opt.directory.empty() ? rtl::GetCurrentDir() : rtl::ExpandFileName(opt.directory);
      ab::TAbArchive::CreateFolderPath(base);
    }
    unzipper.SetBaseDirectory(base);
  } catch (const std::exception& e) {
    Err("arvelo: " + Printable(opt.directory) + ": " + Printable(e.what()) + "\n");
    return esArchiveError;
  }
  unzipper.SetOnRequestLastDisk(
      [](rtl::TObject*, bool& abort) { abort = !AskForDisk("Insert the last disk in the spanned disk set"); });
  unzipper.SetOnRequestNthDisk([](rtl::TObject*, uint8_t disk, bool& abort) {
    abort = !AskForDisk(rtl::Format("Insert disk number %d of the spanned disk set", disk));
  });
  if (int status = OpenArchive(opt, unzipper)) return status;
  ab::TAbZipArchive& zip = *unzipper.ZipArchive();

  // The selection first (in memory), so that progress can count bytes.
  TItemSelection selection(opt);
  std::vector<int> chosen;
  int64_t totalBytes = 0;
  for (int i = 0; i < zip.Count(); ++i) {
    ab::TAbZipItem& item = *zip.GetItem(i);
    if (!selection.Selects(item.FileName())) continue;
    if (printing && item.IsDirectory()) continue;
    chosen.push_back(i);
    totalBytes += item.UncompressedSize();
  }
  const bool unmatched = selection.ReportUnmatched();
  if (zip.Count() == 0) {
    Err("arvelo: " + Printable(opt.archive) + ": the archive holds no items\n");
    return esWarning;
  }
  if (chosen.empty() && !unmatched) {
    Err("arvelo: " + Printable(opt.archive) + ": no files selected\n");
    return esNoMatch;
  }

  EnableStatus(!printing && opt.quiet < 2);
  TProgressLine progress(totalBytes);
  TTally tally;
  TStdoutStream stdoutStream;
  std::string current;                     // shown name of the item in hand
  std::string writtenAs;                   // the name a rename answer gave it
  bool currentFailed = false, currentWrong = false, currentDeclined = false, currentKept = false, currentSkipped = false;
  bool replaceAll = false, replaceNone = false;
  // Folders extracted, with their stored times: set once everything is
  // written, as writing into a folder moves its time.
  std::vector<std::pair<std::string, rtl::TFileTime>> folderTimes;

  unzipper.OnArchiveItemProgress = [&](rtl::TObject*, ab::TAbArchiveItem*, uint8_t pct, bool& abort) {
    progress.ItemPercent(pct);
    abort = term::Interrupted();
  };
  unzipper.OnNeedPassword = [&](rtl::TObject*, std::string& pw) {
    // What is proposed is the password that was just refused, if any. The
    // question says so; the item's failure, should it come to that, is
    // reported once, by the failure event.
    const bool refused = !pw.empty();
    if (refused) currentWrong = true;
    pw.clear();
    // A password given with -P is the answer for every item: a script that
    // gives one is never stopped by a question, as with unzip.
    if (opt.havePassword) {
      currentWrong = true;
      return;
    }
    if (term::Interrupted()) return;
    std::string answer, prompt = "[";
    prompt.append(Printable(opt.archive)).append("] ").append(current);
    prompt.append(refused ? " incorrect password; password again: " : " password: ");
    if (Ask(prompt, false, answer) && !answer.empty())
      pw = answer;
    else
      currentDeclined = true;
  };
  unzipper.OnConfirmOverwrite = [&](std::string& name, bool& confirm) {
    confirm = true;
    if (opt.overwrite == TOverwrite::owAlways || replaceAll) return;
    confirm = false;
    currentSkipped = true;
    if (opt.overwrite == TOverwrite::owNever || replaceNone) return;
    const std::string prefix = rtl::IncludeTrailingPathDelimiter(base);
    for (;;) {
      std::string shown = Printable(name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name);
      std::string renamed;
      TAnswer a = term::IsTerminal(term::TChannel::chIn) ? AskReplace(shown, renamed) : TAnswer::aNoTerminal;
      switch (a) {
        case TAnswer::aYes: confirm = true, currentSkipped = false; return;
        case TAnswer::aAll: confirm = replaceAll = true, currentSkipped = false; return;
        case TAnswer::aNone: replaceNone = true; return;
        case TAnswer::aNo: return;
        case TAnswer::aNoTerminal:
          if (term::Interrupted()) return;
          Err("arvelo: " + shown + ": exists, not overwritten (no terminal to ask; -o overwrites, -n keeps)\n");
          currentKept = true;
          return;
        case TAnswer::aRename:
          name = renamed[0] == rtl::PathDelim ? renamed : prefix + renamed;
          writtenAs = Printable(renamed);
          ab::TAbArchive::CreateFolderPath(rtl::ExcludeTrailingPathDelimiter(rtl::ExtractFilePath(name)));
          if (!rtl::PathExistsNoFollow(name)) {
            confirm = true, currentSkipped = false;
            return;
          }
          break;  // that one exists too: ask about it
      }
    }
  };
  unzipper.OnProcessItemFailure = [&](rtl::TObject*, ab::TAbArchiveItem*, ab::TAbProcessType, ab::TAbErrorClass ec,
                                      int code) {
    const int err = ec == ab::ecInOutError ? code : printing ? stdoutStream.LastErrno() : rtl::LastOSError();
    currentFailed = true;
    TFailure kind = TFailure::fError;
    std::string msg = zip.LastFailureMessage();
    if (term::Interrupted()) {
      kind = TFailure::fInterrupted;
    } else if (ec != ab::ecArvelo && rtl::IsDiskFullError(err)) {
      kind = TFailure::fDiskFull;
      msg = "disk full";
    } else if (ec == ab::ecArvelo && (code == kUnsupportedMethod || code == kNewerVersion)) {
      kind = TFailure::fUnsupported;
    } else if (ec == ab::ecArvelo && (code == kWrongPassword || code == kUserAbort) && currentDeclined && !currentWrong) {
      kind = TFailure::fNoPassword;
      msg = "skipped, no password given (-P PASSWORD gives one)";
    } else if (ec == ab::ecArvelo && (code == kWrongPassword || (code == kUserAbort && currentWrong))) {
      kind = TFailure::fWrongPassword;
      msg = "skipped, incorrect password";
    } else if (extracting && ec == ab::ecArvelo && code == kBadCrc) {
      msg += " (damaged file kept)";
    }
    switch (kind) {
      case TFailure::fUnsupported: ++tally.unsupported; break;
      case TFailure::fNoPassword: ++tally.noPassword; break;
      case TFailure::fWrongPassword: ++tally.wrongPassword; break;
      case TFailure::fError: ++tally.errors; break;
      case TFailure::fDiskFull: ++tally.diskFull; break;
      case TFailure::fInterrupted: tally.interrupted = true; return;
    }
    tally.failedNames.push_back(current);
    Err("arvelo: " + current + ": " + Printable(msg) + "\n");  // messages may quote the name
  };

  if (!printing && opt.quiet == 0) Out("Archive:  " + Printable(opt.archive) + "\n");
  try {
    for (int index : chosen) {
      if (term::Interrupted()) break;
      ab::TAbZipItem& item = *zip.GetItem(index);
      current = ShownName(item);
      currentFailed = currentWrong = currentDeclined = currentKept = currentSkipped = false;
      writtenAs.clear();
      // -P stands for every item: an item whose password prompt went
      // unanswered does not leave the next one without it.
      if (opt.havePassword && zip.Password().empty())
        unzipper.SetPassword(opt.password);
      // Freshening makes no folders; updating makes those it needs.
      if (extracting && opt.timeRule == TTimeRule::trFreshen && item.IsDirectory()) continue;
      // Where the item lands: the engine's own cleaned form of its name.
      std::string clean;
      const bool placed = ab::CleanStoredName(item.FileName(), clean) && !clean.empty();
      if (extracting && opt.timeRule != TTimeRule::trAll && !item.IsDirectory() && placed) {
        const std::string target =
            rtl::IncludeTrailingPathDelimiter(base) + (opt.junkPaths ? rtl::ExtractFileName(clean) : clean);
        const bool exists = rtl::FileExists(target);
        if (!exists && opt.timeRule == TTimeRule::trFreshen) continue;
        if (exists && DosStamp(item.LastModFileDate(), item.LastModFileTime()) <= FileDosStamp(target)) continue;
      }
      progress.StartItem(current, item.UncompressedSize());
      if (extracting)
        zip.ExtractAt(index, "");
      else if (printing)
        zip.ExtractToStream(item.FileName(), &stdoutStream);
      else
        zip.TestAt(index);
      progress.EndItem();
      if (currentKept) ++tally.kept;
      if (currentFailed || currentKept || currentSkipped) continue;
      ++tally.processed;
      if (item.IsDirectory()) {
        rtl::TFileTime when;
        if (extracting && !opt.junkPaths && placed && ab::ItemModificationTime(item, when))
          folderTimes.emplace_back(rtl::IncludeTrailingPathDelimiter(base) + clean, when);
        if (extracting && !opt.junkPaths && opt.quiet == 0) Out("   creating: " + current + "\n");
        continue;
      }
      ++tally.done;
      tally.bytes += item.UncompressedSize();
      if (opt.quiet == 0 && !printing)
        Out(std::string(verb) + (writtenAs.empty() ? current : writtenAs) + (extracting ? "\n" : "  OK\n"));
    }
  } catch (const std::exception& e) {
    // The archive itself failed (a lost volume, an abort the engine could
    // not confine to the item).
    HideStatus();
    if (!term::Interrupted()) {
      Err("arvelo: " + Printable(opt.archive) + ": " + Printable(e.what()) + "\n");
      ++tally.errors;
    }
  }
  // Inner folders first, so that setting one cannot move its parent's.
  for (auto it = folderTimes.rbegin(); it != folderTimes.rend(); ++it) rtl::FileSetTime(it->first, it->second);
  HideStatus();
  if (term::Interrupted()) {
    Err("arvelo: interrupted\n");
    tally.interrupted = true;
  }
  if (!printing && opt.quiet < 2) {
    std::string line = std::to_string(tally.done) + (tally.done == 1 ? " file, " : " files, ") +
                       std::to_string(tally.bytes) + (tally.bytes == 1 ? " byte" : " bytes");
    if (tally.Failed()) {
      line += "; " + std::to_string(tally.Failed()) + " failed: ";
      for (size_t i = 0; i < tally.failedNames.size() && i < kSummaryNames; ++i) line += (i ? ", " : "") + tally.failedNames[i];
      if (tally.failedNames.size() > kSummaryNames) line += ", ...";
    }
    if (tally.kept) line += "; " + std::to_string(tally.kept) + " kept";
    Out(line + "\n");
  }
  return tally.Status(unmatched);
}

} // namespace arvelo
