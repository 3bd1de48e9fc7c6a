// Shortcuts: desktop and menu entries for the installed e-book.
//
// `CreateShortcut` saves one shortcut into the folder of a location kind
// (desktop, quick launch, send-to, start menu, or a folder the caller names)
// and `ProgramsFolder` finds the menu's programs folder. The shortcut's file
// name is the caller's name with its extension replaced by the platform's
// shortcut extension; its working folder defaults to the target's folder.
// A location without a folder saves nothing and is not an error; a save that
// fails (a missing sub-folder, a read-only desktop) goes unreported, so that
// an installation never stops over a shortcut.
//
// Each system saves shortcuts its own way (IShortcutWriter): a shell link
// on Windows, a freedesktop entry elsewhere (DesktopEntryPosix.h).
#pragma once

#include <string>

#include "launcher/Platform.h"

namespace launcher {

// LinkName with its extension replaced by Ext: the part from the last "."
// is replaced when that "." comes after the last "/"; otherwise Ext is
// appended.
std::string ShortcutFileName(const std::string& LinkName, const std::string& Ext);

// True when FileName names a file inside a folder and nothing else: no
// separator of a folder part, not "." or "..". A title is a shortcut's name,
// and a title that could place the file anywhere is not saved.
bool IsPlainFileName(const std::string& FileName);

// Saves one shortcut; see above. A name that is not a plain file name saves
// nothing, as a location without a folder does. LinkPath receives the shortcut file's full
// path, and is left untouched when the location has no folder. StandIn is
// TShortcut's.
void CreateShortcut(IUserFolders& Folders, IShortcutWriter& Writer, const std::string& Target,
                    const std::string& LinkName, uint8_t Kind, const std::string& Folder, const std::string& WorkDir,
                    const std::string& Arguments, const std::string& Description, std::string& LinkPath,
                    const std::string& StandIn = "");

// The menu's programs folder, or empty.
std::string ProgramsFolder(IUserFolders& Folders);

} // namespace launcher
