#include "archive/AbBrowse.h"

#include <cstring>

#include "archive/AbEndian.h"
#include "archive/AbExcept.h"
#include "archive/AbTarTyp.h"
#include "archive/AbZipTyp.h"
#include "rtl/FileSys.h"
#include "rtl/Text.h"

namespace ab {

// ===========================================================================
// Content checks
// ===========================================================================

TAbArchiveType DetectCab(rtl::TStream& Stream) {
  // No cabinet library here: recognise the cabinet header itself ("MSCF",
  // four reserved zero bytes, and a cabinet size that is not larger than
  // the file), so that a cabinet is told apart and then refused.
  rtl::TStreamPositionKeeper keep(Stream);
  uint8_t head[12];
  Stream.Seek(0, soBeginning);
  if (Stream.ReadUpTo(head, 12) < 12 || std::memcmp(head, "MSCF", 4) != 0) return atUnknown;
  const uint32_t reserved = AbGetLE32(head + 4), size = AbGetLE32(head + 8);
  if (reserved != 0 || size > static_cast<uint64_t>(Stream.Size())) return atUnknown;
  return atCab;
}

// ===========================================================================
// The format list
// ===========================================================================

namespace {

template <class TArchive>
std::unique_ptr<TArchive> Open(const std::string& FileName, rtl::TStream* S) {
  return S ? std::make_unique<TArchive>(S, "") : std::make_unique<TArchive>(FileName, rtl::fmOpenRead | rtl::fmShareDenyNone);
}

std::unique_ptr<TAbArchive> CreateZip(TAbArchiveType, const std::string& FileName, rtl::TStream* S) {
  return Open<TAbZipArchive>(FileName, S);
}

std::unique_ptr<TAbArchive> CreateTar(TAbArchiveType, const std::string& FileName, rtl::TStream* S) {
  return Open<TAbTarArchive>(FileName, S);
}

std::unique_ptr<TAbArchive> CreateGzip(TAbArchiveType Kind, const std::string& FileName, rtl::TStream* S) {
  auto a = Open<TAbGzipArchive>(FileName, S);
  a->SetIsGzippedTar(Kind == atGzippedTar);
  return a;
}

std::unique_ptr<TAbArchive> CreateBzip2(TAbArchiveType Kind, const std::string& FileName, rtl::TStream* S) {
  auto a = Open<TAbBzip2Archive>(FileName, S);
  a->SetIsBzippedTar(Kind == atBzippedTar);
  return a;
}

struct TAbExtension {
  const char* Text;  // upper case, dot included
  TAbArchiveType Kind;
};

// One row per archive format, in the order the content checks run. A row's
// check answers one of its kinds or atUnknown; an extension names a kind
// and, when asserted or found, only its own row's check runs. A format
// without an archive object (cabinet: no cabinet library here) is told
// apart and then refused.
struct TAbArchiveFormat {
  TAbArchiveType Kinds[2];
  TAbExtension Extensions[2];
  TAbArchiveType (*Check)(rtl::TStream& Stream);
  std::unique_ptr<TAbArchive> (*Create)(TAbArchiveType Kind, const std::string& FileName, rtl::TStream* S);
};

const TAbArchiveFormat kFormats[] = {
    {{atSelfExtZip}, {{".EXE", atSelfExtZip}}, DetectSelfExtractingZip, CreateZip},
    {{atZip, atSpannedZip}, {{".ZIP", atZip}, {".JAR", atZip}}, DetectZip, CreateZip},
    {{atTar}, {{".TAR", atTar}}, DetectTar, CreateTar},
    {{atGzip, atGzippedTar}, {{".GZ", atGzip}, {".TGZ", atGzippedTar}}, DetectGzip, CreateGzip},
    {{atBzip2, atBzippedTar}, {{".BZ2", atBzip2}, {".TBZ", atBzippedTar}}, DetectBzip2, CreateBzip2},
    {{atCab}, {{".CAB", atCab}}, DetectCab, nullptr},
};

// The row whose extensions name Kind (Named) or whose check answers it.
const TAbArchiveFormat* FindFormat(TAbArchiveType Kind, bool Named) {
  if (Kind == atUnknown) return nullptr;
  for (const TAbArchiveFormat& f : kFormats) {
    if (Named) {
      for (const TAbExtension& e : f.Extensions)
        if (e.Text && e.Kind == Kind) return &f;
    } else if (f.Kinds[0] == Kind || f.Kinds[1] == Kind) {
      return &f;
    }
  }
  return nullptr;
}

TAbArchiveType KindFromExtension(const std::string& FileName) {
  size_t slash = FileName.find_last_of("/\\:");
  size_t dot = FileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return atUnknown;
  const std::string ext = rtl::AsciiUpper(FileName.substr(dot));
  for (const TAbArchiveFormat& f : kFormats)
    for (const TAbExtension& e : f.Extensions)
      if (e.Text && ext == e.Text) return e.Kind;
  return atUnknown;
}

} // namespace

TAbArchiveType DetectStreamKind(rtl::TStream& Stream) {
  for (const TAbArchiveFormat& f : kFormats) {
    TAbArchiveType k = f.Check(Stream);
    if (k != atUnknown) return k;
  }
  return atUnknown;
}

TAbArchiveType DetectArchiveKind(const std::string& FileName, TAbArchiveType Asserted) {
  TAbArchiveType kind = Asserted;
  if (kind == atUnknown) kind = KindFromExtension(FileName);
  if (!rtl::FileExists(FileName) || rtl::FileSizeOf(FileName) <= 0) return kind;
  rtl::TFileStream fs(FileName, rtl::fmOpenRead | rtl::fmShareDenyNone);
  if (kind == atUnknown) return DetectStreamKind(fs);
  // A kind no extension names (a spanned set) is taken as it is.
  const TAbArchiveFormat* format = FindFormat(kind, true);
  return format ? format->Check(fs) : kind;
}

// ===========================================================================
// TAbBaseBrowser
// ===========================================================================

TAbBaseBrowser::~TAbBaseBrowser() = default;

void TAbBaseBrowser::RequireArchive() const {
  if (!FArchive) throw EAbNoArchive();
}

void TAbBaseBrowser::ExtractFiles(const std::string& FileMask) {
  RequireArchive();
  FArchive->ExtractFiles(FileMask);
}

void TAbBaseBrowser::ExtractFilesEx(const std::string& FileMask, const std::string& ExclusionMask) {
  RequireArchive();
  FArchive->ExtractFilesEx(FileMask, ExclusionMask);
}

void TAbBaseBrowser::ExtractAt(int Index, const std::string& NewName) {
  RequireArchive();
  FArchive->ExtractAt(Index, NewName);
}

void TAbBaseBrowser::ExtractToStream(const std::string& FileName, rtl::TStream* ToStream) {
  RequireArchive();
  FArchive->ExtractToStream(FileName, ToStream);
}

void TAbBaseBrowser::ExtractTaggedItems() {
  RequireArchive();
  FArchive->ExtractTaggedItems();
}

void TAbBaseBrowser::TestTaggedItems() {
  RequireArchive();
  FArchive->TestTaggedItems();
}

void TAbBaseBrowser::TagItems(const std::string& FileMask) {
  RequireArchive();
  FArchive->TagItems(FileMask);
}

void TAbBaseBrowser::UnTagItems(const std::string& FileMask) {
  RequireArchive();
  FArchive->UnTagItems(FileMask);
}

void TAbBaseBrowser::ClearTags() {
  RequireArchive();
  FArchive->ClearTags();
}

int TAbBaseBrowser::FindItem(TAbArchiveItem* Item) const { return FArchive ? FArchive->FindItem(Item) : -1; }

int TAbBaseBrowser::FindFile(const std::string& FileName) const { return FArchive ? FArchive->FindFile(FileName) : -1; }

TAbArchiveItem* TAbBaseBrowser::GetItem(int Index) const {
  RequireArchive();
  return FArchive->ItemList().Get(Index);
}

void TAbBaseBrowser::CloseArchive() {
  if (!FFileName.empty()) SetFileName("");
}

void TAbBaseBrowser::MeterRemoved(IAbProgressMeter* Meter) {
  if (FItemProgressMeter == Meter) FItemProgressMeter = nullptr;
  if (FArchiveProgressMeter == Meter) FArchiveProgressMeter = nullptr;
}

void TAbBaseBrowser::SetBaseDirectory(const std::string& Value) {
  if (FArchive) {
    FArchive->SetBaseDirectory(Value);
    FBaseDirectory = FArchive->BaseDirectory();
  } else {
    FBaseDirectory = Value;
  }
}

void TAbBaseBrowser::SetLogFile(const std::string& Value) {
  FLogFile = Value;
  if (FArchive) FArchive->SetLogFile(Value);
  SetLogging(!Value.empty());
}

void TAbBaseBrowser::SetLogging(bool Value) {
  FLogging = Value;
  if (FArchive) FArchive->SetLogging(Value);
}

void TAbBaseBrowser::SetTempDirectory(const std::string& Value) {
  FTempDirectory = Value;
  if (FArchive) FArchive->SetTempDirectory(Value);
}

void TAbBaseBrowser::SetArchiveType(TAbArchiveType Value) {
  if (FArchive && FArchive->Status() == asInvalid) throw EAbArchiveBusy();
  FArchiveType = Value;
}

void TAbBaseBrowser::SetOnRequestImage(TAbRequestImageEvent V) {
  FOnRequestImage = std::move(V);
  if (FArchive) FArchive->OnRequestImage = FOnRequestImage;
}

void TAbBaseBrowser::ReleaseArchive() {
  if (!FArchive) return;
  try {
    FArchive->Save();
  } catch (...) {
    // A failed save must not keep the next archive from opening.
  }
  FArchive.reset();
}

void TAbBaseBrowser::SetStream(rtl::TStream* S) {
  FFileName.clear();
  ReleaseArchive();
  if (S) {
    TAbArchiveType kind = FForceType ? FArchiveType : DetectStreamKind(*S);
    FArchive = CreateArchive(kind, "", S);
    WireArchive();
    FArchive->Load();
    FArchiveType = kind;
  }
  NotifyChange();
}

std::unique_ptr<TAbArchive> TAbBaseBrowser::CreateArchive(TAbArchiveType Kind, const std::string& FileName,
                                                          rtl::TStream* S) {
  const TAbArchiveFormat* format = FindFormat(Kind, false);
  if (!format || !format->Create) throw EAbUnhandledType();
  return format->Create(Kind, FileName, S);
}

// ---- notifiers

void TAbBaseBrowser::ResetMeters() {
  if (FArchiveProgressMeter) FArchiveProgressMeter->Reset();
  if (FItemProgressMeter) FItemProgressMeter->Reset();
}

void TAbBaseBrowser::NotifyItemProgress(TAbArchiveItem* Item, uint8_t Progress, bool& Abort) {
  Abort = false;
  if (FItemProgressMeter) FItemProgressMeter->DoProgress(Progress);
  if (OnArchiveItemProgress) OnArchiveItemProgress(this, Item, Progress, Abort);
}

void TAbBaseBrowser::NotifyArchiveProgress(uint8_t Progress, bool& Abort) {
  Abort = false;
  if (FArchiveProgressMeter) FArchiveProgressMeter->DoProgress(Progress);
  if (OnArchiveProgress) OnArchiveProgress(this, Progress, Abort);
}

void TAbBaseBrowser::NotifyChange() {
  if (OnChange) OnChange(this);
}

void TAbBaseBrowser::ConfirmItem(TAbArchiveItem* Item, TAbProcessType ProcessType, bool& Confirm) {
  Confirm = true;
  if (FItemProgressMeter) FItemProgressMeter->Reset();
  if (OnConfirmProcessItem) OnConfirmProcessItem(this, Item, ProcessType, Confirm);
}

void TAbBaseBrowser::NotifyLoad() {
  if (OnLoad) OnLoad(this);
}

void TAbBaseBrowser::NotifyItemFailure(TAbArchiveItem* Item, TAbProcessType ProcessType, TAbErrorClass ErrorClass,
                                       int ErrorCode) {
  if (OnProcessItemFailure) OnProcessItemFailure(this, Item, ProcessType, ErrorClass, ErrorCode);
}

void TAbBaseBrowser::WireArchive() {
  ResetMeters();
  if (!FArchive) return;
  FArchive->SetSpanningThreshold(FSpanningThreshold);
  FArchive->SetLogFile(FLogFile);
  FArchive->SetLogging(FLogging);
  FArchive->SetTempDirectory(FTempDirectory);
  SetBaseDirectory(FBaseDirectory);
  FArchive->OnArchiveProgress = [this](TObject*, uint8_t p, bool& a) { NotifyArchiveProgress(p, a); };
  FArchive->OnArchiveItemProgress = [this](TObject*, TAbArchiveItem* i, uint8_t p, bool& a) {
    NotifyItemProgress(i, p, a);
  };
  FArchive->OnConfirmProcessItem = [this](TObject*, TAbArchiveItem* i, TAbProcessType t, bool& c) {
    ConfirmItem(i, t, c);
  };
  FArchive->OnLoad = [this](TObject*) { NotifyLoad(); };
  FArchive->OnProcessItemFailure = [this](TObject*, TAbArchiveItem* i, TAbProcessType t, TAbErrorClass ec, int code) {
    NotifyItemFailure(i, t, ec, code);
  };
  FArchive->OnRequestImage = FOnRequestImage;
}

} // namespace ab
