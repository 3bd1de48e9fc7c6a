#include "archive/AbSpanSt.h"

#include "archive/AbExcept.h"
#include "archive/AbZipTyp.h"
#include "rtl/Drives.h"
#include "rtl/FileSys.h"

namespace ab {

// ===========================================================================
// Volume names
// ===========================================================================

std::string TAbSpanBaseStream::GetImageName(int ImageNumber) {
  std::string ext = rtl::ExtractFileExt(FArchiveName);
  std::string digits = rtl::Format("%.2d", ImageNumber);
  std::string newExt = ext.size() < 2 ? "." + digits : ext.substr(0, 2) + digits;
  std::string name = FArchiveName.substr(0, FArchiveName.size() - ext.size()) + newExt;
  if (FOnRequestImage) {
    bool abort = false;
    FOnRequestImage(this, ImageNumber, name, abort);
    if (abort) throw EAbUserAbort();
  }
  return name;
}

// ===========================================================================
// TAbSpanReadStream
// ===========================================================================

TAbSpanReadStream::TAbSpanReadStream(const std::string& ArchiveName, uint32_t CurrentImage, rtl::TStream* Stream)
    : TAbSpanBaseStream(ArchiveName), FCurrentImage(CurrentImage), FLastImage(CurrentImage), FStream(Stream) {
  ComputeIsSplit();
}

TAbSpanReadStream::~TAbSpanReadStream() = default;

void TAbSpanReadStream::ComputeIsSplit() {
  FIsSplit = rtl::FileExists(GetImageName(1)) || !AbDriveIsRemovable(FArchiveName);
}

void TAbSpanReadStream::SetOnRequestImage(TAbRequestImageEvent V) {
  FOnRequestImage = std::move(V);
  ComputeIsSplit();
}

void TAbSpanReadStream::GotoImage(uint32_t Image) {
  FStream.reset();
  FCurrentImage = Image;
  std::string name = FArchiveName;
  if (FIsSplit) {
    if (Image != FLastImage) name = GetImageName(static_cast<int>(Image) + 1);
  } else {
    if (!FOnRequestNthDisk) throw EAbUserAbort();
    do {
      bool abort = false;
      FOnRequestNthDisk(this, static_cast<uint8_t>(Image + 1), abort);
      if (abort) throw EAbUserAbort();
    } while (!rtl::VolumeIsReadable(name));
  }
  FStream = std::make_unique<rtl::TFileStream>(name, rtl::fmOpenRead | rtl::fmShareDenyNone);
}

int64_t TAbSpanReadStream::Read(void* Buffer, int64_t Count) {
  if (!FStream) return 0;
  auto* p = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    int64_t n = FStream->Read(p + done, Count - done);
    if (n > 0) {
      done += n;
      continue;
    }
    if (FCurrentImage >= FLastImage) break;
    GotoImage(FCurrentImage + 1);
  }
  return done;
}

int64_t TAbSpanReadStream::Write(const void*, int64_t) { throw EAbException("TAbSpanReadStream.Write unsupported", 0); }

int64_t TAbSpanReadStream::Seek(int64_t Offset, rtl::TSeekOrigin Origin) {
  if (!FStream) return 0;
  if (Origin != soCurrent) throw EAbException("TAbSpanReadStream.Seek unsupported", 0);
  int64_t target = FStream->Position() + Offset;
  // Relative moves may cross into the neighbouring volumes.
  while (target < 0 && FCurrentImage > 0) {
    GotoImage(FCurrentImage - 1);
    target += FStream->Size();
  }
  while (target > FStream->Size() && FCurrentImage < FLastImage) {
    target -= FStream->Size();
    GotoImage(FCurrentImage + 1);
  }
  if (target < 0) target = 0;
  return FStream->Seek(target, soBeginning);
}

int64_t TAbSpanReadStream::Size() {
  // The size of the open volume: a spanned set has no single size.
  return FStream ? FStream->Size() : 0;
}

void TAbSpanReadStream::SeekImage(uint32_t Image, int64_t Offset) {
  if (!FStream) return;
  if (Image != FCurrentImage) GotoImage(Image);
  FStream->Seek(Offset, soBeginning);
}

} // namespace ab
