#include "archive/AbDfOutW.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "archive/AbUtils.h"

namespace ab {

// ---------------------------------------------------------------------------
// Sizes
// ---------------------------------------------------------------------------

namespace {

// Deflate: 32 KiB of history and matches of up to 258 bytes; the window is
// full at 64 KiB. Deflate64: 64 KiB of history, matches of up to 65,538
// bytes, full at 96 KiB. After every piece that leaves, at least the format's
// history remains.
constexpr int32_t kWritePoint32 = 65536, kHistory32 = 32768, kMaxMatch32 = 258;
constexpr int32_t kWritePoint64 = 98304, kHistory64 = 65536, kMaxMatch64 = 65538;

// The real buffers: a few times what the format needs (history + write point
// + longest match), so that moving the history down is rare, yet small
// enough to stay in the processor's second-level cache.
constexpr int32_t kBufferSize32 = 256 * 1024;
constexpr int32_t kBufferSize64 = 512 * 1024;
static_assert(kBufferSize32 >= kHistory32 + kWritePoint32 + kMaxMatch32 + TAbDfOutputWindow::kCopySlack);
static_assert(kBufferSize64 >= kHistory64 + kWritePoint64 + kMaxMatch64 + TAbDfOutputWindow::kCopySlack);

} // namespace

// ---------------------------------------------------------------------------
// Life cycle
// ---------------------------------------------------------------------------

TAbDfOutputWindow::TAbDfOutputWindow(rtl::TStream* aStream, bool aUseDeflate64, bool aUseCRC32, int32_t aPartSize,
                                     bool aTestOnly, TAbLogger* aLog)
    : FLog(aLog), FStream(aStream), FTestOnly(aTestOnly), FUseCRC32(aUseCRC32) {
  int32_t size = aUseDeflate64 ? kBufferSize64 : kBufferSize32;
  FWritePoint = aUseDeflate64 ? kWritePoint64 : kWritePoint32;
  FHistory = aUseDeflate64 ? kHistory64 : kHistory32;
  FMaxMatch = aUseDeflate64 ? kMaxMatch64 : kMaxMatch32;
  int64_t room = 0;
  uint8_t* lent = aTestOnly ? nullptr : aStream->InPlaceRoom(0, NeededRoom(), room);
  if (lent != nullptr) {
    if (room < NeededRoom()) rtl::Assert("TAbDfOutputWindow: the destination lent less room than asked for");
    FInPlace = true;
    FOrigin = lent;
    FBufEnd = lent + room;
  } else {
    FBuffer.reset(new uint8_t[static_cast<size_t>(size)]);
    FOrigin = FBuffer.get();
    FBufEnd = FBuffer.get() + size;
  }
  FStart = FCurrent = FOrigin;
  FChecksum = aUseCRC32 ? 0xFFFFFFFFu : 1u;
  FPartSize = std::clamp(aPartSize, 0, FWritePoint);
}

TAbDfOutputWindow::~TAbDfOutputWindow() {
  try {
    Close();
  } catch (...) {
    // Destruction during a failure must not replace that failure.
  }
}

void TAbDfOutputWindow::Close() {
  // The history is dropped with the last piece; the pointers move on first
  // so that a failing write is not repeated by a later call.
  const uint8_t* data = FStart;
  int32_t n = static_cast<int32_t>(FCurrent - FStart);
  FStart = FCurrent = FInPlace ? FCurrent : FBuffer.get();
  FOrigin = FStart;
  FClosed = true;
  if (!FInPlace) {
    if (n > 0) WriteOut(data, n);
    return;
  }
  // The lent memory is given back even when the last piece fails, so that
  // what was committed reaches the destination; the first failure is the
  // one reported.
  std::exception_ptr failure;
  try {
    if (n > 0) WriteOut(data, n);
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    FStream->EndInPlace();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

uint32_t TAbDfOutputWindow::Checksum() {
  Close();
  return FUseCRC32 ? ~FChecksum : FChecksum;
}

int64_t TAbDfOutputWindow::Position() {
  int64_t pending = FCurrent - FStart;
  return (FTestOnly ? FStreamPos : FStream->Position()) + pending;
}

// ---------------------------------------------------------------------------
// Writing out
// ---------------------------------------------------------------------------

void TAbDfOutputWindow::WriteOut(const uint8_t* aData, int32_t aCount) {
  if (FUseCRC32)
    UpdateCrc32(FChecksum, aData, aCount);
  else
    UpdateAdler32(FChecksum, aData, aCount);
  if (FTestOnly)
    FStreamPos += aCount;
  else if (FInPlace)
    FStream->CommitInPlace(aCount);
  else
    FStream->WriteBuffer(aData, aCount);
}

void TAbDfOutputWindow::Slide() {
  const uint8_t* piece = FStart;
  FStart += kSlideCount;
  WriteOut(piece, kSlideCount);
  // Keep room for the longest match behind the next write point.
  if (FBufEnd - FStart < NeededRoom()) {
    if (FInPlace)
      Regrow();
    else
      Compact();
  }
}

void TAbDfOutputWindow::Regrow() {
  // The stream keeps the bytes produced but not yet committed; the history
  // before them is committed and stays in the stream's memory with them.
  // A stream may keep only those (a file's write buffer): they are the
  // whole history, as a piece leaves only while at least the format's
  // history stays unwritten behind it.
  int64_t room = 0;
  if (FCurrent - FStart < FHistory) rtl::Assert("TAbDfOutputWindow.Regrow: less than a history kept");
  uint8_t* lent = FStream->InPlaceRoom(FCurrent - FStart, NeededRoom(), room);
  if (lent == nullptr || room < NeededRoom())
    rtl::Assert("TAbDfOutputWindow.Regrow: the destination withdrew its in-place memory");
  // Moved by their distances from the start: the distance between two
  // separate blocks may not fit a ptrdiff_t in a 32-bit program whose
  // address space goes past 2 GiB.
  FOrigin = lent;
  FCurrent = lent + (FCurrent - FStart);
  FStart = lent;
  FBufEnd = lent + room;
}

void TAbDfOutputWindow::Compact() {
  // Keep every byte not yet written and a full history behind the current
  // position; with the write point at twice the history (Deflate) or one
  // and a half times (Deflate64) that is about one piece.
  uint8_t* base = FBuffer.get();
  int64_t keep = std::min<int64_t>(FStart - base, (FCurrent - base) - FHistory);
  if (keep <= 0) return;
  std::memmove(base, base + keep, static_cast<size_t>((FCurrent - base) - keep));
  FStart -= keep;
  FCurrent -= keep;
}

void TAbDfOutputWindow::AfterAdd() {
  if (FPartSize > 0 && FCurrent - FStart >= FPartSize) throw EAbPartSizedInflate();
  while (FCurrent - FStart >= FWritePoint) Slide();
}

// ---------------------------------------------------------------------------
// Adding output
// ---------------------------------------------------------------------------

void TAbDfOutputWindow::AddLenDist(int32_t aLen, int32_t aDist) {
  if (aLen < 0 || aLen > FMaxMatch) rtl::Assert("TAbDfOutputWindow.AddLenDist: match length out of range");
  if (aDist < 1 || aDist > FCurrent - FOrigin)
    throw EAbInternalInflateError("distance reaches before the start of the output [TAbDfOutputWindow.AddLenDist]");
  uint8_t* to = FCurrent;
  const uint8_t* from = to - aDist;
  if (aLen > aDist) {
    // Overlapping: the copy repeats the last aDist bytes.
    for (int32_t i = 0; i < aLen; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, static_cast<size_t>(aLen));
  }
  FCurrent += aLen;
  if (FCurrent >= EventPoint()) AfterAdd();
}

void TAbDfOutputWindow::AddBuffer(const void* aBuffer, int32_t aCount) {
  auto* src = static_cast<const uint8_t*>(aBuffer);
  if (aCount <= 0) return;
  if (FCurrent - FStart >= FWritePoint) Slide();
  for (;;) {
    int32_t room = static_cast<int32_t>(FStart + FWritePoint - FCurrent);
    int32_t n = std::min(room, aCount);
    std::memcpy(FCurrent, src, static_cast<size_t>(n));
    FCurrent += n;
    src += n;
    aCount -= n;
    if (aCount == 0) break;
    Slide();
  }
}

} // namespace ab
