// ShellCopyPosix: the installation's copy of the medium on POSIX systems.
//
// Installing copies "every file and folder at the medium's root" into the
// chosen folder with the user watching: a progress window that can cancel, a
// question before any existing file is replaced (Yes, Yes to all, No,
// Cancel), and a message for anything that goes wrong. The source is given
// the Windows way, a folder followed by a file mask, and the mask follows
// the Windows wildcard rules: letter case does not matter, "*" and "?" are
// the wildcards, "*.*" means everything, and a mask ending in ".*" also takes
// names without any dot.
//
// The medium is untrusted: symbolic links are copied as links and never
// followed, special files (pipes, devices, sockets) are never opened, a file
// is written under a temporary name and renamed into place only when it is
// complete (a failed or cancelled copy leaves no partial file and keeps the
// file it would have replaced), and nothing is ever written through a link
// found at the destination. A destination inside a folder being copied is
// refused before anything is written; copying it would never end.
#pragma once

#include <string>

#include "launcher/Platform.h"

namespace launcher {

// Windows wildcard matching of one name against one mask, in any letter case.
bool MatchesMask(const std::string& Name, const std::string& Mask);

class TPosixFileCopier : public IFileCopier {
public:
  int32_t Copy(const std::string& SourcePattern, const std::string& DestFolder, ICopyUi& Ui) override;
};

} // namespace launcher
