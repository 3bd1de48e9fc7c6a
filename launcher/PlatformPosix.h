// PlatformPosix: the launcher's services on a Linux desktop, as one set.
#pragma once

#include <string>

#include "launcher/Platform.h"

namespace launcher {

// The POSIX implementation of every service. AppFolder is the folder of the
// running executable unless AppFolderOverride is given.
TLauncherPlatform MakePosixPlatform(const std::string& AppFolderOverride = {});

} // namespace launcher
