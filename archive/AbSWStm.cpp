// AbSWStm: the write-behind window of the reducing and imploding decoders.
// The layout and the write-out order are described in the header.
#include "archive/AbSWStm.h"

#include <algorithm>
#include <cstring>

#include "rtl/SysUtils.h"

namespace ab {

// The window's failures are plain platform exceptions: they mean a caller
// broke the window's rules or the output refused bytes, not bad archive data.
static constexpr const char* kNotAtEnd = "TabSlidingWindowStream.Write: Not at end of stream";
static constexpr const char* kSeekFailed = "TabSlidingWindowStream.bsWriteChunk: seek failed";
static constexpr const char* kWriteFailed = "TabSlidingWindowStream.bsWriteChunk: write failed";
static constexpr const char* kInvalidOrigin = "TabSlidingWindowStream.Seek: invalid origin";
static constexpr const char* kInvalidPosition = "TabSlidingWindowStream.Seek: invalid new position";

// ---------------------------------------------------------------------------
// Life cycle
// ---------------------------------------------------------------------------

TabSlidingWindowStream::TabSlidingWindowStream(rtl::TStream* aStream)
    : bsStream(aStream), bsMemory(new uint8_t[ChunkSize * ChunkCount]()) {
  rtl::AssertTrue(aStream != nullptr, "TabSlidingWindowStream.Create: no stream");
  for (int32_t i = 0; i < ChunkCount; ++i) bsChunks[i] = bsMemory.get() + i * ChunkSize;
  bsStream->SetPosition(0);
}

TabSlidingWindowStream::~TabSlidingWindowStream() {
  if (!bsDirty) return;
  try {
    Flush();
  } catch (...) {
    // The output already failed once; there is nobody left to tell.
  }
}

// ---------------------------------------------------------------------------
// Writing out
// ---------------------------------------------------------------------------

void TabSlidingWindowStream::bsWriteChunk(int32_t Index) {
  int64_t pos = bsBufferStart + static_cast<int64_t>(Index) * ChunkSize;
  if (pos < 0) return;  // stands before the start of the output: holds nothing
  if (bsStream->Seek(pos, rtl::soBeginning) == -1) throw rtl::Exception(kSeekFailed);
  int32_t len = Index == ChunkCount - 1 ? bsLastPos : ChunkSize;
  if (bsStream->Write(bsChunks[Index], len) < len) throw rtl::Exception(kWriteFailed);
}

void TabSlidingWindowStream::bsAdvance() {
  bsWriteChunk(0);
  uint8_t* oldest = bsChunks[0];
  for (int32_t i = 0; i < ChunkCount - 1; ++i) bsChunks[i] = bsChunks[i + 1];
  bsChunks[ChunkCount - 1] = oldest;
  bsBufferStart += ChunkSize;
  bsPosInChunk = 0;
  bsLastPos = 0;
}

void TabSlidingWindowStream::Flush() {
  if (!bsDirty) return;
  // Cleared first: after a failed write-out the destructor must not hand the
  // same chunks to the output a second time.
  bsDirty = false;
  for (int32_t i = 0; i < ChunkCount; ++i) bsWriteChunk(i);
}

// ---------------------------------------------------------------------------
// Stream operations
// ---------------------------------------------------------------------------

void TabSlidingWindowStream::bsSetPosInBuffer(int32_t PosInBuffer) {
  bsPosInBuffer = PosInBuffer;
  bsCurChunk = PosInBuffer / ChunkSize;
  bsPosInChunk = PosInBuffer % ChunkSize;
}

int64_t TabSlidingWindowStream::Write(const void* Buffer, int64_t Count) {
  if (bsBufferStart + bsPosInBuffer != bsSize) throw rtl::Exception(kNotAtEnd);
  if (Count <= 0) return 0;
  int32_t taken = static_cast<int32_t>(std::min<int64_t>(Count, MaxTransfer));
  auto* src = static_cast<const uint8_t*>(Buffer);
  int32_t left = taken;
  while (left > 0) {
    int32_t n = std::min(left, ChunkSize - bsPosInChunk);
    std::memcpy(bsChunks[ChunkCount - 1] + bsPosInChunk, src, static_cast<size_t>(n));
    src += n;
    left -= n;
    bsPosInChunk += n;
    bsLastPos = bsPosInChunk;
    // A full last chunk moves the window at once, so that chunk 4 always has
    // room for the next byte.
    if (bsPosInChunk == ChunkSize) bsAdvance();
  }
  bsSize += taken;
  bsSetPosInBuffer(WindowSize + bsPosInChunk);
  bsDirty = true;
  return taken;
}

int64_t TabSlidingWindowStream::Read(void* Buffer, int64_t Count) {
  int64_t avail = bsSize - (bsBufferStart + bsPosInBuffer);
  int32_t n = static_cast<int32_t>(std::min<int64_t>({Count, MaxTransfer, avail}));
  if (n <= 0) return 0;
  ReadAt(bsBufferStart + bsPosInBuffer, static_cast<uint8_t*>(Buffer), n);
  bsSetPosInBuffer(bsPosInBuffer + n);
  return n;
}

int64_t TabSlidingWindowStream::Seek(int64_t Offset, rtl::TSeekOrigin Origin) {
  int64_t pos;
  switch (Origin) {
    case rtl::soBeginning: pos = Offset; break;
    case rtl::soCurrent: pos = bsBufferStart + bsPosInBuffer + Offset; break;
    case rtl::soEnd: pos = bsSize + Offset; break;
    default: throw rtl::Exception(kInvalidOrigin);
  }
  if (pos < bsBufferStart || pos > bsSize) throw rtl::Exception(kInvalidPosition);
  bsSetPosInBuffer(static_cast<int32_t>(pos - bsBufferStart));
  return pos;
}

void TabSlidingWindowStream::ReadAt(int64_t Pos, uint8_t* Dest, int32_t Count) const {
  if (Pos < bsBufferStart) throw rtl::Exception(kInvalidPosition);
  rtl::AssertTrue(Count >= 0 && Pos + Count <= bsSize, "TabSlidingWindowStream.ReadAt: past the end");
  int32_t inBuffer = static_cast<int32_t>(Pos - bsBufferStart);
  while (Count > 0) {
    int32_t chunk = inBuffer / ChunkSize, offset = inBuffer % ChunkSize;
    int32_t n = std::min(Count, ChunkSize - offset);
    std::memcpy(Dest, bsChunks[chunk] + offset, static_cast<size_t>(n));
    Dest += n;
    Count -= n;
    inBuffer += n;
  }
}

} // namespace ab
