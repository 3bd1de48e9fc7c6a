// AbZBrows: the ZIP-aware browser: the password and the disk requests of
// spanned sets, passed to every ZIP archive it opens.
#pragma once

#include <string>

#include "archive/AbBrowse.h"
#include "archive/AbZipTyp.h"

namespace ab {

class TAbCustomZipBrowser : public TAbBaseBrowser {
public:
  // The ZIP item at Index.
  TAbZipItem* GetZipItem(int Index) const;
  TAbZipArchive* ZipArchive() const { return dynamic_cast<TAbZipArchive*>(FArchive.get()); }
  // The ZIP archive's comment; empty for other kinds.
  std::string ZipfileComment() const;
  virtual void SetZipfileComment(const std::string&) {}

  // Bytes in the system's ANSI code page.
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& Value);
  bool TarAutoHandle() const;
  void SetTarAutoHandle(bool Value);

  const TAbRequestDiskEvent& OnRequestLastDisk() const { return FOnRequestLastDisk; }
  void SetOnRequestLastDisk(TAbRequestDiskEvent V);
  const TAbRequestNthDiskEvent& OnRequestNthDisk() const { return FOnRequestNthDisk; }
  void SetOnRequestNthDisk(TAbRequestNthDiskEvent V);
  TAbRequestDiskEvent OnRequestBlankDisk;  // never passed on

  // Read a ZIP archive whose directory cannot be read from its local
  // headers instead (TAbZipArchive::SetReadLocalHeaders); a file that
  // starts with a local header is then taken as a ZIP archive even without
  // an end record. Off by default. Takes effect at the next SetFileName.
  void SetReadLocalHeaders(bool Value) { FReadLocalHeaders = Value; }

  void SetFileName(const std::string& Value) override;

protected:
  void WireArchive() override;

  std::string FPassword;
  TAbRequestDiskEvent FOnRequestLastDisk;
  TAbRequestNthDiskEvent FOnRequestNthDisk;
  bool FTarAutoHandle = false;
  bool FReadLocalHeaders = false;
};

} // namespace ab
