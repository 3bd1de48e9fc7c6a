// Shortcuts: the name rule, the location and the shortcut's fields.
#include "launcher/Shortcuts.h"

#include "rtl/FileSys.h"

namespace launcher {

std::string ShortcutFileName(const std::string& LinkName, const std::string& Ext) {
  const size_t P = LinkName.find_last_of(std::string(".") + rtl::PathBreaks);
  if (P != std::string::npos && LinkName[P] == '.') return LinkName.substr(0, P) + Ext;
  return LinkName + Ext;
}

bool IsPlainFileName(const std::string& FileName) {
  // Both separators count everywhere: the titles come from media made for
  // Windows, where "\\" separates folders, and a name Windows refuses is not
  // saved elsewhere either.
  return FileName != "." && FileName != ".." && FileName.find_first_of(rtl::PathBreaks) == std::string::npos &&
         FileName.find_first_of("\\/") == std::string::npos;
}

void CreateShortcut(IUserFolders& Folders, IShortcutWriter& Writer, const std::string& Target,
                    const std::string& LinkName, uint8_t Kind, const std::string& Folder, const std::string& WorkDir,
                    const std::string& Arguments, const std::string& Description, std::string& LinkPath,
                    const std::string& StandIn) {
  TShortcut Link{Target, Arguments, Description, WorkDir, StandIn};
  const std::string FileName = ShortcutFileName(LinkName, Writer.Extension());
  if (!IsPlainFileName(FileName)) return;
  const std::string L = Kind == lkGivenFolder ? Folder : Folders.LocationFolder(Kind);
  if (L.empty()) return;
  // No folder is made on the way: a missing sub-folder only makes the save
  // fail, quietly.
  const std::string Sep(1, rtl::PathDelim);
  const std::string Path =
      !Folder.empty() && Kind != lkGivenFolder ? L + Sep + Folder + Sep + FileName : L + Sep + FileName;
  if (Link.WorkDir.empty()) {
    const size_t Slash = Target.find_last_of(rtl::PathBreaks);
    Link.WorkDir = Slash == std::string::npos ? std::string() : Target.substr(0, Slash + 1);
  }
  Writer.Save(Link, Path, Kind);
  LinkPath = Path;
}

std::string ProgramsFolder(IUserFolders& Folders) { return Folders.ProgramsFolder(); }

} // namespace launcher
