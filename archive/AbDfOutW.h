// AbDfOutW: the inflater's output window: history for back-references, the
// way out to the destination, and the check value of everything written.
//
// What the destination sees is fixed: output leaves in pieces of 32 KiB once
// the window is full (64 KiB produced for Deflate, 96 KiB for Deflate64),
// each piece is added to the check value as it leaves, and the final call
// writes the remainder. The partial-size stop is measured from the oldest
// byte not yet written, which equals the output so far until the first piece
// has left.
//
// How the memory works is free, and it is built for speed. The buffer is
// several times larger than the history needs, and writing a piece out only
// advances FStart; the bytes stay where they are. Only when the free room
// behind the write point would become too small for the longest match are
// the history and the unwritten bytes moved down to the buffer start, once
// per few hundred KiB of output instead of once per 32 KiB. The buffer keeps
// kCopySlack spare bytes past the longest match so that the decoder may copy
// matches in whole words without checking the end.
//
// FStart + the write point is where the next piece is due; FStart + the
// partial size (never beyond the write point) is where the partial stop is
// due. EventPoint gives the nearer of the two, so the decoder's fast loop
// compares one pointer per literal or match.
//
// A destination that can lend its own memory at its end (a memory stream,
// the file stream extraction writes, and the pipeline's output stage over
// either) gets the output built there directly: the window is then the
// destination's memory, a piece "leaves" by being committed where it
// already lies, and no byte is copied out. When the lent room runs short
// the stream is asked for more, keeping the bytes not yet committed, which
// always hold a whole history; its memory may move, so every pointer is
// rebased. The final write-out hands the memory back, so
// that a stream holding committed bytes passes them on. FOrigin is the
// oldest byte a match may reach: the buffer start, or where the output
// began in the destination, so that bytes the destination held before are
// never taken as history.
#pragma once

#include <cstdint>
#include <memory>

#include "archive/AbDfBase.h"
#include "rtl/Classes.h"

namespace ab {

class TAbDfDecoder;

class TAbDfOutputWindow {
public:
  TAbDfOutputWindow(rtl::TStream* aStream, bool aUseDeflate64, bool aUseCRC32, int32_t aPartSize, bool aTestOnly,
                    TAbLogger* aLog);
  ~TAbDfOutputWindow();
  TAbDfOutputWindow(const TAbDfOutputWindow&) = delete;
  TAbDfOutputWindow& operator=(const TAbDfOutputWindow&) = delete;

  void AddLiteral(uint8_t aCh) {
    *FCurrent++ = aCh;
    if (FCurrent >= EventPoint()) AfterAdd();
  }
  void AddLenDist(int32_t aLen, int32_t aDist);
  void AddBuffer(const void* aBuffer, int32_t aCount);

  // Bytes produced so far (written or counted, plus those still pending).
  int64_t Position();
  // Writes out everything pending, then gives the CRC-32 (inverted) or the
  // Adler-32 value.
  uint32_t Checksum();
  // The final write-out. Destruction does it when Close was not called; a
  // failure there is swallowed, so callers that want to see it call Close.
  void Close();

  TAbLogger* Log() const { return FLog; }

  // Room past the longest match for the decoder's word-sized copies, which
  // may write past a match's end (the decoder checks its own need for it).
  static constexpr int32_t kCopySlack = 48;
  static constexpr int32_t kSlideCount = 32768;

private:
  friend class TAbDfDecoder;

  uint8_t* EventPoint() const { return FStart + (FPartSize > 0 ? FPartSize : FWritePoint); }
  // After a literal or a match: the partial stop, then the pieces now due.
  void AfterAdd();
  void Slide();
  void Compact();
  void WriteOut(const uint8_t* aData, int32_t aCount);
  // The room the window needs behind FStart.
  int64_t NeededRoom() const { return int64_t{FWritePoint} + FMaxMatch + kCopySlack; }
  // In-place: more room from the destination, the pointers rebased.
  void Regrow();

  std::unique_ptr<uint8_t[]> FBuffer;  // own memory; empty when in place
  uint8_t* FOrigin;   // the oldest byte a match may reach
  uint8_t* FBufEnd;
  uint8_t* FStart;    // oldest byte not yet written out
  uint8_t* FCurrent;  // next byte to produce
  uint32_t FChecksum;
  TAbLogger* FLog;
  int32_t FPartSize;
  int32_t FWritePoint;
  int32_t FHistory;   // the longest distance of the format
  int32_t FMaxMatch;  // the longest match of the format
  rtl::TStream* FStream;
  int64_t FStreamPos = 0;
  bool FTestOnly;
  bool FUseCRC32;
  bool FClosed = false;
  bool FInPlace = false;
};

} // namespace ab
