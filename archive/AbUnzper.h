// AbUnzper: the unzipper component, the engine's front door.
//
// Setting FileName finds the archive's kind, opens and loads it, wiring the
// component's settings, events and the extraction pipeline's hooks into it;
// ExtractFiles and friends forward to the archive's extraction loop.
#pragma once

#include <string>

#include "archive/AbZBrows.h"

namespace ab {

class TAbCustomUnZipper : public TAbCustomZipBrowser {
public:
  TAbCustomUnZipper();

  TAbExtractOptions ExtractOptions() const { return FExtractOptions; }
  void SetExtractOptions(TAbExtractOptions Value);
  uint8_t PasswordRetries() const { return FPasswordRetries; }
  void SetPasswordRetries(uint8_t Value);

  TAbConfirmOverwriteEvent OnConfirmOverwrite;
  TAbNeedPasswordEvent OnNeedPassword;

  virtual void ConfirmOverwrite(std::string& Name, bool& Confirm);
  virtual void RequestPassword(std::string& NewPassword);

protected:
  void WireArchive() override;

  TAbExtractOptions FExtractOptions{eoCreateDirs};
  uint8_t FPasswordRetries = 3;
};

class TAbUnZipper : public TAbCustomUnZipper {
public:
  std::string Version() const { return "5.0"; }
  void SetVersion(const std::string&) {}
};

} // namespace ab
