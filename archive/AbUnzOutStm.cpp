#include "archive/AbUnzOutStm.h"

#include "archive/AbExcept.h"
#include "archive/AbUtils.h"

namespace ab {

int64_t TAbUnzipOutputStream::Read(void*, int64_t) { throw EAbException("TAbUnzipOutputStream.Read not supported", 0); }

int64_t TAbUnzipOutputStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  // Never pass the declared size: write what fits, then fail the item.
  const int64_t room = FUncompressedSize - FBytesWritten;
  const bool over = Count > room;
  if (over) Count = room > 0 ? room : 0;

  if (FComputeCRC) UpdateCrc32(FCRC32, Buffer, Count);
  int64_t written = Count > 0 ? FStream->Write(Buffer, Count) : 0;
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
