// SDIMAIN: the launcher's logic, the same on every system and every window.
//
// The window offers "run from the medium" (extract the payload into a fixed
// folder under the user's temporary folder and start the viewer from there)
// and, on a CD, DVD or removable drive, "copy to the computer and run" (copy
// the medium, extract the payload beside it, make shortcuts, start the
// installed program). `TSDIAppForm` holds the state those flows share, makes
// the start-up decisions, runs both flows and owns the unzipper. It knows no
// toolkit: it reaches the window through ILauncherView (a Qt window, a
// native Windows window, or no window at all for the command-line modes) and
// the operating system through TLauncherPlatform.
//
// The window behaves like the form of a classic single-threaded toolkit, and
// `Dispatch` is where that behaviour lives: every handler runs through it, so
// an exception that escapes a handler is shown in the view's error box and
// leaves the window as the handler left it; a termination request takes
// effect only once the running handler has returned; and a click that
// arrives while a handler is still running (through the event processing of
// a meter) is dropped, so that one unzipper never serves two flows. The close
// box during a flow only requests termination; the flow runs to its end
// first.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "launcher/LauncherView.h"
#include "launcher/Platform.h"

namespace ab {
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
// keeps its separator, any other folder has none.
extern std::string AppDir;
extern TLaunchConfig LaunchConfig;
// The folder run-from-medium extracts into.
extern std::string RunFolder;
// The source pattern of the most recent copy of the installation.
extern std::string CopySource;

// Texts the flows show and the tests compare.
inline constexpr const char* kInstallFailed = "설치하지 못했습니다. 다시 시도하세요.\r\nCode:";
inline constexpr const char* kUnsafeRunFolder = "Unsafe run folder ";
inline constexpr const char* kProgramMissing = "Cannot start ";
inline constexpr const char* kInstallIntoMedium = "Cannot install into the medium itself: ";

// Starts a program or opens a document. A relative Path counts from AppDir
// and is started without Parameters in AppDir's sub-folder of Path; an
// absolute one gets Parameters (split the Windows way) and Path's own folder.
// StandIn is the document the program exists to show, opened instead where
// the program cannot run on this system (IProgramStarter::OpenShown).
void LaunchProgram(TLauncherPlatform& Platform, const std::string& Path, const std::string& Parameters,
                   const std::string& StandIn = "");

// ===========================================================================
// The window's logic
// ===========================================================================

class TSDIAppForm {
public:
  using THandler = void (TSDIAppForm::*)();

  // Sets up the unzipper as the design has it (the view's two meters, its
  // options and password) and runs FormCreate. The view's controls must
  // exist, built from the design table; view and platform outlive the form.
  TSDIAppForm(ILauncherView& View, TLauncherPlatform& Platform);
  ~TSDIAppForm();
  TSDIAppForm(const TSDIAppForm&) = delete;
  TSDIAppForm& operator=(const TSDIAppForm&) = delete;

  std::unique_ptr<ab::TAbUnZipper> AbUnZipper1;

  // ---- handlers -------------------------------------------------------------
  void FormCreate();
  void Button1Click();
  void Button2Click();
  void btnPathClick();
  void btnCopyStartClick();

  // ---- dispatch rules (see above) -------------------------------------------
  void Dispatch(THandler Handler);
  // The click handler of a control, or nullptr when it has none.
  static THandler ClickHandler(TControlId Id);
  // A click on a control, as a window delivers it.
  void Click(TControlId Id);
  // The close box: requests termination and tells the view to terminate
  // unless a handler is running. True when the window may close now.
  bool CloseQuery();
  // Requests termination; it takes effect when the running handler returns.
  void Terminate() { FTerminateRequested = true; }
  bool TerminateRequested() const { return FTerminateRequested; }
  bool Busy() const { return FBusy; }

  ILauncherView& View() { return FView; }

private:
  // Moves a panel to the window's top-left corner (left first, then top)
  // and shows it.
  void ShowPanel(TControlId Panel);
  // Extracts the whole payload into BaseDirectory, counting the items that
  // fail (the engine skips them).
  void ExtractPayload(const std::string& BaseDirectory);
  // Raises, naming the payload and its failures, unless Program exists: a
  // flow never makes shortcuts to, or starts, a program that is not there.
  void RequireProgram(const std::string& Program);
  // The desktop and menu shortcuts the boxes ask for, to Target; StandIn
  // is the document they open where Target cannot run (TShortcut).
  void MakeShortcuts(const std::string& Target, const std::string& StandIn);

  ILauncherView& FView;
  TLauncherPlatform& FPlatform;
  bool FBusy = false;
  bool FTerminateRequested = false;
  // Items of the last extraction that failed, and the first failure.
  int FItemFailures = 0;
  std::string FFirstFailure;
};

} // namespace launcher
