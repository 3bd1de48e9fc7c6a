#include "archive/AbZBrows.h"

#include "archive/AbEndian.h"
#include "archive/AbExcept.h"
#include "archive/AbZipConst.h"
#include "archive/AbTarTyp.h"
#include "rtl/FileSys.h"

namespace ab {

namespace {

// The file starts with a ZIP local header: a ZIP archive, whatever has
// become of its end.
bool StartsWithLocalHeader(const std::string& FileName) {
  try {
    rtl::TFileStream f(FileName, rtl::fmOpenRead | rtl::fmShareDenyNone);
    uint8_t sig[4];
    return f.Read(sig, 4) == 4 && AbGetLE32(sig) == Ab_ZipLocalFileHeaderSignature;
  } catch (const std::exception&) {
    return false;
  }
}

} // namespace

TAbZipItem* TAbCustomZipBrowser::GetZipItem(int Index) const {
  RequireArchive();
  return dynamic_cast<TAbZipItem*>(FArchive->ItemList().Get(Index));
}

std::string TAbCustomZipBrowser::ZipfileComment() const {
  if (auto* zip = ZipArchive()) return zip->ZipfileComment();
  return "";
}

void TAbCustomZipBrowser::SetPassword(const std::string& Value) {
  FPassword = Value;
  if (auto* zip = ZipArchive()) zip->SetPassword(Value);
}

bool TAbCustomZipBrowser::TarAutoHandle() const {
  if (auto* gz = dynamic_cast<TAbGzipArchive*>(FArchive.get())) return gz->TarAutoHandle();
  if (auto* bz = dynamic_cast<TAbBzip2Archive*>(FArchive.get())) return bz->TarAutoHandle();
  return false;
}

void TAbCustomZipBrowser::SetTarAutoHandle(bool Value) {
  FTarAutoHandle = Value;
  bool changed = false;
  if (auto* gz = dynamic_cast<TAbGzipArchive*>(FArchive.get()); gz && gz->TarAutoHandle() != Value) {
    gz->SetTarAutoHandle(Value);
    changed = true;
  } else if (auto* bz = dynamic_cast<TAbBzip2Archive*>(FArchive.get()); bz && bz->TarAutoHandle() != Value) {
    bz->SetTarAutoHandle(Value);
    changed = true;
  }
  if (changed) {
    WireArchive();
    FArchive->Load();
    NotifyChange();
  }
}

void TAbCustomZipBrowser::SetOnRequestLastDisk(TAbRequestDiskEvent V) {
  FOnRequestLastDisk = std::move(V);
  if (auto* zip = ZipArchive()) zip->OnRequestLastDisk = FOnRequestLastDisk;
}

void TAbCustomZipBrowser::SetOnRequestNthDisk(TAbRequestNthDiskEvent V) {
  FOnRequestNthDisk = std::move(V);
  if (auto* zip = ZipArchive()) zip->OnRequestNthDisk = FOnRequestNthDisk;
}

void TAbCustomZipBrowser::WireArchive() {
  TAbBaseBrowser::WireArchive();
  if (auto* zip = ZipArchive()) {
    zip->SetPassword(FPassword);
    zip->OnRequestLastDisk = FOnRequestLastDisk;
    zip->OnRequestNthDisk = FOnRequestNthDisk;
  }
}

void TAbCustomZipBrowser::SetFileName(const std::string& Value) {
  if (!Value.empty()) {
    if (!rtl::FileExists(Value)) throw EAbFileNotFound();
    if (rtl::FileSizeOf(Value) <= 0) throw EAbBadStream();
  }
  FFileName = Value;
  ReleaseArchive();
  if (!FFileName.empty() && rtl::FileExists(FFileName)) {
    TAbArchiveType kind = FForceType ? FArchiveType : DetectArchiveKind(FFileName);
    if (kind == atUnknown && FReadLocalHeaders && StartsWithLocalHeader(FFileName)) kind = atZip;
    FArchive = CreateArchive(kind, FFileName, nullptr);
    if (auto* zip = dynamic_cast<TAbZipArchive*>(FArchive.get())) zip->SetReadLocalHeaders(FReadLocalHeaders);
    if (auto* gz = dynamic_cast<TAbGzipArchive*>(FArchive.get())) gz->SetTarAutoHandle(FTarAutoHandle);
    if (auto* bz = dynamic_cast<TAbBzip2Archive*>(FArchive.get())) bz->SetTarAutoHandle(FTarAutoHandle);
    bool zip = ZipArchive() != nullptr;
    if (zip)
      WireArchive();
    else
      TAbBaseBrowser::WireArchive();
    FArchive->Load();
    FArchiveType = kind;
  }
  NotifyChange();
}

} // namespace ab
