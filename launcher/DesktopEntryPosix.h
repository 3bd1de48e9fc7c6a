// DesktopEntryPosix: shortcuts and user folders on a freedesktop system.
//
// A shortcut is a ".desktop" file: Name, Comment, Exec, Path. The desktop's
// folder is the XDG user folder DESKTOP (from user-dirs.dirs, ~/Desktop by
// default), the programs folder (and the start menu's) is
// $XDG_DATA_HOME/applications; quick launch and send-to have no counterpart
// and give no folder. An entry on the desktop is made
// executable, which is what file managers ask before they start one.
#pragma once

#include <string>

#include "launcher/Platform.h"

namespace launcher {

// The desktop-entry form of a shortcut, ready to save (exposed for tests).
std::string DesktopEntryText(const TShortcut& Link, const std::string& Name);

class TDesktopEntryWriter : public IShortcutWriter {
public:
  std::string Extension() override { return ".desktop"; }
  void Save(const TShortcut& Link, const std::string& LinkPath, uint8_t Kind) override;
};

// The XDG user folder named Name ("DESKTOP", ...) from user-dirs.dirs under
// $XDG_CONFIG_HOME (default ~/.config), or Fallback below the home folder.
std::string XdgUserDir(const std::string& Home, const std::string& Name, const std::string& Fallback);

} // namespace launcher
