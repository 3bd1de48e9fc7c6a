#include "archive/AbUnzper.h"

#include "archive/AbUnzPrc.h"

namespace ab {

TAbCustomUnZipper::TAbCustomUnZipper() = default;

void TAbCustomUnZipper::SetExtractOptions(TAbExtractOptions Value) {
  FExtractOptions = Value;
  if (FArchive) FArchive->SetExtractOptions(Value);
}

void TAbCustomUnZipper::SetPasswordRetries(uint8_t Value) {
  FPasswordRetries = Value;
  if (auto* zip = ZipArchive()) zip->SetPasswordRetries(Value);
}

void TAbCustomUnZipper::ConfirmOverwrite(std::string& Name, bool& Confirm) {
  Confirm = true;
  if (OnConfirmOverwrite) OnConfirmOverwrite(Name, Confirm);
}

void TAbCustomUnZipper::RequestPassword(std::string& NewPassword) {
  if (!OnNeedPassword) return;
  OnNeedPassword(this, NewPassword);
  SetPassword(NewPassword);
}

void TAbCustomUnZipper::WireArchive() {
  TAbCustomZipBrowser::WireArchive();
  if (!FArchive) return;
  FArchive->SetExtractOptions(FExtractOptions);
  FArchive->OnConfirmOverwrite = [this](std::string& n, bool& c) { ConfirmOverwrite(n, c); };
  if (auto* zip = ZipArchive()) {
    zip->SetPasswordRetries(FPasswordRetries);
    zip->OnNeedPassword = [this](TObject*, std::string& p) { RequestPassword(p); };
    zip->ExtractHelper = ExtractItemToFile;
    zip->ExtractToStreamHelper = ExtractItemToStream;
    zip->TestHelper = VerifyItem;
  }
}

} // namespace ab
