// AbBzip2: the bzip2 decoding stream for ZIP method 12.
//
// The block-sorting work is libbz2's; this unit is the stream around it. The
// item pipeline copies exactly the item's uncompressed size out of a
// TBZDecompressionStream, so the stream only has to hand out bytes on demand:
// each Read points the library's output at the caller's buffer and feeds it
// compressed bytes from a 64 KiB input buffer until the caller's buffer is
// full or the source has nothing more to give.
//
// The source is shared with nobody while an item is decoded, but a caller may
// move it between reads; the stream remembers where it left the source
// (FStrmPos) and puts it back there before it reads on. A short result is not
// an error here: the copy that asked for the bytes turns it into a read error,
// and a stream that ends early is caught by the CRC check in any case.
//
// The bzip2 exceptions derive from the platform's base exception, not from
// the engine's, so that a failed item is classed as "other".
#pragma once

#include <bzlib.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "rtl/Classes.h"
#include "rtl/SysUtils.h"

namespace ab {

class EBZip2Error : public rtl::Exception { using rtl::Exception::Exception; };
class EBZDecompressionError : public EBZip2Error { using EBZip2Error::EBZip2Error; };
class EBZCompressionError : public EBZip2Error { using EBZip2Error::EBZip2Error; };

// ---------------------------------------------------------------------------
// TCustomBZip2Stream: what every bzip2 stream holds
// ---------------------------------------------------------------------------

class TCustomBZip2Stream : public rtl::TStream {
public:
  // Input buffer size: large enough that libbz2 rarely has to stop for
  // input in the middle of a 900 kB block.
  static constexpr int64_t kBufferSize = 65536;

  // Called after each decompression step; the engine does not use it.
  std::function<void(TCustomBZip2Stream& Sender)> OnProgress;

protected:
  explicit TCustomBZip2Stream(rtl::TStream* Strm);

  rtl::TStream* FStrm;          // the compressed source; not owned
  int64_t FStrmPos;             // where this stream left the source
  bz_stream FBZRec{};           // the library's stream record
  std::unique_ptr<uint8_t[]> FBuffer;
};

// ---------------------------------------------------------------------------
// TBZDecompressionStream: read-only, decodes from its source
// ---------------------------------------------------------------------------

class TBZDecompressionStream : public TCustomBZip2Stream {
public:
  // Starts the decompressor (small-memory mode off); a library failure
  // raises EBZDecompressionError "error %d".
  explicit TBZDecompressionStream(rtl::TStream* Source);
  ~TBZDecompressionStream() override;

  // Fills Buffer with up to Count decoded bytes; fewer only when the source
  // has run dry.
  int64_t Read(void* Buffer, int64_t Count) override;
  // Always fails: the stream decodes, it does not encode.
  int64_t Write(const void* Buffer, int64_t Count) override;
  // Forward only, by decoding and discarding; Seek(0, soBeginning) starts
  // over from where the source stood when the stream was made.
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;

private:
  void StartDecompressor();
  int64_t TotalOut() const;

  int64_t FStartPos;            // source position at creation, for a restart
  bool FInitialized = false;
};

} // namespace ab
