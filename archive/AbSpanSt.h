// AbSpanSt: reading an archive stored in several volumes.
//
// Split mode: the volumes are files side by side, named after the last one
// ("a.zip" is the last, "a.z01", "a.z02", ... the others). Disk mode: one
// volume per removable disk, each under the archive's own name; the reader
// asks for the disk it needs (counted from 1) until the drive answers.
// Reads run across volume borders; the ZIP archive positions the stream by
// volume and offset with SeekImage.
//
// Seeking: besides the position query, relative seeks are supported and may
// cross volume borders, so that a decoder's final repositioning of its
// source works on a spanned archive as on any other. Absolute seeks have no
// meaning over several volumes and stay unsupported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "archive/AbArcTyp.h"
#include "rtl/Classes.h"

namespace ab {

using TAbRequestNthDiskStreamEvent = std::function<void(TObject* Sender, uint8_t DiskNumber, bool& Abort)>;

class TAbSpanBaseStream : public rtl::TStream, public TObject {
public:
  explicit TAbSpanBaseStream(const std::string& ArchiveName) : FArchiveName(ArchiveName) {}
  const std::string& ArchiveName() const { return FArchiveName; }

protected:
  // The name of volume ImageNumber (1-based), after OnRequestImage had its say.
  std::string GetImageName(int ImageNumber);

  std::string FArchiveName;
  TAbRequestImageEvent FOnRequestImage;
};

class TAbSpanReadStream : public TAbSpanBaseStream {
public:
  // Takes ownership of Stream, the already open last volume.
  TAbSpanReadStream(const std::string& ArchiveName, uint32_t CurrentImage, rtl::TStream* Stream);
  ~TAbSpanReadStream() override;

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;
  int64_t Size() override;
  void SeekImage(uint32_t Image, int64_t Offset);

  uint32_t CurrentImage() const { return FCurrentImage; }
  bool IsSplit() const { return FIsSplit; }
  void SetOnRequestImage(TAbRequestImageEvent V);
  void SetOnRequestNthDisk(TAbRequestNthDiskStreamEvent V) { FOnRequestNthDisk = std::move(V); }

private:
  void GotoImage(uint32_t Image);
  void ComputeIsSplit();

  uint32_t FCurrentImage;
  bool FIsSplit = true;
  uint32_t FLastImage;
  std::unique_ptr<rtl::TStream> FStream;
  TAbRequestNthDiskStreamEvent FOnRequestNthDisk;
};

} // namespace ab
