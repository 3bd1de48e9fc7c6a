#include "archive/AbBrowse.h"

#include <bzlib.h>

#include <cstring>
#include <vector>

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

namespace {

// Restores a stream's position when a check is done.
class PositionKeeper {
public:
  explicit PositionKeeper(rtl::TStream& s) : FStream(s), FPos(s.Position()) {}
  ~PositionKeeper() { FStream.Seek(FPos, soBeginning); }

private:
  rtl::TStream& FStream;
  int64_t FPos;
};

int64_t ReadSome(rtl::TStream& s, void* buf, int64_t n) {
  int64_t got = 0;
  while (got < n) {
    int64_t r = s.Read(static_cast<uint8_t*>(buf) + got, n - got);
    if (r <= 0) break;
    got += r;
  }
  return got;
}

TAbArchiveType KindFromExtension(const std::string& FileName) {
  size_t slash = FileName.find_last_of("/\\:");
  size_t dot = FileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return atUnknown;
  std::string ext = rtl::AsciiUpper(FileName.substr(dot));
  if (ext == ".ZIP" || ext == ".JAR") return atZip;
  if (ext == ".EXE") return atSelfExtZip;
  if (ext == ".TAR") return atTar;
  if (ext == ".GZ") return atGzip;
  if (ext == ".TGZ") return atGzippedTar;
  if (ext == ".CAB") return atCab;
  if (ext == ".BZ2") return atBzip2;
  if (ext == ".TBZ") return atBzippedTar;
  return atUnknown;
}

} // namespace

bool IsTarHeader(const uint8_t* Block, int64_t Size) {
  if (Size < 512) return false;
  // The checksum field (offset 148, 8 bytes, octal) sums the header's bytes
  // with the field itself taken as blanks.
  uint32_t sum = 0;
  for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : Block[i];
  const uint8_t* f = Block + 148;
  int i = 0;
  while (i < 8 && f[i] == ' ') ++i;
  if (i == 8 || f[i] < '0' || f[i] > '7') return false;
  uint32_t stored = 0;
  for (; i < 8 && f[i] >= '0' && f[i] <= '7'; ++i) stored = stored * 8 + (f[i] - '0');
  for (; i < 8; ++i)
    if (f[i] != ' ' && f[i] != 0) return false;
  return stored == sum;
}

TAbArchiveType DetectTar(rtl::TStream& Stream) {
  PositionKeeper keep(Stream);
  try {
    uint8_t block[512];
    return IsTarHeader(block, ReadSome(Stream, block, 512)) ? atTar : atUnknown;
  } catch (const rtl::EReadError&) {
    return atUnknown;
  }
}

TAbArchiveType DetectGzip(rtl::TStream& Stream) {
  PositionKeeper keep(Stream);
  try {
    uint8_t head[10];
    Stream.Seek(0, soBeginning);
    if (ReadSome(Stream, head, 10) < 10 || head[0] != 0x1F || head[1] != 0x8B || head[2] != 8) return atUnknown;
    std::string first = GzipPeek(Stream, 512);
    return IsTarHeader(reinterpret_cast<const uint8_t*>(first.data()), static_cast<int64_t>(first.size()))
               ? atGzippedTar
               : atGzip;
  } catch (const rtl::EReadError&) {
    return atUnknown;
  }
}

TAbArchiveType DetectBzip2(rtl::TStream& Stream) {
  PositionKeeper keep(Stream);
  try {
    uint8_t head[10];
    Stream.Seek(0, soBeginning);
    if (ReadSome(Stream, head, 10) < 10 || std::memcmp(head, "BZh", 3) != 0 || head[3] < '1' || head[3] > '9' ||
        std::memcmp(head + 4, "1AY&SY", 6) != 0)
      return atUnknown;
    // Exactly 1024 bytes of decompressed data, or it is not usable.
    Stream.Seek(0, soBeginning);
    bz_stream bz{};
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) return atUnknown;
    std::vector<char> in(4096), out(1024);
    bz.next_out = out.data();
    bz.avail_out = 1024;
    int rc = BZ_OK;
    while (bz.avail_out > 0 && rc == BZ_OK) {
      if (bz.avail_in == 0) {
        int64_t n = ReadSome(Stream, in.data(), static_cast<int64_t>(in.size()));
        if (n <= 0) break;
        bz.next_in = in.data();
        bz.avail_in = static_cast<unsigned>(n);
      }
      rc = BZ2_bzDecompress(&bz);
    }
    bool full = bz.avail_out == 0;
    BZ2_bzDecompressEnd(&bz);
    // A complete stream shorter than 1024 bytes is still bzip2 (too short
    // for a tar inside); only data that breaks off early is not.
    if (!full) return rc == BZ_STREAM_END ? atBzip2 : atUnknown;
    return IsTarHeader(reinterpret_cast<const uint8_t*>(out.data()), 1024) ? atBzippedTar : atBzip2;
  } catch (const rtl::EReadError&) {
    return atUnknown;
  }
}

TAbArchiveType DetectCab(rtl::TStream& Stream) {
  // No cabinet library here: recognise the cabinet header itself ("MSCF",
  // four reserved zero bytes, and a cabinet size that is not larger than
  // the file), so that a cabinet is told apart and then refused.
  PositionKeeper keep(Stream);
  uint8_t head[12];
  Stream.Seek(0, soBeginning);
  if (ReadSome(Stream, head, 12) < 12 || std::memcmp(head, "MSCF", 4) != 0) return atUnknown;
  const uint32_t reserved = AbGetLE32(head + 4), size = AbGetLE32(head + 8);
  if (reserved != 0 || size > static_cast<uint64_t>(Stream.Size())) return atUnknown;
  return atCab;
}

TAbArchiveType DetectStreamKind(rtl::TStream& Stream) {
  using Check = TAbArchiveType (*)(rtl::TStream&);
  static const Check kChecks[] = {DetectSelfExtractingZip, DetectZip, DetectTar, DetectGzip, DetectBzip2, DetectCab};
  for (Check c : kChecks) {
    TAbArchiveType k = c(Stream);
    if (k != atUnknown) return k;
  }
  return atUnknown;
}

TAbArchiveType DetectArchiveKind(const std::string& FileName, TAbArchiveType Asserted) {
  TAbArchiveType kind = Asserted;
  if (kind == atUnknown) kind = KindFromExtension(FileName);
  if (!rtl::FileExists(FileName) || rtl::FileSizeOf(FileName) <= 0) return kind;
  rtl::TFileStream fs(FileName, rtl::fmOpenRead | rtl::fmShareDenyNone);
  switch (kind) {
    case atUnknown: return DetectStreamKind(fs);
    case atZip: return DetectZip(fs);
    case atSelfExtZip: return DetectSelfExtractingZip(fs);
    case atTar: return DetectTar(fs);
    case atGzip:
    case atGzippedTar: return DetectGzip(fs);
    case atCab: return DetectCab(fs);
    case atBzip2:
    case atBzippedTar: return DetectBzip2(fs);
    default: return kind;
  }
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
  const uint16_t mode = rtl::fmOpenRead | rtl::fmShareDenyNone;
  switch (Kind) {
    case atZip:
    case atSpannedZip:
    case atSelfExtZip:
      return S ? std::make_unique<TAbZipArchive>(S, "") : std::make_unique<TAbZipArchive>(FileName, mode);
    case atTar:
      return S ? std::make_unique<TAbTarArchive>(S, "") : std::make_unique<TAbTarArchive>(FileName, mode);
    case atGzip:
    case atGzippedTar: {
      auto a = S ? std::make_unique<TAbGzipArchive>(S, "") : std::make_unique<TAbGzipArchive>(FileName, mode);
      a->SetIsGzippedTar(Kind == atGzippedTar);
      return a;
    }
    case atBzip2:
    case atBzippedTar: {
      auto a = S ? std::make_unique<TAbBzip2Archive>(S, "") : std::make_unique<TAbBzip2Archive>(FileName, mode);
      a->SetIsBzippedTar(Kind == atBzippedTar);
      return a;
    }
    default: throw EAbUnhandledType();
  }
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
