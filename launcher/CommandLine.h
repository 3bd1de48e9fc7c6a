// CommandLine: the launcher's flows without a window.
//
// Without arguments the launcher shows its window and runs until a flow or
// the close box ends it. Two command-line modes run one flow without a
// person, for scripted use and for machines without a display:
//
//   ebook-launcher --run
//       what a click on the run button does, then exit: 0 when the flow
//       ended by starting the e-book, 1 with the message on stderr when it
//       would have shown an error box.
//   ebook-launcher --install DIR [--no-desktop] [--no-startmenu]
//       the installation into DIR, with the shortcut boxes cleared as asked;
//       existing files are replaced without asking, copy errors go to
//       stderr; exit codes as for --run (the failure message counts as an
//       error).
//
// Both run the very flows of the window (TSDIAppForm) on a view that has no
// window: it keeps each control's state as the design table gives it,
// answers every question the way nobody watching would, and turns the error
// box and the message box into the exit code and a line on stderr. No
// toolkit is needed, so the modes run wherever the launcher is built.
#pragma once

#include <string>
#include <vector>

#include "launcher/Platform.h"

namespace launcher {

struct TCommandLine {
  enum TMode { cmWindow, cmRun, cmInstall, cmUsage } Mode = cmWindow;
  std::string InstallDir;
  bool Desktop = true;
  bool StartMenu = true;
};

// The arguments after the program's name.
TCommandLine ParseCommandLine(const std::vector<std::string>& Args);

// The usage line on stderr; returns the exit code of a bad command line.
int Usage();

// Runs the --run or --install flow with no window; returns the exit code.
int RunCommandLine(const TCommandLine& Command, TLauncherPlatform& Platform);

} // namespace launcher
