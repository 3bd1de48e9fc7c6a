// ProgramStartPosix: starting a program or opening a document, POSIX edition.
//
// The launcher hands over to the e-book's own program and then ends, so the
// started program must not depend on the launcher in any way: it runs in a
// session of its own (started through a double fork, so it is never the
// launcher's child and never its zombie), in the working folder it was given,
// with no file descriptor of the launcher but the standard ones. An
// executable file is started directly; anything else (an HTML page, a PDF, a
// Windows program that is not executable here) goes to the desktop's opener,
// xdg-open. Nothing is reported back: whether the program could run is its
// own affair, as the flows never look at the outcome.
#pragma once

#include <string>
#include <vector>

#include "launcher/Platform.h"

namespace launcher {

class TPosixProgramStarter : public IProgramStarter {
public:
  void Open(const std::string& File, const std::vector<std::string>& Args, const std::string& WorkDir) override;
};

} // namespace launcher
