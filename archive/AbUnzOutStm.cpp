#include "archive/AbUnzOutStm.h"

#include "archive/AbExcept.h"
#include "archive/AbUtils.h"

namespace ab {

int64_t TAbUnzipOutputStream::Read(void*, int64_t) { throw EAbException("TAbUnzipOutputStream.Read not supported", 0); }

int64_t TAbUnzipOutputStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  return Pass(static_cast<const uint8_t*>(Buffer), Count, false);
}

uint8_t* TAbUnzipOutputStream::InPlaceRoom(int64_t Keep, int64_t MinRoom, int64_t& Room) {
  uint8_t* lent = FStream->InPlaceRoom(Keep, MinRoom, Room);
  FLent = lent;
  return lent;
}

void TAbUnzipOutputStream::CommitInPlace(int64_t Count) {
  if (Count <= 0) return;
  if (FLent == nullptr) rtl::Assert("TAbUnzipOutputStream.CommitInPlace: no memory was lent");
  Pass(FLent, Count, true);
}

int64_t TAbUnzipOutputStream::Pass(const uint8_t* Data, int64_t Count, bool InPlace) {
  // Never pass the declared size: write what fits, then fail the item.
  const int64_t room = FUncompressedSize - FBytesWritten;
  const bool over = Count > room;
  if (over) Count = room > 0 ? room : 0;

  if (FComputeCRC) UpdateCrc32(FCRC32, Data, Count);
  int64_t written = 0;
  if (Count > 0 && InPlace) {
    FStream->CommitInPlace(Count);
    FLent += Count;
    written = Count;
  } else if (Count > 0) {
    written = FStream->Write(Data, Count);
  }
  FBytesWritten += written;

  if (OnProgress) {
    bool abort = false;
    uint8_t pct = AbPercentage(FBytesWritten, FUncompressedSize);
    if (pct != FCurrentProgress) {
      OnProgress(pct, abort);
      FCurrentProgress = pct;
    }
    if (abort) throw EAbUserAbort();
  }
  if (over) throw EAbSizeMismatch();
  return written;
}

int64_t TAbUnzipOutputStream::Seek(int64_t Offset, rtl::TSeekOrigin Origin) { return FStream->Seek(Offset, Origin); }

} // namespace ab
