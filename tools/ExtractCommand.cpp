// arvelo extract / arvelo test: the unzipper component with the launcher's
// options (create folders, restore paths), a terminal face and exit codes.
//
// Each failed item is reported on stderr with its name and the engine's
// message. When stderr is a terminal, an item bar and an archive bar are
// drawn in place and cleared at the end; otherwise nothing but failures is
// printed. A password that is needed but was not given is asked for on the
// terminal without echo.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "archive/AbExcept.h"
#include "archive/AbUnzper.h"
#include "rtl/Console.h"
#include "rtl/FileSys.h"
#include "rtl/Text.h"
#include "tools/ArveloCommands.h"

namespace arvelo {

namespace {

// ---------------------------------------------------------------------------
// Terminal progress: two bars on one line of stderr, redrawn in place.
// ---------------------------------------------------------------------------

class TerminalProgress {
public:
  class Meter : public ab::IAbProgressMeter {
  public:
    Meter(TerminalProgress& owner, int& value) : FOwner(owner), FValue(value) {}
    void DoProgress(uint8_t Progress) override {
      if (FValue != Progress) {
        FValue = Progress;
        FOwner.Draw();
      }
    }
    void Reset() override { DoProgress(0); }

  private:
    TerminalProgress& FOwner;
    int& FValue;
  };

  explicit TerminalProgress(bool enabled) : FEnabled(enabled) {}
  ~TerminalProgress() { Clear(); }

  Meter& ItemMeter() { return FItemMeter; }
  Meter& ArchiveMeter() { return FArchiveMeter; }
  void SetItemName(const std::string& name) {
    FName = name;
    Draw();
  }
  void Clear() {
    if (FEnabled && FDrawn) rtl::ConsolePrintf(stderr, "\r\033[K");
    FDrawn = false;
  }
  void Draw() {
    if (!FEnabled) return;
    auto bar = [](int pct) {
      std::string b(20, ' ');
      for (int i = 0; i < pct / 5; ++i) b[static_cast<size_t>(i)] = '#';
      return b;
    };
    std::string name = FName.size() > 40 ? "..." + FName.substr(FName.size() - 37) : FName;
    rtl::ConsolePrintf(stderr, "\r\033[K[%s] %3d%%  [%s] %3d%%  %s", bar(FItem).c_str(), FItem, bar(FArchive).c_str(), FArchive,
                 name.c_str());
    std::fflush(stderr);
    FDrawn = true;
  }
  // Prints a line above the bars.
  void Line(const std::string& text) {
    Clear();
    rtl::ConsolePrintf(stderr, "%s\n", text.c_str());
    Draw();
  }

private:
  bool FEnabled;
  bool FDrawn = false;
  int FItem = 0, FArchive = 0;
  std::string FName;
  Meter FItemMeter{*this, FItem};
  Meter FArchiveMeter{*this, FArchive};
};

std::string AskPasswordOnTerminal(const std::string& itemName) {
  rtl::ConsolePrintf(stderr, "Password for %s: ", itemName.c_str());
  std::fflush(stderr);
  std::string line;
  rtl::ReadSecretLine(line);
  rtl::ConsolePrintf(stderr, "\n");
  return line;
}

// Asks for a disk on the terminal: Enter retries, q cancels.
bool AskForDisk(const std::string& text) {
  rtl::ConsolePrintf(stderr, "%s (Enter when ready, q to cancel): ", text.c_str());
  std::fflush(stderr);
  std::string line;
  if (!std::getline(std::cin, line)) return false;
  return !(line == "q" || line == "Q");
}

std::string JoinMasks(const std::vector<std::string>& masks) {
  if (masks.empty()) return "*.*";
  std::string all;
  for (const auto& m : masks) all += (all.empty() ? "" : ";") + m;
  return all;
}

} // namespace

int ExtractOrTest(const Options& opt) {
  const bool testing = opt.command == "test";
  TerminalProgress progress(!opt.quiet && rtl::IsConsole(stderr));
  ab::TAbUnZipper unzipper;
  unzipper.SetExtractOptions({ab::eoCreateDirs, ab::eoRestorePath});
  unzipper.SetItemProgressMeter(&progress.ItemMeter());
  unzipper.SetArchiveProgressMeter(&progress.ArchiveMeter());
  if (opt.havePassword) unzipper.SetPassword(rtl::Utf8ToCodePage(opt.password, rtl::AnsiCodePage()));

  std::string current;
  int failures = 0;
  unzipper.OnConfirmProcessItem = [&](rtl::TObject*, ab::TAbArchiveItem* item, ab::TAbProcessType, bool&) {
    current = item->FileName();
    progress.SetItemName(current);
  };
  unzipper.OnProcessItemFailure = [&](rtl::TObject*, ab::TAbArchiveItem* item, ab::TAbProcessType, ab::TAbErrorClass ec,
                                      int code) {
    ++failures;
    std::string msg = unzipper.Archive() ? unzipper.Archive()->LastFailureMessage() : "";
    if (!testing && ec == ab::ecArvelo && code == 19) msg += " (damaged file kept)";
    progress.Line("arvelo: " + item->FileName() + ": " + msg);
  };
  if (rtl::IsConsole(stdin)) {
    unzipper.OnNeedPassword = [&](rtl::TObject*, std::string& pw) {
      progress.Clear();
      pw = rtl::Utf8ToCodePage(AskPasswordOnTerminal(current), rtl::AnsiCodePage());
    };
    // Disk sets on removable drives: without a terminal nobody can change
    // the disk, and the request answers Cancel (a clean failure).
    unzipper.SetOnRequestLastDisk([&](rtl::TObject*, bool& abort) {
      progress.Clear();
      abort = !AskForDisk("Insert the last disk in the spanned disk set");
    });
    unzipper.SetOnRequestNthDisk([&](rtl::TObject*, uint8_t disk, bool& abort) {
      progress.Clear();
      abort = !AskForDisk(rtl::Format("Insert disk number %d of the spanned disk set", disk));
    });
  }

  try {
    if (!testing) {
      std::string dir = opt.directory.empty() ? rtl::GetCurrentDir() : rtl::ExpandFileName(opt.directory);
      ab::TAbArchive::CreateFolderPath(dir);
      unzipper.SetBaseDirectory(dir);
    } else {
      unzipper.SetBaseDirectory("");
    }
    unzipper.SetFileName(opt.archive);
  } catch (const std::exception& e) {
    progress.Clear();
    rtl::ConsolePrintf(stderr, "arvelo: %s: %s\n", opt.archive.c_str(), e.what());
    return 2;
  }
  if (!unzipper.ZipArchive()) {
    rtl::ConsolePrintf(stderr, "arvelo: %s: %s\n", opt.archive.c_str(), ab::AbResString::UnhandledType);
    return 2;
  }

  const std::string mask = JoinMasks(opt.masks);
  try {
    if (testing) {
      ab::TAbZipArchive& zip = *unzipper.ZipArchive();
      int tested = 0;
      for (int i = 0; i < zip.Count(); ++i) {
        ab::TAbArchiveItem* item = zip.ItemList()[i];
        if (!item->MatchesStoredNameEx(mask) || item->MatchesStoredNameEx(opt.exclude)) continue;
        bool confirm = true;
        unzipper.ConfirmItem(item, ab::ptExtract, confirm);
        int before = failures;
        zip.TestAt(i);
        ++tested;
        if (failures == before && !opt.quiet) {
          progress.Clear();
          rtl::ConsolePrintf(stdout, "OK  %s\n", item->FileName().c_str());
          std::fflush(stdout);
        }
        bool abort = false;
        unzipper.NotifyArchiveProgress(ab::AbPercentage(i + 1, zip.Count()), abort);
      }
      progress.Clear();
      if (!opt.quiet) rtl::ConsolePrintf(stdout, "%d item%s tested, %d failed\n", tested, tested == 1 ? "" : "s", failures);
    } else {
      unzipper.ExtractFilesEx(mask, opt.exclude);
    }
  } catch (const std::exception& e) {
    progress.Clear();
    rtl::ConsolePrintf(stderr, "arvelo: %s: %s\n", opt.archive.c_str(), e.what());
    return 1;
  }
  progress.Clear();
  return failures > 0 ? 1 : 0;
}

} // namespace arvelo
