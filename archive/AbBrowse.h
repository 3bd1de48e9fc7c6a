// AbBrowse: the base of the engine's components, and archive-kind detection.
//
// The component chain is
//   TAbBaseComponent -> TAbBaseBrowser -> TAbCustomZipBrowser (AbZBrows)
//     -> TAbCustomUnZipper -> TAbUnZipper (AbUnzper).
// A browser holds the settings that outlive any one archive (base folder,
// meters, log, event handlers), owns at most one archive object at a time,
// and wires its settings and event routing into every archive it opens
// (WireArchive). Events reach the caller with the component as Sender.
//
// Kind detection: the file name's extension first; an unknown extension
// runs the content checks in a fixed order (self-extracting ZIP, ZIP, tar,
// gzip, bzip2, cabinet); a known extension runs only its own check, so a
// ".zip" that is no ZIP is atUnknown. Extensions, checks, their order and
// the archive object of each kind are one table, the format list in
// AbBrowse.cpp. There is no cabinet library on this
// platform: the cabinet check looks for the cabinet signature itself, and a
// cabinet then fails the open as an unhandled type.
#pragma once

#include <memory>
#include <string>

#include "archive/AbArcTyp.h"
#include "archive/AbProgressMeter.h"

namespace ab {

class TAbBaseComponent : public TObject {};

TAbArchiveType DetectArchiveKind(const std::string& FileName, TAbArchiveType Asserted = atUnknown);
TAbArchiveType DetectStreamKind(rtl::TStream& Stream);
// The cabinet check; the other formats' checks live with their archives
// (DetectZip, DetectTar, ...). Each leaves the stream where it found it.
TAbArchiveType DetectCab(rtl::TStream& Stream);

class TAbBaseBrowser : public TAbBaseComponent {
public:
  TAbBaseBrowser() = default;
  ~TAbBaseBrowser() override;
  TAbBaseBrowser(const TAbBaseBrowser&) = delete;
  TAbBaseBrowser& operator=(const TAbBaseBrowser&) = delete;

  // ---- operations (EAbNoArchive without an open archive, unless noted)
  void ExtractFiles(const std::string& FileMask);
  void ExtractFilesEx(const std::string& FileMask, const std::string& ExclusionMask);
  void ExtractAt(int Index, const std::string& NewName);
  void ExtractToStream(const std::string& FileName, rtl::TStream* ToStream);
  void ExtractTaggedItems();
  void TestTaggedItems();
  void TagItems(const std::string& FileMask);
  void UnTagItems(const std::string& FileMask);
  void ClearTags();
  int FindItem(TAbArchiveItem* Item) const;     // -1 without an archive
  int FindFile(const std::string& FileName) const;  // -1 without an archive
  TAbArchiveItem* GetItem(int Index) const;
  void OpenArchive(const std::string& FileName) { SetFileName(FileName); }
  void CloseArchive();

  // ---- properties
  IAbProgressMeter* ArchiveProgressMeter() const { return FArchiveProgressMeter; }
  void SetArchiveProgressMeter(IAbProgressMeter* V) { FArchiveProgressMeter = V; }
  IAbProgressMeter* ItemProgressMeter() const { return FItemProgressMeter; }
  void SetItemProgressMeter(IAbProgressMeter* V) { FItemProgressMeter = V; }
  // A meter going away: the references to it are cleared (item meter first).
  void MeterRemoved(IAbProgressMeter* Meter);
  const std::string& BaseDirectory() const { return FBaseDirectory; }
  void SetBaseDirectory(const std::string& Value);
  const std::string& FileName() const { return FFileName; }
  virtual void SetFileName(const std::string& Value) = 0;
  const std::string& LogFile() const { return FLogFile; }
  void SetLogFile(const std::string& Value);
  bool Logging() const { return FLogging; }
  void SetLogging(bool Value);
  const std::string& TempDirectory() const { return FTempDirectory; }
  void SetTempDirectory(const std::string& Value);
  int32_t SpanningThreshold() const { return FSpanningThreshold; }
  int Count() const { return FArchive ? FArchive->Count() : 0; }
  TAbArchiveStatus Status() const { return FArchive ? FArchive->Status() : asInvalid; }
  TAbArchiveType ArchiveType() const { return FArchiveType; }
  void SetArchiveType(TAbArchiveType Value);
  bool ForceType() const { return FForceType; }
  void SetForceType(bool V) { FForceType = V; }
  TAbArchive* Archive() const { return FArchive.get(); }
  rtl::TStream* Stream() const { return FArchive ? FArchive->Stream() : nullptr; }
  void SetStream(rtl::TStream* S);

  // ---- events (Sender is the component)
  TAbArchiveProgressEvent OnArchiveProgress;
  TAbArchiveItemProgressEvent OnArchiveItemProgress;
  TAbArchiveEvent OnChange;
  TAbArchiveItemConfirmEvent OnConfirmProcessItem;
  TAbArchiveEvent OnLoad;
  TAbArchiveItemFailureEvent OnProcessItemFailure;
  // The whole failure while an OnProcessItemFailure handler runs, else null.
  const TAbItemFailure* CurrentFailure() const { return FArchive ? FArchive->CurrentFailure() : nullptr; }
  const TAbRequestImageEvent& OnRequestImage() const { return FOnRequestImage; }
  virtual void SetOnRequestImage(TAbRequestImageEvent V);

  // ---- notifiers
  virtual void ResetMeters();
  virtual void NotifyItemProgress(TAbArchiveItem* Item, uint8_t Progress, bool& Abort);
  virtual void NotifyArchiveProgress(uint8_t Progress, bool& Abort);
  virtual void NotifyChange();
  virtual void ConfirmItem(TAbArchiveItem* Item, TAbProcessType ProcessType, bool& Confirm);
  virtual void NotifyLoad();
  virtual void NotifyItemFailure(TAbArchiveItem* Item, TAbProcessType ProcessType, TAbErrorClass ErrorClass, int ErrorCode);

protected:
  virtual void WireArchive();
  void RequireArchive() const;
  // Asks the open archive to save (ignoring failures) and releases it.
  void ReleaseArchive();
  // Creates the archive object of a kind, on a file or on a stream.
  virtual std::unique_ptr<TAbArchive> CreateArchive(TAbArchiveType Kind, const std::string& FileName, rtl::TStream* S);

  std::unique_ptr<TAbArchive> FArchive;
  int32_t FSpanningThreshold = 0;
  IAbProgressMeter* FItemProgressMeter = nullptr;
  IAbProgressMeter* FArchiveProgressMeter = nullptr;
  std::string FBaseDirectory;
  std::string FFileName;
  std::string FLogFile;
  bool FLogging = false;
  TAbRequestImageEvent FOnRequestImage;
  std::string FTempDirectory;
  TAbArchiveType FArchiveType = atUnknown;
  bool FForceType = false;
};

} // namespace ab
