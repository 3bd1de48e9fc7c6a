// AbBzip2: libbz2 glue. See the header for the design.
#include "archive/AbBzip2.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace ab {

namespace {

const char* const kInvalidStreamOp = "Invalid stream operation";

// libbz2 asks for items x size bytes; the engine's heap is malloc's.
void* BzAlloc(void*, int Items, int Size) {
  if (Items < 0 || Size < 0) return nullptr;
  return std::malloc(static_cast<size_t>(Items) * static_cast<size_t>(Size));
}

void BzFree(void*, void* Block) { std::free(Block); }

[[noreturn]] void RaiseBzError(int Code) { throw EBZDecompressionError(rtl::Format("error %d", Code)); }

// The library counts in unsigned int; larger requests are served in slices.
constexpr int64_t kMaxStep = 1 << 30;

} // namespace

// ---------------------------------------------------------------------------
// TCustomBZip2Stream
// ---------------------------------------------------------------------------

TCustomBZip2Stream::TCustomBZip2Stream(rtl::TStream* Strm)
    : FStrm(Strm), FStrmPos(0), FBuffer(new uint8_t[kBufferSize]) {
  if (!FStrm) rtl::Assert("TCustomBZip2Stream.Create: no source stream");
  FStrmPos = FStrm->Position();
  FBZRec.bzalloc = BzAlloc;
  FBZRec.bzfree = BzFree;
  FBZRec.opaque = nullptr;
  FBZRec.next_in = reinterpret_cast<char*>(FBuffer.get());
  FBZRec.avail_in = 0;
}

// ---------------------------------------------------------------------------
// TBZDecompressionStream
// ---------------------------------------------------------------------------

TBZDecompressionStream::TBZDecompressionStream(rtl::TStream* Source)
    : TCustomBZip2Stream(Source), FStartPos(FStrmPos) {
  StartDecompressor();
}

TBZDecompressionStream::~TBZDecompressionStream() {
  if (FInitialized) BZ2_bzDecompressEnd(&FBZRec);
}

void TBZDecompressionStream::StartDecompressor() {
  FBZRec.next_in = reinterpret_cast<char*>(FBuffer.get());
  FBZRec.avail_in = 0;
  // Verbosity 0; small-memory mode off (the fast decoder, about 3.7 MB for
  // a 900 kB block).
  int r = BZ2_bzDecompressInit(&FBZRec, 0, 0);
  if (r < 0) RaiseBzError(r);
  FInitialized = true;
}

int64_t TBZDecompressionStream::TotalOut() const {
  return static_cast<int64_t>((static_cast<uint64_t>(FBZRec.total_out_hi32) << 32) | FBZRec.total_out_lo32);
}

int64_t TBZDecompressionStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  if (FStrm->Position() != FStrmPos) FStrm->SetPosition(FStrmPos);
  while (done < Count) {
    if (FBZRec.avail_in == 0) {
      int64_t got = FStrm->Read(FBuffer.get(), kBufferSize);
      if (got <= 0) return done;
      FStrmPos = FStrm->Position();
      FBZRec.next_in = reinterpret_cast<char*>(FBuffer.get());
      FBZRec.avail_in = static_cast<unsigned>(got);
    }
    unsigned room = static_cast<unsigned>(std::min(Count - done, kMaxStep));
    FBZRec.next_out = reinterpret_cast<char*>(out + done);
    FBZRec.avail_out = room;
    int r = BZ2_bzDecompress(&FBZRec);
    done += room - FBZRec.avail_out;
    if (r < 0) RaiseBzError(r);
    if (OnProgress) OnProgress(*this);
  }
  return Count;
}

int64_t TBZDecompressionStream::Write(const void*, int64_t) { throw EBZDecompressionError(kInvalidStreamOp); }

int64_t TBZDecompressionStream::Seek(int64_t Offset, rtl::TSeekOrigin Origin) {
  int64_t produced = TotalOut();
  if (Offset == 0 && Origin == rtl::soBeginning) {
    // Start over. The source goes back to where this stream found it, which
    // for an item's data is its first byte.
    if (FInitialized) {
      BZ2_bzDecompressEnd(&FBZRec);
      FInitialized = false;
    }
    FBZRec = bz_stream{};
    FBZRec.bzalloc = BzAlloc;
    FBZRec.bzfree = BzFree;
    StartDecompressor();
    FStrm->SetPosition(FStartPos);
    FStrmPos = FStartPos;
    return 0;
  }
  int64_t skip;
  if (Origin == rtl::soCurrent && Offset >= 0)
    skip = Offset;
  else if (Origin == rtl::soBeginning && Offset >= produced)
    skip = Offset - produced;  // a seek to where the stream stands is a no-op
  else
    throw EBZDecompressionError(kInvalidStreamOp);
  // Forward seeks decode and discard, 8 KiB at a time.
  uint8_t scratch[8192];
  while (skip > 0) {
    int64_t n = std::min<int64_t>(skip, sizeof scratch);
    ReadBuffer(scratch, n);
    skip -= n;
  }
  return TotalOut();
}

} // namespace ab
