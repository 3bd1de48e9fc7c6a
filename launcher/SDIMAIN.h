// SDIMAIN: the launcher's one window and its two ways to open the e-book.
//
// The window offers "run from the medium" (extract the payload into a fixed
// temporary folder and start the viewer from there) and, on a CD, DVD or
// removable drive, "copy to the computer and run" (copy the medium, extract
// the payload beside it, make shortcuts, start the installed program). Both
// flows run on the window's one thread; the progress meters let window events
// run while the payload is extracted, so the window stays painted and its
// close box stays live.
//
// The window behaves like the form of a classic single-threaded toolkit, and
// `Dispatch` is where that behaviour lives: every handler runs through it, so
// an exception that escapes a handler is shown in an error box and leaves the
// window as the handler left it; a termination request takes effect only once
// the running handler has returned; and a click that arrives while a handler
// is still running (through the event processing of a meter) is dropped, so
// that one unzipper never serves two flows. Closing the window during a flow
// only requests termination; the flow runs to its end first.
//
// The window reaches the operating system only through TLauncherPlatform.
// The few things a person answers (the error box, the failure message, the
// folder picker, the copy's progress window) are std::function members with
// dialog defaults, so that the command-line modes and the tests can answer
// them without a person.
#pragma once

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "launcher/Platform.h"

class QCheckBox;
class QCloseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ab {
class TAbMeter;
class TAbUnZipper;
} // namespace ab

namespace launcher {

// ===========================================================================
// Process-wide state
// ===========================================================================

struct TLaunchConfig {
  std::string title;
  std::string exe;
  std::string target;
};

// The launcher's folder, read once when the window is created; a root folder
// keeps its separator ("/"), any other folder has none.
extern std::string AppDir;
extern TLaunchConfig LaunchConfig;
// The folder run-from-medium extracts into.
extern std::string RunFolder;
// The source pattern of the most recent copy of the installation.
extern std::string CopySource;

// Texts the flows show and the tests compare.
inline constexpr const char* kInstallFailed = "설치하지 못했습니다. 다시 시도하세요.\r\nCode:";
inline constexpr const char* kUnsafeRunFolder = "Unsafe run folder ";

// Starts a program or opens a document. A relative Path counts from AppDir
// and is started without Parameters in AppDir's sub-folder of Path; an
// absolute one gets Parameters (split the Windows way) and Path's own folder.
void LaunchProgram(TLauncherPlatform& Platform, const std::string& Path, const std::string& Parameters);

// ===========================================================================
// The window
// ===========================================================================

class TSDIAppForm : public QWidget {
public:
  // Builds the window from its design and runs FormCreate.
  explicit TSDIAppForm(TLauncherPlatform& Platform, QWidget* Parent = nullptr);
  ~TSDIAppForm() override;

  // ---- controls, in design order (owned by the window) --------------------
  QLabel* Label1 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button2 = nullptr;
  QFrame* Panel1 = nullptr;
  QCheckBox* chkDesktop = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* txtPath = nullptr;
  QPushButton* btnPath = nullptr;
  QCheckBox* chkStartmenu = nullptr;
  QPushButton* btnCopyStart = nullptr;
  std::unique_ptr<ab::TAbUnZipper> AbUnZipper1;
  QFrame* Panel2 = nullptr;
  QLabel* Label4 = nullptr;
  ab::TAbMeter* AbMeter1 = nullptr;
  ab::TAbMeter* AbMeter2 = nullptr;

  // ---- handlers -----------------------------------------------------------
  void FormCreate();
  void Button1Click();
  void Button2Click();
  void btnPathClick();
  void btnCopyStartClick();

  // ---- toolkit behaviour --------------------------------------------------
  // Runs a handler as the toolkit runs one (see above).
  void Dispatch(void (TSDIAppForm::*Handler)());
  // Requests termination; it takes effect when the running handler returns.
  void Terminate();
  bool TerminateRequested() const { return FTerminateRequested; }
  bool Busy() const { return FBusy; }

  // ---- what a person answers ---------------------------------------------
  // The error box for an exception that escaped a handler.
  std::function<void(const std::string&)> OnShowException;
  // A message box with an OK button.
  std::function<void(const std::string&)> OnShowMessage;
  // The folder picker: the chosen folder, or nothing when cancelled.
  std::function<std::optional<std::string>()> OnPickFolder;
  // The progress window and questions of one copy.
  std::function<std::unique_ptr<ICopyUi>()> OnMakeCopyUi;
  // What termination does once it takes effect (ends the event loop).
  std::function<void()> OnTerminated;

protected:
  void closeEvent(QCloseEvent* Event) override;
  void showEvent(QShowEvent* Event) override;

private:
  void BuildDesign();
  void SetupDesignSettings();
  void ProcessMessages();

  TLauncherPlatform& FPlatform;
  bool FBusy = false;
  bool FTerminateRequested = false;
  bool FCentred = false;
  std::vector<QMetaObject::Connection> FMeterWatches;
};

} // namespace launcher
