// AbUnzOutStm: the output stage of the item pipeline.
//
// Every decoder writes its bytes here; the stage updates the CRC-32 over each
// buffer as it passes (never a second pass over the data), forwards it to
// the real destination (a file, a caller's stream or a discard sink) and
// reports item progress only when the integer percentage changes, so an
// item costs at most 100 callbacks however its decoder writes.
//
// A decoder that already folds every piece it produces into a CRC-32 while
// the piece is in cache (the inflater does) tells the stage so with
// SetDecoderComputesCRC and hands over its final value with SetCRC32: the
// check value is then computed exactly once per item.
//
// It also guards the declared size: a decoder that produces more bytes than
// the item declares is stopped at that size (nothing past it reaches the
// destination) with EAbSizeMismatch. A hostile archive cannot turn a small
// item into an unbounded file.
//
// In-place output passes through: the stage lends the destination's memory
// (the file stream's write buffer, a memory stream's own memory), and a
// commit is checked, counted and reported exactly as a write is, so that
// the inflater builds an item where it is written from.
#pragma once

#include <cstdint>

#include "archive/AbArcTyp.h"
#include "rtl/Classes.h"

namespace ab {

class TAbUnzipOutputStream : public rtl::TStream {
public:
  explicit TAbUnzipOutputStream(rtl::TStream* aStream) : FStream(aStream) {}

  int64_t Read(void* Buffer, int64_t Count) override;  // always fails
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;
  uint8_t* InPlaceRoom(int64_t Keep, int64_t MinRoom, int64_t& Room) override;
  void CommitInPlace(int64_t Count) override;
  void EndInPlace() override { FStream->EndInPlace(); }

  uint32_t CRC32() const { return ~FCRC32; }
  // The decoder computes the check value itself; the stage only forwards.
  void SetDecoderComputesCRC() { FComputeCRC = false; }
  // The decoder's final (inverted) CRC-32 of everything it wrote here.
  void SetCRC32(uint32_t aFinal) { FCRC32 = ~aFinal; }
  rtl::TStream* Stream() const { return FStream; }
  int64_t UncompressedSize() const { return FUncompressedSize; }
  void SetUncompressedSize(int64_t V) { FUncompressedSize = V; }
  int64_t BytesWritten() const { return FBytesWritten; }
  TAbProgressEvent OnProgress;

private:
  // Count bytes at Data, written (InPlace false) or committed where they
  // lie, within the declared size.
  int64_t Pass(const uint8_t* Data, int64_t Count, bool InPlace);

  const uint8_t* FLent = nullptr;  // the next byte to commit in lent memory
  int64_t FBytesWritten = 0;
  uint32_t FCRC32 = 0xFFFFFFFFu;
  uint8_t FCurrentProgress = 0;
  bool FComputeCRC = true;
  rtl::TStream* FStream;
  int64_t FUncompressedSize = 0;
};

} // namespace ab
