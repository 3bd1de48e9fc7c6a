// ProgramStartPosix: starting a program or opening a document, POSIX edition.
//
// The launcher hands over to the e-book's own program and then ends, so the
// started program must not depend on the launcher in any way: it runs in a
// session of its own (started through a double fork, so it is never the
// launcher's child and never its zombie), in the working folder it was given,
// with no file descriptor of the launcher but the standard ones.
//
// What starts depends on what the file is, not on its name:
// - a Windows program (a PE image) starts through Wine (WineLoader), with
//   the same arguments, when Wine is installed; without Wine the document it exists
//   to show (the caller's stand-in) goes to the desktop's opener, xdg-open;
// - an executable file starts directly;
// - a script without permission to run starts through the interpreter its
//   first line names, as the system would start it;
// - a native (ELF) program without permission to run is given that
//   permission for its owner when it is the user's own file (a payload made
//   on Windows stores no modes), and refused, saying why, otherwise;
// - anything else (an HTML page, a PDF) goes to the desktop's opener.
// Whether a started program then runs well is its own affair.
#pragma once

#include <string>
#include <vector>

#include "launcher/Platform.h"

namespace launcher {

class TPosixProgramStarter : public IProgramStarter {
public:
  void Open(const std::string& File, const std::vector<std::string>& Args, const std::string& WorkDir) override;
  void OpenShown(const std::string& File, const std::vector<std::string>& Args, const std::string& WorkDir,
                 TShowState Show, const std::string& StandIn) override;
};

// The full path of Program found on the PATH as the shell would find it, or
// empty.
std::string FindOnPath(const std::string& Program);

// True when the file is a Windows program: a DOS stub whose header points at
// a "PE\0\0" signature.
bool IsWindowsProgram(const std::string& Path);

// The Wine loader that starts Windows programs here: the program the WINE
// variable names when it is set, else "wine", else "wine64" on the PATH;
// empty when there is none.
std::string WineLoader();

} // namespace launcher
