// arvelo extract / test / print: the unzipper component with the launcher's
// options (create folders, restore paths), driven item by item so that this
// tool decides what to select (unzip's patterns), what to do about files
// already on disk, and how each outcome counts in the exit status.
//
// The engine reports through its events: a failed item (the whole failure:
// class, code, text, system error), a password it needs, a file it is about
// to overwrite, and item progress. Each failure is classified once, by its
// code (TFailure), and the exit status
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
#include <memory>
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

// How many failed names the summary line lists before it cuts the list.
constexpr size_t kSummaryNames = 10;

enum class TFailure { fUnsupported, fNoPassword, fNoTerminal, fWrongPassword, fError, fDiskFull, fInterrupted };

struct TTally {
  int done = 0;            // files written, tested or printed
  int processed = 0;       // the same and folders: "nothing could be done" needs none of either
  int64_t bytes = 0;
  int kept = 0;            // existing files left alone for want of an answer
  int unsupported = 0, noPassword = 0, noTerminal = 0, wrongPassword = 0, errors = 0, diskFull = 0;
  bool interrupted = false;
  std::vector<std::string> failedNames;

  int Failed() const { return unsupported + noPassword + noTerminal + wrongPassword + errors + diskFull; }

  // unzip's order: the gravest failure counts; 81 and 82 only where
  // nothing worse happened.
  int Status(bool unmatched) const {
    if (interrupted) return esInterrupted;
    if (diskFull) return esDiskFull;
    if (noTerminal) return esNoPasswordTerminal;
    if (errors) return esArchiveError;
    if (processed == 0 && wrongPassword && !unsupported && !noPassword) return esWrongPassword;
    if (unsupported && !wrongPassword && !noPassword) return esUnsupported;
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
    const int room = StatusColumns() - TextColumns(head);
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
// item with the system's error in the exception, as a file's stream does,
// so that a full disk behind stdout is told apart.
class TStdoutStream : public rtl::TStream {
public:
  int64_t Read(void*, int64_t) override { throw rtl::EReadError(); }
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (!Out(std::string_view(static_cast<const char*>(Buffer), static_cast<size_t>(Count))))
      throw rtl::EInOutError(rtl::kStreamWriteErrorText, rtl::LastOSError());
    FPos += Count;
    return Count;
  }
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override {
    if (Origin == rtl::soCurrent && Offset == 0) return FPos;
    throw rtl::EWriteError("stdout cannot seek");
  }

private:
  int64_t FPos = 0;
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

// A question answered with a line, echoed as typed.
bool Answered(const std::string& Prompt, std::string& Answer) {
  return Ask(Prompt, true, Answer) == term::TReadResult::rrLine;
}

TAnswer AskReplace(const std::string& shown, std::string& newName) {
  for (;;) {
    std::string line;
    if (!Answered("replace " + shown + "? [y]es, [n]o, [A]ll, [N]one, [r]ename: ", line)) return TAnswer::aNoTerminal;
    if (line == "y" || line == "Y" || line == "yes") return TAnswer::aYes;
    if (line == "n" || line == "no") return TAnswer::aNo;
    if (line == "A") return TAnswer::aAll;
    if (line == "N") return TAnswer::aNone;
    if (line == "r" || line == "R") {
      if (!Answered("new name: ", newName)) return TAnswer::aNoTerminal;
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
  return Answered(text + " (Enter when ready, q to cancel): ", line) && line != "q" && line != "Q";
}

// One run of extract, test or print: the options, the engine, the selection,
// the counts, and the state of the item in hand, which the engine's events
// fill in while the item is processed.
class TExtractSession {
public:
  explicit TExtractSession(const Options& Opt)
      : FOpt(Opt), FExtracting(Opt.command == TCommand::cmExtract), FPrinting(Opt.command == TCommand::cmPrint) {}
  int Run();

private:
  // What the engine's events tell about the item in hand.
  struct TItemState {
    std::string shown;      // its name as shown
    std::string writtenAs;  // the name a rename answer gave it
    bool failed = false, wrongPassword = false, declined = false, kept = false, skipped = false;
    bool noTerminal = false;  // a password was needed and there was no terminal to ask
  };

  bool SetUp();
  int Select();
  void InstallEvents();
  void AskPassword(std::string& Password);
  void ConfirmOverwrite(std::string& Name, bool& Confirm);
  bool Rename(std::string& Name, const std::string& Renamed);
  TFailure Classify(const ab::TAbItemFailure& Failure, std::string& Message) const;
  void ItemFailed(const ab::TAbItemFailure& Failure);
  bool SkippedByTime(const ab::TAbZipItem& Item) const;
  void ProcessItem(int Index);
  void CountItem(const ab::TAbZipItem& Item);
  void ProcessSelection();
  void Summary() const;

  const Options& FOpt;
  const bool FExtracting, FPrinting;
  ab::TAbUnZipper FUnzipper;
  ab::TAbZipArchive* FZip = nullptr;
  std::string FBase;
  std::vector<int> FChosen;
  int64_t FTotalBytes = 0;
  bool FUnmatched = false;
  TTally FTally;
  TStdoutStream FStdout;
  std::unique_ptr<TProgressLine> FProgress;
  TItemState FItem;
  bool FReplaceAll = false, FReplaceNone = false;
};

// The engine's options, the output folder (made when missing) and the
// questions for the disks of a spanned set.
bool TExtractSession::SetUp() {
  FUnzipper.SetExtractOptions(FOpt.junkPaths ? ab::TAbExtractOptions{ab::eoCreateDirs}
                                             : ab::TAbExtractOptions{ab::eoCreateDirs, ab::eoRestorePath});
  // As typed: the engine tries the code-page forms itself.
  if (FOpt.havePassword) FUnzipper.SetPassword(FOpt.password);
  try {
    if (FExtracting) {
      FBase = FOpt.directory.empty() ? rtl::GetCurrentDir() : rtl::ExpandFileName(FOpt.directory);
      rtl::ForceDirectories(FBase);
    }
    FUnzipper.SetBaseDirectory(FBase);
  } catch (const std::exception& e) {
    Err("arvelo: " + Printable(FOpt.directory) + ": " + Printable(e.what()) + "\n");
    return false;
  }
  FUnzipper.SetOnRequestLastDisk(
      [](rtl::TObject*, bool& abort) { abort = !AskForDisk("Insert the last disk in the spanned disk set"); });
  FUnzipper.SetOnRequestNthDisk([](rtl::TObject*, uint8_t disk, bool& abort) {
    abort = !AskForDisk(rtl::Format("Insert disk number %d of the spanned disk set", disk));
  });
  return true;
}

// The selection first (in memory), so that progress can count bytes.
// esSuccess to go on, otherwise the status to end with.
int TExtractSession::Select() {
  TItemSelection selection(FOpt);
  for (int i = 0; i < FZip->Count(); ++i) {
    ab::TAbZipItem& item = *FZip->GetItem(i);
    if (!selection.Selects(item)) continue;
    if (FPrinting && item.IsDirectory()) continue;
    FChosen.push_back(i);
    FTotalBytes += item.UncompressedSize();
  }
  FUnmatched = selection.ReportUnmatched();
  if (FZip->Count() == 0) {
    Err("arvelo: " + Printable(FOpt.archive) + ": " + DescribeEmpty(FOpt.archive) + "\n");
    return esWarning;
  }
  if (FChosen.empty() && !FUnmatched) {
    Err("arvelo: " + Printable(FOpt.archive) + ": no files selected\n");
    return esNoMatch;
  }
  return esSuccess;
}

void TExtractSession::InstallEvents() {
  FUnzipper.OnArchiveItemProgress = [this](rtl::TObject*, ab::TAbArchiveItem*, uint8_t pct, bool& abort) {
    FProgress->ItemPercent(pct);
    abort = term::Interrupted();
  };
  FUnzipper.OnNeedPassword = [this](rtl::TObject*, std::string& pw) { AskPassword(pw); };
  FUnzipper.OnConfirmOverwrite = [this](std::string& name, bool& confirm) { ConfirmOverwrite(name, confirm); };
  FUnzipper.OnProcessItemFailure = [this](rtl::TObject*, ab::TAbArchiveItem*, ab::TAbProcessType, ab::TAbErrorClass,
                                          int) { ItemFailed(*FUnzipper.CurrentFailure()); };
}

void TExtractSession::AskPassword(std::string& Password) {
  // What is proposed is the password that was just refused, if any. The
  // question says so; the item's failure, should it come to that, is
  // reported once, by the failure event.
  const bool refused = !Password.empty();
  if (refused) FItem.wrongPassword = true;
  Password.clear();
  // A password given with -P is the answer for every item: a script that
  // gives one is never stopped by a question, as with unzip.
  if (FOpt.havePassword) {
    FItem.wrongPassword = true;
    return;
  }
  if (term::Interrupted()) return;
  std::string answer, prompt = "[";
  prompt.append(Printable(FOpt.archive)).append("] ").append(FItem.shown);
  prompt.append(refused ? " incorrect password; password again: " : " password: ");
  const term::TReadResult read = Ask(prompt, false, answer);
  if (read == term::TReadResult::rrLine && !answer.empty())
    Password = answer;
  else
    FItem.declined = true;
  FItem.noTerminal = read == term::TReadResult::rrNoTerminal;
}

void TExtractSession::ConfirmOverwrite(std::string& Name, bool& Confirm) {
  Confirm = true;
  if (FOpt.overwrite == TOverwrite::owAlways || FReplaceAll) return;
  Confirm = false;
  FItem.skipped = true;
  if (FOpt.overwrite == TOverwrite::owNever || FReplaceNone) return;
  const std::string prefix = rtl::IncludeTrailingPathDelimiter(FBase);
  for (;;) {
    std::string shown = Printable(Name.compare(0, prefix.size(), prefix) == 0 ? Name.substr(prefix.size()) : Name);
    std::string renamed;
    switch (term::IsTerminal(term::TChannel::chIn) ? AskReplace(shown, renamed) : TAnswer::aNoTerminal) {
      case TAnswer::aAll: FReplaceAll = true; [[fallthrough]];
      case TAnswer::aYes: Confirm = true, FItem.skipped = false; return;
      case TAnswer::aNone: FReplaceNone = true; return;
      case TAnswer::aNo: return;
      case TAnswer::aNoTerminal:
        if (term::Interrupted()) return;
        Err("arvelo: " + shown + ": exists, not overwritten (no terminal to ask; -o overwrites, -n keeps)\n");
        FItem.kept = true;
        return;
      case TAnswer::aRename:
        if (Rename(Name, renamed)) {
          Confirm = true, FItem.skipped = false;
          return;
        }
        break;  // that one exists too: ask about it
    }
  }
}

// Points Name at the answer (below the base folder unless absolute) and
// makes its folder; true when no file has that name yet.
bool TExtractSession::Rename(std::string& Name, const std::string& Renamed) {
  Name = Renamed[0] == rtl::PathDelim ? Renamed : rtl::IncludeTrailingPathDelimiter(FBase) + Renamed;
  FItem.writtenAs = Printable(Renamed);
  rtl::ForceDirectories(rtl::ExcludeTrailingPathDelimiter(rtl::ExtractFilePath(Name)));
  return !rtl::PathExistsNoFollow(Name);
}

// What a failed item counts as, and the message that tells it.
TFailure TExtractSession::Classify(const ab::TAbItemFailure& Failure, std::string& Message) const {
  if (term::Interrupted()) return TFailure::fInterrupted;
  if (Failure.ErrorClass != ab::ecArvelo) {
    if (!rtl::IsDiskFullError(Failure.OSError)) return TFailure::fError;
    Message = "disk full";
    return TFailure::fDiskFull;
  }
  switch (Failure.ErrorCode) {
    case ab::erZipInvalidMethod:
    case ab::erZipVersion:
      return TFailure::fUnsupported;
    case ab::erZipInvalidPassword:
    case ab::erUserAbort:
      // An abort here is the engine giving up on an unanswered question.
      if (FItem.declined && !FItem.wrongPassword && FItem.noTerminal) {
        Message = "skipped, no terminal to ask for its password (-P PASSWORD gives one)";
        return TFailure::fNoTerminal;
      }
      if (FItem.declined && !FItem.wrongPassword) {
        Message = "skipped, no password given (-P PASSWORD gives one)";
        return TFailure::fNoPassword;
      }
      if (Failure.ErrorCode == ab::erUserAbort && !FItem.wrongPassword) return TFailure::fError;
      Message = "skipped, incorrect password";
      return TFailure::fWrongPassword;
    case ab::erZipBadCRC:
      if (FExtracting) Message += " (damaged file kept)";
      return TFailure::fError;
    default:
      return TFailure::fError;
  }
}

void TExtractSession::ItemFailed(const ab::TAbItemFailure& Failure) {
  FItem.failed = true;
  std::string message = Failure.Message;
  switch (Classify(Failure, message)) {
    case TFailure::fUnsupported: ++FTally.unsupported; break;
    case TFailure::fNoPassword: ++FTally.noPassword; break;
    case TFailure::fNoTerminal: ++FTally.noTerminal; break;
    case TFailure::fWrongPassword: ++FTally.wrongPassword; break;
    case TFailure::fError: ++FTally.errors; break;
    case TFailure::fDiskFull: ++FTally.diskFull; break;
    case TFailure::fInterrupted: FTally.interrupted = true; return;
  }
  FTally.failedNames.push_back(FItem.shown);
  Err("arvelo: " + FItem.shown + ": " + Printable(message) + "\n");  // messages may quote the name
}

// Freshening makes no folders and writes only over older files; updating
// also writes files not on disk yet.
bool TExtractSession::SkippedByTime(const ab::TAbZipItem& Item) const {
  if (!FExtracting || FOpt.timeRule == TTimeRule::trAll) return false;
  if (Item.IsDirectory()) return FOpt.timeRule == TTimeRule::trFreshen;
  // Where the item lands: the engine's own cleaned form of its name. A name
  // the engine refuses is left to it, to be reported as it fails.
  std::string clean;
  if (!ab::CleanStoredName(Item.FileName(), clean, Item.BackslashSeparates()) || clean.empty()) return false;
  const std::string target =
      rtl::IncludeTrailingPathDelimiter(FBase) + (FOpt.junkPaths ? rtl::ExtractFileName(clean) : clean);
  if (!rtl::FileExists(target)) return FOpt.timeRule == TTimeRule::trFreshen;
  return DosStamp(Item.LastModFileDate(), Item.LastModFileTime()) <= FileDosStamp(target);
}

void TExtractSession::ProcessItem(int Index) {
  ab::TAbZipItem& item = *FZip->GetItem(Index);
  FItem = TItemState();
  FItem.shown = ShownName(item);
  // -P stands for every item: an item whose password prompt went
  // unanswered does not leave the next one without it.
  if (FOpt.havePassword && FZip->Password().empty()) FUnzipper.SetPassword(FOpt.password);
  if (SkippedByTime(item)) return;
  FProgress->StartItem(FItem.shown, item.UncompressedSize());
  if (FExtracting)
    FZip->ExtractAt(Index, "");
  else if (FPrinting)
    FZip->ExtractToStream(item.FileName(), &FStdout);
  else
    FZip->TestAt(Index);
  FProgress->EndItem();
  CountItem(item);
}

void TExtractSession::CountItem(const ab::TAbZipItem& Item) {
  if (FItem.kept) ++FTally.kept;
  if (FItem.failed || FItem.kept || FItem.skipped) return;
  ++FTally.processed;
  if (Item.IsDirectory()) {
    if (FExtracting && !FOpt.junkPaths && FOpt.quiet == 0) Out("   creating: " + FItem.shown + "\n");
    return;
  }
  ++FTally.done;
  FTally.bytes += Item.UncompressedSize();
  if (FOpt.quiet != 0 || FPrinting) return;
  const char* const verb = FExtracting ? " extracting: " : "    testing: ";
  Out(std::string(verb) + (FItem.writtenAs.empty() ? FItem.shown : FItem.writtenAs) + (FExtracting ? "\n" : "  OK\n"));
}

void TExtractSession::ProcessSelection() {
  try {
    ab::TAbArchive::TFolderTimesLater folderTimes(*FZip);
    for (int index : FChosen) {
      if (term::Interrupted()) break;
      ProcessItem(index);
    }
  } catch (const std::exception& e) {
    // The archive itself failed (a lost volume, an abort the engine could
    // not confine to the item).
    HideStatus();
    if (!term::Interrupted()) {
      Err("arvelo: " + Printable(FOpt.archive) + ": " + Printable(e.what()) + "\n");
      ++FTally.errors;
    }
  }
}

void TExtractSession::Summary() const {
  std::string line = std::to_string(FTally.done) + (FTally.done == 1 ? " file, " : " files, ") +
                     std::to_string(FTally.bytes) + (FTally.bytes == 1 ? " byte" : " bytes");
  if (FTally.Failed()) {
    line += "; " + std::to_string(FTally.Failed()) + " failed: ";
    for (size_t i = 0; i < FTally.failedNames.size() && i < kSummaryNames; ++i)
      line += (i ? ", " : "") + FTally.failedNames[i];
    if (FTally.failedNames.size() > kSummaryNames) line += ", ...";
  }
  if (FTally.kept) line += "; " + std::to_string(FTally.kept) + " kept";
  Out(line + "\n");
}

int TExtractSession::Run() {
  term::InstallInterruptHandlers(esInterrupted);
  if (!SetUp()) return esArchiveError;
  if (int status = OpenArchive(FOpt, FUnzipper)) return status;
  FZip = FUnzipper.ZipArchive();
  if (int status = Select()) return FoldArchiveStatus(status, *FZip);
  EnableStatus(!FPrinting && FOpt.quiet < 2);
  FProgress = std::make_unique<TProgressLine>(FTotalBytes);
  InstallEvents();
  if (!FPrinting && FOpt.quiet == 0) Out("Archive:  " + Printable(FOpt.archive) + "\n");
  ProcessSelection();
  HideStatus();
  if (term::Interrupted()) {
    Err("arvelo: interrupted\n");
    FTally.interrupted = true;
  }
  if (!FPrinting && FOpt.quiet < 2) Summary();
  return FoldArchiveStatus(FTally.Status(FUnmatched), *FZip);
}

} // namespace

int ExtractOrTest(const Options& opt) { return TExtractSession(opt).Run(); }

} // namespace arvelo
