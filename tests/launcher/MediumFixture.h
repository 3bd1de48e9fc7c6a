// A sandboxed e-book medium for the window tests: the medium folder (the
// launcher's folder), a home folder with its own XDG folders, and a private
// temporary folder, all under one sandbox; the environment points at them
// for the length of a test.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>

#include <chrono>
#include <memory>
#include <thread>

#include "TestUtil.h"
#include "launcher/PlatformPosix.h"
#include "launcher/WindowQt.h"

namespace testutil {

// A program that writes its working folder and its arguments, one a line,
// to Record (complete or not at all); it needs nothing from the PATH.
inline std::string RecorderScript(const std::string& Record) {
  return "#!/bin/sh\n{ pwd; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > " + Quote(Record) +
         ".tmp && /bin/mv " + Quote(Record) + ".tmp " + Quote(Record) + "\n";
}

// The copy's window with nobody at it: replaces everything, or cancels.
class TQuietCopyUi : public launcher::ICopyUi {
public:
  explicit TQuietCopyUi(bool Cancel = false) : FCancel(Cancel) {}
  void Begin(int64_t, int64_t) override {}
  bool Progress(const std::string&, int64_t) override { return !FCancel; }
  launcher::TReplaceAnswer ConfirmReplace(const std::string&) override { return launcher::TReplaceAnswer::raYesToAll; }
  void ShowError(const std::string&) override {}
  void End() override {}

private:
  bool FCancel;
};


// The engine decrypts and inflates once those units are part of it; until
// then the test payloads are stored and not encrypted.
#if __has_include("archive/AbDfCryS.h")
inline constexpr bool kEngineDecrypts = true;
#else
inline constexpr bool kEngineDecrypts = false;
#endif
#if __has_include("archive/AbDfDec.h")
inline constexpr bool kEngineInflates = true;
#else
inline constexpr bool kEngineInflates = false;
#endif

class TMediumTest : public ::testing::Test {
protected:
  TMediumTest()
      : Medium(Box / "medium"), Home(Box / "home"), Temp(Box / "tmp"), Record(Box / "viewer-record.txt"),
        EnvHome("HOME", Home), EnvTemp("TEMP", Temp), EnvTmpDir("TMPDIR", std::nullopt),
        EnvConfig("XDG_CONFIG_HOME", std::nullopt), EnvData("XDG_DATA_HOME", std::nullopt),
        EnvMedium("EBOOK_LAUNCHER_MEDIUM", "optical:700000000") {
    fs::create_directories(Medium + "/ebook/Documents");
    fs::create_directories(Home);
    fs::create_directories(Temp);
    WriteFile(Medium + "/ebook/Documents/index.html", "<html><body>index</body></html>\n");
  }

  void WriteConfig(const std::string& Text) { WriteFile(Medium + "/config.ini", Text); }
  void WriteDefaultConfig() {
    WriteConfig("[Settings]\ntitle=국어 학습지도서\nexe=main.exe\ntarget=국어\n");
  }

  // A viewer that writes its working folder and its arguments to the
  // record file (RecorderScript).
  std::string ViewerScript() const { return RecorderScript(Record); }

  // Packs Stage into the medium's payload with the launcher's password
  // (when the engine can decrypt) and without compression unless the engine
  // inflates.
  void MakePayload(const std::string& Stage) {
    std::string Flags = "-q -r";
    if (kEngineDecrypts) Flags += " -P '3716%^&*'";
    if (!kEngineInflates) Flags += " -0";
    ASSERT_EQ(Shell("cd " + Quote(Stage) + " && zip " + Flags + " " + Quote(Medium + "/ebook/ebookRun.qtx") + " ."),
              0);
  }

  // Payload: the viewer, a file in a folder, a name without a dot.
  void MakeStandardPayload() {
    const std::string Stage = Box / "stage";
    WriteFile(Stage + "/ebook.exe", ViewerScript());
    ::chmod((Stage + "/ebook.exe").c_str(), 0755);
    WriteFile(Stage + "/data/chapter1/page.txt", "페이지 1\n");
    WriteFile(Stage + "/README", "no extension\n");
    MakePayload(Stage);
  }

  std::unique_ptr<launcher::TQtAppForm> MakeForm() {
    Platform = launcher::MakePosixPlatform(Medium);
    auto F = std::make_unique<launcher::TQtAppForm>(Platform);
    F->OnShowException = [this](const std::string& M) { Errors.push_back(M); };
    F->OnShowMessage = [this](const std::string& M) { Messages.push_back(M); };
    F->OnTerminated = [this] { ++Terminations; };
    return F;
  }

  // The viewer runs detached; its record appears when it has run.
  std::optional<std::vector<std::string>> WaitForRecord(int Seconds = 20) {
    for (int i = 0; i < Seconds * 20; ++i) {
      if (Exists(Record)) {
        std::vector<std::string> Lines;
        std::istringstream In(ReadFile(Record));
        for (std::string L; std::getline(In, L);) Lines.push_back(L);
        return Lines;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
  }

  std::string RunFolder() const { return Temp + "/qtxEBookRun"; }

  TSandbox Box;
  std::string Medium, Home, Temp, Record;
  TEnv EnvHome, EnvTemp, EnvTmpDir, EnvConfig, EnvData, EnvMedium;
  launcher::TLauncherPlatform Platform;
  std::vector<std::string> Errors, Messages;
  int Terminations = 0;
};

// Saves a picture of a widget under the build's screenshot folder.
inline void SaveScreenshot(QWidget& W, const std::string& Name) {
  fs::create_directories(ARVELO_SCREENSHOT_DIR);
  W.grab().save(QString::fromStdString(std::string(ARVELO_SCREENSHOT_DIR) + "/" + Name + ".png"));
}

} // namespace testutil
