// AbSWStm: the write-behind window that keeps recent output readable.
//
// The reducing and imploding decoders copy earlier output, up to 8192 bytes
// back, while the output itself streams on to a file or to the CRC stage,
// which can be neither read nor rewound. The window sits in between: it keeps
// the last 32768 bytes plus the chunk being filled, and passes every byte on
// exactly once, in 8192-byte chunks, when the chunk falls out of the window
// (and the rest on Flush).
//
//        chunk 0   chunk 1   chunk 2   chunk 3   chunk 4
//       [ 8192  ][ 8192  ][ 8192  ][ 8192  ][ filling.. ]
//       ^bsBufferStart                       ^bsBufferStart + 32768
//
// When chunk 4 is full the window advances by one chunk: chunk 0 is written
// out, the chunk pointers rotate and the old chunk 0 is reused as the new
// chunk 4. bsBufferStart starts at -32768, so at first the four older chunks
// stand before the start of the output; they hold nothing and are never
// written. The stream that receives the chunks therefore sees Seek + Write
// pairs of 8192 bytes in order, and on Flush the remaining chunks and the
// partial last one: the same pieces however the window itself is fed.
//
// As a stream the window can be read and sought anywhere between the first
// byte of chunk 0 and the end, and written only at the end. Decoders that need
// speed read back with ReadAt, which copies straight from the chunks without
// touching the current position.
#pragma once

#include <cstdint>
#include <memory>

#include "rtl/Classes.h"

namespace ab {

class TabSlidingWindowStream : public rtl::TStream {
public:
  static constexpr int32_t ChunkSize = 8192;
  static constexpr int32_t ChunkCount = 5;
  // Bytes that stay readable behind the chunk being filled.
  static constexpr int32_t WindowSize = ChunkSize * (ChunkCount - 1);
  // The largest count one Read or Write takes.
  static constexpr int32_t MaxTransfer = 32768;

  // aStream receives the output; it is not owned. Its position is set to 0.
  explicit TabSlidingWindowStream(rtl::TStream* aStream);
  // Flushes when dirty; a failure there is swallowed (a destructor cannot
  // report it), so callers that care call Flush first.
  ~TabSlidingWindowStream() override;

  TabSlidingWindowStream(const TabSlidingWindowStream&) = delete;
  TabSlidingWindowStream& operator=(const TabSlidingWindowStream&) = delete;

  // Writes out every chunk that holds output (chunks 0 to 4, in order).
  void Flush();

  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;
  int64_t Size() override { return bsSize; }

  // Copies Count bytes from absolute output position Pos without moving the
  // current position. Pos must not lie before the window ("invalid new
  // position", as a seek there would fail) and Pos + Count not past the end.
  void ReadAt(int64_t Pos, uint8_t* Dest, int32_t Count) const;

  // Absolute position of the first byte still held.
  int64_t BufferStart() const { return bsBufferStart; }

private:
  void bsWriteChunk(int32_t Index);
  void bsAdvance();
  void bsSetPosInBuffer(int32_t PosInBuffer);

  rtl::TStream* bsStream;                 // receives the chunks; not owned
  std::unique_ptr<uint8_t[]> bsMemory;    // the five chunks in one block
  uint8_t* bsChunks[ChunkCount];          // chunk order; rotates on advance
  // Positions are kept in 64 bits so that outputs beyond 2 GB cannot wrap.
  int64_t bsBufferStart = -WindowSize;    // absolute position of chunk 0
  int64_t bsSize = 0;                     // bytes written so far
  int32_t bsLastPos = 0;                  // bytes used in chunk 4
  int32_t bsCurChunk = ChunkCount - 1;    // chunk of the current position
  int32_t bsPosInChunk = 0;
  int32_t bsPosInBuffer = WindowSize;     // current position from chunk 0
  bool bsDirty = false;
};

} // namespace ab
