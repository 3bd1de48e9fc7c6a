// arvelo extract / test / print: the unzipper component with the launcher's
// options (create folders, restore paths), driven item by item so that this
// tool decides what to select (unzip's patterns), what to do about files
// already on disk, and how each outcome counts in the exit status.
//
// The engine reports through its events: a failed item (the whole failure:
// class, code, text, system error), a password it needs, a file it is about
// to overwrite, and item progress. Each failure is classified once, by its
// code (TFailure), into the item's outcome: its counts and the lines it
// reports. The exit status is derived from the counts at the end, with
// unzip's order of precedence: an interrupt, a full disk, an error in the
// archive, then "nothing could be processed" for wrong passwords or
// unsupported methods, unmatched patterns, warnings.
//
// Several threads (-T, one per usable processor by default) share the
// items of an extraction or a test; each reads the archive through its own
// engine and writes its own files, so the threads share nothing while an
// item is decoded. What the user sees is what one thread shows: outcomes
// are reported in archive order, and the items whose outcome depends on
// another's (the same name twice, links) are left to one thread at the end
// (ExtractPlan.h), as are the items that need a question (a password, a
// file to replace): the questions then come one at a time, in archive
// order, after the lines of the items before them.
// "-T 1" is the plain loop over the selection.
//
// On a terminal one status line shows the whole selection's progress by
// bytes and the current item; it is taken off the screen before every
// message and at the end (Console). An interrupt is noticed at the next
// progress step or item boundary; the engine then removes the partial file
// and the command ends with esInterrupted.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/AbExcept.h"
#include "archive/AbUnzPrc.h"
#include "archive/AbUnzper.h"
#include "archive/AbZipTyp.h"
#include "rtl/FileSys.h"
#include "rtl/SysUtils.h"
#include "rtl/Text.h"
#include "tools/ArveloCommands.h"
#include "tools/Console.h"
#include "tools/ExtractPlan.h"
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

  void Add(const TTally& o) {
    done += o.done, processed += o.processed, bytes += o.bytes, kept += o.kept;
    unsupported += o.unsupported, noPassword += o.noPassword, noTerminal += o.noTerminal;
    wrongPassword += o.wrongPassword, errors += o.errors, diskFull += o.diskFull;
    interrupted = interrupted || o.interrupted;
    failedNames.insert(failedNames.end(), o.failedNames.begin(), o.failedNames.end());
  }

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

// The status line: "37% 12.0 MiB/32.5 MiB  80% name". The whole figure
// counts every item finished and the part done of each item in hand (one
// per thread); the name is that of the item whose step drew the line. The
// name gives way first when the terminal is narrow: its head is replaced by
// "...".
class TProgressLine {
public:
  TProgressLine(int64_t total, int slots) : FTotal(total), FSlots(static_cast<size_t>(slots)) {}
  void StartItem(int slot, const std::string& name, int64_t size) {
    TSlot& s = FSlots[static_cast<size_t>(slot)];
    s = TSlot{name, size, 0};
    Draw(s);
  }
  void ItemPercent(int slot, int pct) {
    TSlot& s = FSlots[static_cast<size_t>(slot)];
    s.percent = pct;
    Draw(s);
  }
  void EndItem(int slot) {
    TSlot& s = FSlots[static_cast<size_t>(slot)];
    FDone += s.size;
    s = TSlot();
  }

private:
  struct TSlot {
    std::string name;
    int64_t size = 0;
    int percent = 0;
  };

  void Draw(const TSlot& shown) {
    int64_t done = FDone;
    for (const TSlot& s : FSlots) done += s.size * s.percent / 100;
    const int whole = FTotal > 0 ? static_cast<int>(done * 100 / FTotal) : 100;
    std::string head = std::to_string(whole) + "% " + HumanBytes(done) + "/" + HumanBytes(FTotal) + "  " +
                       std::to_string(shown.percent) + "% ";
    const int room = StatusColumns() - TextColumns(head);
    std::string name = shown.name;
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

  int64_t FTotal, FDone = 0;
  std::vector<TSlot> FSlots;
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
  std::tm local{};
  const std::tm* lt = localtime_r(&t, &local);
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
// the counts, and what the threads share: the terminal (questions, the
// status line, the report), the answers that stand for every item, and the
// outcomes waiting for their turn to be reported.
class TExtractSession {
public:
  explicit TExtractSession(const Options& Opt)
      : FOpt(Opt), FExtracting(Opt.command == TCommand::cmExtract), FPrinting(Opt.command == TCommand::cmPrint) {}
  int Run();

private:
  class TItemWorker;
  // What one item came to: its counts and the lines it reports, in order
  // (true: to stderr).
  struct TItemOutcome {
    bool reached = false;
    bool deferred = false;  // left for the questions at the end
    TTally tally;
    std::vector<std::pair<bool, std::string>> lines;
  };

  bool SetUp();
  void Configure(ab::TAbUnZipper& Unzipper) const;
  int Select();
  int WorkerCount() const;
  void ProcessSelection();
  void ProcessInOrder();
  void ProcessTogether(int Workers);
  void Finish(size_t Position, TItemOutcome&& Outcome);
  void Report(TItemOutcome& Outcome);
  void ReportRest();
  void Summary() const;

  const Options& FOpt;
  const bool FExtracting, FPrinting;
  ab::TAbUnZipper FUnzipper;
  ab::TAbZipArchive* FZip = nullptr;
  std::string FBase;
  std::vector<int> FChosen;
  int64_t FTotalBytes = 0;
  bool FUnmatched = false;
  TStdoutStream FStdout;

  // Everything below is guarded by FConsole: whoever holds it has the
  // terminal to itself.
  std::mutex FConsole;
  TTally FTally;
  std::unique_ptr<TProgressLine> FProgress;
  bool FReplaceAll = false, FReplaceNone = false;
  // Outcomes by position in the selection, reported in that order.
  std::vector<TItemOutcome> FOutcomes;
  size_t FNextReport = 0;
  std::vector<size_t> FDeferred;  // positions left for their questions
};

// One thread's share of the work: an engine reading the archive, and the
// state of the item in hand, which the engine's events fill in while the
// item is processed.
class TExtractSession::TItemWorker {
public:
  TItemWorker(TExtractSession& Session, ab::TAbUnZipper& Unzipper, int Slot);
  TItemOutcome Process(int Index);
  ab::TAbZipArchive& Zip() { return FZip; }
  // While items are processed side by side, an item that needs a question
  // is left for the end rather than asked about: its question then comes
  // in archive order, after the lines of the items before it.
  void SetDeferQuestions(bool Defer) { FDeferQuestions = Defer; }

private:
  struct TItemState {
    std::string shown;      // its name as shown
    std::string writtenAs;  // the name a rename answer gave it
    bool failed = false, wrongPassword = false, declined = false, kept = false, skipped = false;
    bool noTerminal = false;  // a password was needed and there was no terminal to ask
    bool deferred = false;    // left for the end (SetDeferQuestions)
  };

  void AskPassword(std::string& Password);
  void ConfirmOverwrite(std::string& Name, bool& Confirm);
  bool Rename(std::string& Name, const std::string& Renamed);
  TFailure Classify(const ab::TAbItemFailure& Failure, std::string& Message) const;
  void ItemFailed(const ab::TAbItemFailure& Failure);
  bool SkippedByTime(const ab::TAbZipItem& Item) const;
  void Count(const ab::TAbZipItem& Item);
  void Say(bool ToErr, std::string Text) { FOutcome.lines.emplace_back(ToErr, std::move(Text)); }

  TExtractSession& S;
  const Options& FOpt;
  ab::TAbUnZipper& FUnzipper;
  ab::TAbZipArchive& FZip;
  const int FSlot;
  TItemState FItem;
  TItemOutcome FOutcome;
  bool FDeferQuestions = false;
};

void TExtractSession::Configure(ab::TAbUnZipper& Unzipper) const {
  Unzipper.SetExtractOptions(FOpt.junkPaths ? ab::TAbExtractOptions{ab::eoCreateDirs}
                                            : ab::TAbExtractOptions{ab::eoCreateDirs, ab::eoRestorePath});
  // As typed: the engine tries the code-page forms itself.
  if (FOpt.havePassword) Unzipper.SetPassword(FOpt.password);
  Unzipper.SetBaseDirectory(FBase);
}

// The engine's options, the output folder (made when missing) and the
// questions for the disks of a spanned set.
bool TExtractSession::SetUp() {
  try {
    if (FExtracting) {
      FBase = FOpt.directory.empty() ? rtl::GetCurrentDir() : rtl::ExpandFileName(FOpt.directory);
      rtl::ForceDirectories(FBase);
    }
    Configure(FUnzipper);
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

// Threads for the selection: -T, or one per usable processor up to
// kMaxWorkers, and no more than there are files. Data printed to stdout goes in order, a spanned set
// is read one volume at a time, and items read from their local headers
// are only known in order: those take one.
int TExtractSession::WorkerCount() const {
  if (FPrinting || FOpt.workers == 1 || FZip->Spanned() || FZip->LocalHeaderReading().Used) return 1;
  size_t files = 0;
  for (int index : FChosen) files += FZip->GetItem(index)->IsDirectory() ? 0 : 1;
  const size_t wanted = static_cast<size_t>(FOpt.workers ? FOpt.workers : std::min(rtl::UsableProcessors(), kMaxWorkers));
  return static_cast<int>(std::max<size_t>(1, std::min(wanted, files)));
}

TExtractSession::TItemWorker::TItemWorker(TExtractSession& Session, ab::TAbUnZipper& Unzipper, int Slot)
    : S(Session), FOpt(Session.FOpt), FUnzipper(Unzipper), FZip(*Unzipper.ZipArchive()), FSlot(Slot) {
  FUnzipper.OnArchiveItemProgress = [this](rtl::TObject*, ab::TAbArchiveItem*, uint8_t pct, bool& abort) {
    std::lock_guard<std::mutex> lock(S.FConsole);
    S.FProgress->ItemPercent(FSlot, pct);
    abort = term::Interrupted();
  };
  FUnzipper.OnNeedPassword = [this](rtl::TObject*, std::string& pw) { AskPassword(pw); };
  FUnzipper.OnConfirmOverwrite = [this](std::string& name, bool& confirm) { ConfirmOverwrite(name, confirm); };
  FUnzipper.OnProcessItemFailure = [this](rtl::TObject*, ab::TAbArchiveItem*, ab::TAbProcessType, ab::TAbErrorClass,
                                          int) { ItemFailed(*FUnzipper.CurrentFailure()); };
}

void TExtractSession::TItemWorker::AskPassword(std::string& Password) {
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
  if (FDeferQuestions) {
    FItem.deferred = true;
    return;
  }
  std::lock_guard<std::mutex> lock(S.FConsole);
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

void TExtractSession::TItemWorker::ConfirmOverwrite(std::string& Name, bool& Confirm) {
  std::lock_guard<std::mutex> lock(S.FConsole);
  Confirm = true;
  if (FOpt.overwrite == TOverwrite::owAlways || S.FReplaceAll) return;
  Confirm = false;
  FItem.skipped = true;
  if (FOpt.overwrite == TOverwrite::owNever || S.FReplaceNone) return;
  if (FDeferQuestions && term::IsTerminal(term::TChannel::chIn)) {
    FItem.deferred = true;
    return;
  }
  const std::string prefix = rtl::IncludeTrailingPathDelimiter(S.FBase);
  for (;;) {
    std::string shown = Printable(Name.compare(0, prefix.size(), prefix) == 0 ? Name.substr(prefix.size()) : Name);
    std::string renamed;
    switch (term::IsTerminal(term::TChannel::chIn) ? AskReplace(shown, renamed) : TAnswer::aNoTerminal) {
      case TAnswer::aAll: S.FReplaceAll = true; [[fallthrough]];
      case TAnswer::aYes: Confirm = true, FItem.skipped = false; return;
      case TAnswer::aNone: S.FReplaceNone = true; return;
      case TAnswer::aNo: return;
      case TAnswer::aNoTerminal:
        if (term::Interrupted()) return;
        Say(true, "arvelo: " + shown + ": exists, not overwritten (no terminal to ask; -o overwrites, -n keeps)\n");
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
bool TExtractSession::TItemWorker::Rename(std::string& Name, const std::string& Renamed) {
  Name = Renamed[0] == rtl::PathDelim ? Renamed : rtl::IncludeTrailingPathDelimiter(S.FBase) + Renamed;
  FItem.writtenAs = Printable(Renamed);
  rtl::ForceDirectories(rtl::ExcludeTrailingPathDelimiter(rtl::ExtractFilePath(Name)));
  return !rtl::PathExistsNoFollow(Name);
}

// What a failed item counts as, and the message that tells it.
TFailure TExtractSession::TItemWorker::Classify(const ab::TAbItemFailure& Failure, std::string& Message) const {
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
      if (S.FExtracting) Message += " (damaged file kept)";
      return TFailure::fError;
    default:
      return TFailure::fError;
  }
}

void TExtractSession::TItemWorker::ItemFailed(const ab::TAbItemFailure& Failure) {
  FItem.failed = true;
  if (FItem.deferred) return;
  std::string message = Failure.Message;
  TTally& tally = FOutcome.tally;
  switch (Classify(Failure, message)) {
    case TFailure::fUnsupported: ++tally.unsupported; break;
    case TFailure::fNoPassword: ++tally.noPassword; break;
    case TFailure::fNoTerminal: ++tally.noTerminal; break;
    case TFailure::fWrongPassword: ++tally.wrongPassword; break;
    case TFailure::fError: ++tally.errors; break;
    case TFailure::fDiskFull: ++tally.diskFull; break;
    case TFailure::fInterrupted: tally.interrupted = true; return;
  }
  tally.failedNames.push_back(FItem.shown);
  Say(true, "arvelo: " + FItem.shown + ": " + Printable(message) + "\n");  // messages may quote the name
}

// Freshening makes no folders and writes only over older files; updating
// also writes files not on disk yet.
bool TExtractSession::TItemWorker::SkippedByTime(const ab::TAbZipItem& Item) const {
  if (!S.FExtracting || FOpt.timeRule == TTimeRule::trAll) return false;
  if (Item.IsDirectory()) return FOpt.timeRule == TTimeRule::trFreshen;
  // Where the item lands: the engine's own cleaned form of its name. A name
  // the engine refuses is left to it, to be reported as it fails.
  std::string clean;
  if (!ab::CleanStoredName(Item.FileName(), clean, Item.BackslashSeparates()) || clean.empty()) return false;
  const std::string target =
      rtl::IncludeTrailingPathDelimiter(S.FBase) + (FOpt.junkPaths ? rtl::ExtractFileName(clean) : clean);
  if (!rtl::FileExists(target)) return FOpt.timeRule == TTimeRule::trFreshen;
  return DosStamp(Item.LastModFileDate(), Item.LastModFileTime()) <= FileDosStamp(target);
}

TExtractSession::TItemOutcome TExtractSession::TItemWorker::Process(int Index) {
  ab::TAbZipItem& item = *FZip.GetItem(Index);
  FItem = TItemState();
  FOutcome = TItemOutcome();
  FOutcome.reached = true;
  FItem.shown = ShownName(item);
  // -P stands for every item: an item whose password prompt went
  // unanswered does not leave the next one without it.
  if (FOpt.havePassword && FZip.Password().empty()) FUnzipper.SetPassword(FOpt.password);
  if (SkippedByTime(item)) return std::move(FOutcome);
  {
    std::lock_guard<std::mutex> lock(S.FConsole);
    S.FProgress->StartItem(FSlot, FItem.shown, item.UncompressedSize());
  }
  if (S.FExtracting)
    FZip.ExtractAt(Index, "");
  else if (S.FPrinting)
    FZip.ExtractToStream(item.FileName(), &S.FStdout);
  else
    FZip.TestAt(Index);
  {
    std::lock_guard<std::mutex> lock(S.FConsole);
    S.FProgress->EndItem(FSlot);
  }
  Count(item);
  return std::move(FOutcome);
}

void TExtractSession::TItemWorker::Count(const ab::TAbZipItem& Item) {
  if (FItem.deferred) {
    FOutcome = TItemOutcome();
    FOutcome.deferred = true;
    return;
  }
  TTally& tally = FOutcome.tally;
  if (FItem.kept) ++tally.kept;
  if (FItem.failed || FItem.kept || FItem.skipped) return;
  ++tally.processed;
  if (Item.IsDirectory()) {
    if (S.FExtracting && !FOpt.junkPaths && FOpt.quiet == 0) Say(false, "   creating: " + FItem.shown + "\n");
    return;
  }
  ++tally.done;
  tally.bytes += Item.UncompressedSize();
  if (FOpt.quiet != 0 || S.FPrinting) return;
  const char* const verb = S.FExtracting ? " extracting: " : "    testing: ";
  Say(false, std::string(verb) + (FItem.writtenAs.empty() ? FItem.shown : FItem.writtenAs) +
                 (S.FExtracting ? "\n" : "  OK\n"));
}

// Counts an item and prints its lines; FConsole held.
void TExtractSession::Report(TItemOutcome& Outcome) {
  FTally.Add(Outcome.tally);
  for (const auto& [toErr, text] : Outcome.lines)
    if (toErr)
      Err(text);
    else
      Out(text);
  Outcome = TItemOutcome();
  Outcome.reached = true;  // reported: its lines are let go
}

// Keeps an item's outcome and reports every one whose turn has come.
void TExtractSession::Finish(size_t Position, TItemOutcome&& Outcome) {
  std::lock_guard<std::mutex> lock(FConsole);
  if (Outcome.deferred) {
    FDeferred.push_back(Position);
    return;
  }
  FOutcomes[Position] = std::move(Outcome);
  while (FNextReport < FOutcomes.size() && FOutcomes[FNextReport].reached) Report(FOutcomes[FNextReport++]);
}

void TExtractSession::ProcessInOrder() {
  TItemWorker worker(*this, FUnzipper, 0);
  for (int index : FChosen) {
    if (term::Interrupted()) break;
    TItemOutcome outcome = worker.Process(index);
    std::lock_guard<std::mutex> lock(FConsole);
    Report(outcome);
  }
}

// The selection on several threads, each with its own reader of the
// archive, as ExtractPlan.h lays out: folders first, then the independent
// files on every thread, then the rest on this one. Outcomes are reported
// in archive order as soon as all before them are in, so what is printed is
// what one thread prints. An error of the archive itself (not confined to
// an item) stops every thread and is reported as with one. Memory: each
// thread holds a reader (the directory read again) and the decoders of one
// item.
void TExtractSession::ProcessTogether(int Workers) {
  std::vector<ab::TAbZipItem*> items;
  for (int index : FChosen) items.push_back(FZip->GetItem(index));
  const TExtractPlan plan = PlanExtraction(items, FExtracting, FOpt.junkPaths);
  FOutcomes.assign(FChosen.size(), TItemOutcome());
  FNextReport = 0;
  const auto foldersMade = std::make_shared<rtl::TFoldersMade>(static_cast<size_t>(Workers));
  FZip->ShareFoldersMade(foldersMade);

  TItemWorker here(*this, FUnzipper, 0);
  FDeferred.clear();
  auto inOrder = [&](const std::vector<size_t>& positions) {
    for (size_t position : positions) {
      if (term::Interrupted()) return;
      Finish(position, here.Process(FChosen[position]));
    }
  };
  inOrder(plan.first);

  std::atomic<size_t> next{0};  // the next batch
  std::atomic<bool> stop{false};
  std::string failure;  // the archive's own error, under FConsole
  auto work = [&](TItemWorker& worker) {
    // Holds the folders this thread verified for the items after.
    ab::TAbArchive::TFolderTimesLater held(worker.Zip());
    for (;;) {
      const size_t batch = next++;
      if (batch >= plan.batchEnds.size()) return;
      for (size_t k = batch ? plan.batchEnds[batch - 1] : 0; k < plan.batchEnds[batch]; ++k) {
        if (stop || term::Interrupted()) return;
        const size_t position = plan.together[k];
        try {
          Finish(position, worker.Process(FChosen[position]));
        } catch (const std::exception& e) {
          std::lock_guard<std::mutex> lock(FConsole);
          if (failure.empty()) failure = e.what();
          stop = true;
        }
      }
    }
  };
  const std::string archiveFile = FUnzipper.FileName();
  // Every thread is joined however this ends: an error that leaves here
  // first stops the others at their next item.
  struct TJoinAll {
    std::vector<std::thread> threads;
    std::atomic<bool>& stop;
    ~TJoinAll() {
      if (std::uncaught_exceptions()) stop = true;
      for (std::thread& t : threads) t.join();
    }
  } all{{}, stop};
  for (int slot = 1; slot < Workers; ++slot) {
    try {
      all.threads.emplace_back([&, slot] {
        try {
          // A reader of its own; when the archive cannot be read again, the
          // other threads take this one's share.
          ab::TAbUnZipper unzipper;
          Configure(unzipper);
          if (!OpenArchiveAgain(FOpt, archiveFile, *FZip, unzipper)) return;
          unzipper.ZipArchive()->ShareFoldersMade(foldersMade);
          TItemWorker worker(*this, unzipper, slot);
          worker.SetDeferQuestions(true);
          work(worker);
        } catch (const std::exception& e) {
          std::lock_guard<std::mutex> lock(FConsole);
          if (failure.empty()) failure = e.what();
          stop = true;
        }
      });
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the ones running share the work
    }
  }
  here.SetDeferQuestions(true);
  work(here);
  for (std::thread& t : all.threads) t.join();
  all.threads.clear();
  here.SetDeferQuestions(false);
  if (!failure.empty()) {
    std::lock_guard<std::mutex> lock(FConsole);
    ReportRest();
    throw ab::EAbException(failure);
  }
  // The dependent items and those left for a question, in archive order.
  std::vector<size_t> last = plan.last;
  last.insert(last.end(), FDeferred.begin(), FDeferred.end());
  std::sort(last.begin(), last.end());
  inOrder(last);
  std::lock_guard<std::mutex> lock(FConsole);
  ReportRest();
}

// After an interrupt or an error of the archive: the items that were done,
// in order, past the ones never reached; FConsole held.
void TExtractSession::ReportRest() {
  for (; FNextReport < FOutcomes.size(); ++FNextReport)
    if (FOutcomes[FNextReport].reached) Report(FOutcomes[FNextReport]);
}

void TExtractSession::ProcessSelection() {
  try {
    ab::TAbArchive::TFolderTimesLater folderTimes(*FZip);
    const int workers = WorkerCount();
    FProgress = std::make_unique<TProgressLine>(FTotalBytes, workers);
    if (workers > 1)
      ProcessTogether(workers);
    else
      ProcessInOrder();
  } catch (const std::exception& e) {
    // The archive itself failed (a lost volume, an abort the engine could
    // not confine to the item).
    std::lock_guard<std::mutex> lock(FConsole);
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
