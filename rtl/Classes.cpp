#include "rtl/Classes.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace rtl {

// ---------------------------------------------------------------------------
// TStream
// ---------------------------------------------------------------------------

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t end = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return end;
}

void TStream::SetSize(int64_t) { Assert("TStream.SetSize: not supported by this stream"); }

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
  auto* p = static_cast<uint8_t*>(Buffer);
  while (Count > 0) {
    int64_t n = Read(p, Count);
    if (n <= 0) throw EReadError();
    p += n;
    Count -= n;
  }
}

int64_t TStream::ReadUpTo(void* Buffer, int64_t Count) {
  int64_t got = 0;
  while (got < Count) {
    const int64_t n = Read(static_cast<uint8_t*>(Buffer) + got, Count - got);
    if (n <= 0) break;
    got += n;
  }
  return got;
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
  auto* p = static_cast<const uint8_t*>(Buffer);
  while (Count > 0) {
    int64_t n = Write(p, Count);
    if (n <= 0) throw EWriteError();
    p += n;
    Count -= n;
  }
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  constexpr int64_t kChunk = 1 << 16;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min(Count, kChunk)));
  int64_t done = 0;
  while (done < Count) {
    int64_t n = std::min<int64_t>(Count - done, kChunk);
    Source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    done += n;
  }
  return done;
}

uint8_t* TStream::InPlaceRoom(int64_t, int64_t, int64_t& Room) {
  Room = 0;
  return nullptr;
}

void TStream::CommitInPlace(int64_t) { Assert("TStream.CommitInPlace: this stream has no in-place memory"); }

const uint8_t* TStream::ReadView(int64_t, int64_t& Got) {
  Got = 0;
  return nullptr;
}

namespace {

// The view of the next bytes of memory holding Size bytes, read at Pos.
const uint8_t* ViewAt(const uint8_t* Data, int64_t Size, int64_t& Pos, int64_t Count, int64_t& Got) {
  Got = Count <= 0 || Pos >= Size ? 0 : std::min(Count, Size - Pos);
  const uint8_t* view = Data + (Got > 0 ? Pos : 0);
  Pos += Got;
  return view;
}

} // namespace

// ---------------------------------------------------------------------------
// THandleStream / TFileStream
// ---------------------------------------------------------------------------

int64_t THandleStream::Read(void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<uint8_t*>(Buffer);
  int64_t total = 0;
  // A regular file returns short counts only at its end; loop for pipes so
  // that callers see a short count only at the end of the data.
  while (total < Count) {
    int64_t n = FileReadHandle(FHandle, p + total, std::min<int64_t>(Count - total, 1 << 30));
    if (n < 0) throw EReadError();
    if (n == 0) break;
    total += n;
  }
  return total;
}

int64_t THandleStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<const uint8_t*>(Buffer);
  int64_t total = 0;
  while (total < Count) {
    int64_t n = FileWriteHandle(FHandle, p + total, std::min<int64_t>(Count - total, 1 << 30));
    if (n < 0) RaiseLastOSError("write");
    if (n == 0) break;
    total += n;
  }
  return total;
}

int64_t THandleStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  return FileSeekHandle(FHandle, Offset, static_cast<int>(Origin));
}

void THandleStream::SetSize(int64_t NewSize) {
  if (!FileTruncateHandle(FHandle, NewSize)) RaiseLastOSError("ftruncate");
}

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode) : THandleStream(InvalidHandle), FFileName(FileName) {
  std::string why;
  FHandle = FileOpenHandle(FileName, Mode, why);
  if (FHandle == InvalidHandle) {
    if (Mode == fmCreate)
      throw EFCreateError("Cannot create file \"" + FileName + "\". " + why);
    throw EFOpenError("Cannot open file \"" + FileName + "\". " + why);
  }
}

TFileStream::~TFileStream() {
  if (FHandle != InvalidHandle) FileCloseHandle(FHandle);
}

// ---------------------------------------------------------------------------
// TReplacingFileStream
// ---------------------------------------------------------------------------

TReplacingFileStream::TReplacingFileStream(const std::string& FileName) : THandleStream(InvalidHandle), FFileName(FileName) {
  std::string why;
  FHandle = FileCreateReplacement(FileName, FTempName, why);
  if (FHandle == InvalidHandle) throw EFCreateError("Cannot create file \"" + FileName + "\". " + why);
}

TReplacingFileStream::TReplacingFileStream(const std::string& FileName, THandle Folder, const std::string& Leaf)
    : THandleStream(InvalidHandle), FFileName(FileName), FFolder(Folder), FLeaf(Leaf) {
  std::string why;
  FHandle = FileCreateReplacementAt(Folder, Leaf, FileName, FTempName, why);
  if (FHandle == InvalidHandle) throw EFCreateError("Cannot create file \"" + FileName + "\". " + why);
}

void TReplacingFileStream::Commit() {
  if (FCommitted) return;
  PassOnAll();
  int code = 0;
  if (!FileCommitReplacementAt(FHandle, FFolder, FLeaf, FTempName, FFileName, true, code))
    RaiseOSError(code, "Cannot create file \"" + FFileName + "\"");
  FCommitted = true;
}

bool TReplacingFileStream::CommitIfFree() {
  if (FCommitted) return true;
  PassOnAll();
  int code = 0;
  if (!FileCommitReplacementAt(FHandle, FFolder, FLeaf, FTempName, FFileName, false, code)) {
    if (code == 0) return false;
    RaiseOSError(code, "Cannot create file \"" + FFileName + "\"");
  }
  FCommitted = true;
  return true;
}

void TReplacingFileStream::CommitAs(const std::string& FileName) {
  if (FCommitted) return;
  PassOnAll();
  // A hidden name held relative to its folder cannot be moved by a full
  // name; an unnamed file, or a hidden one by its full name, can.
  if (!FTempName.empty() && FFolder != InvalidHandle)
    throw EInOutError("Cannot create file \"" + FileName + "\"", 0);
  int code = 0;
  if (!FileCommitReplacementAt(FHandle, InvalidHandle, "", FTempName, FileName, true, code))
    RaiseOSError(code, "Cannot create file \"" + FileName + "\"");
  FFileName = FileName;
  FCommitted = true;
}

int64_t TReplacingFileStream::Write(const void* Buffer, int64_t Count) {
  PassOnHeld(true);
  int64_t n = THandleStream::Write(Buffer, Count);
  FPos += n;
  return n;
}

int64_t TReplacingFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  if (Origin == soCurrent && Offset == 0) return FPos;
  PassOnHeld(true);
  int64_t at = THandleStream::Seek(Offset, Origin);
  if (at >= 0) FPos = at;
  return at;
}

void TReplacingFileStream::PassOnHeld(bool Done) {
  // After a failed write the file is lost (commits refuse it), and what is
  // held is dropped without a second failure that would hide the first.
  if (!FBroken && FWrittenTo < FLentAt) {
    const int64_t n = FLentAt - FWrittenTo;
    const uint8_t* from = FBuf.get() + FWrittenTo;
    FBroken = true;
    if (THandleStream::Write(from, n) != n) throw EWriteError();
    FBroken = false;
  }
  FWrittenTo = FLentAt;
  if (Done) FLentAt = FWrittenTo = 0;
}

void TReplacingFileStream::PassOnAll() {
  if (FBroken) throw EWriteError();
  PassOnHeld(true);
}

uint8_t* TReplacingFileStream::InPlaceRoom(int64_t Keep, int64_t MinRoom, int64_t& Room) {
  if (Keep < 0 || MinRoom < 0 || Keep > FBufCap - FLentAt)
    Assert("TReplacingFileStream.InPlaceRoom: keeping more than was handed out");
  if (FBufCap - FLentAt < MinRoom) {
    // Out of room: the committed bytes go to the file, and the kept bytes
    // move to the front, into a larger buffer if need be.
    const int64_t keptAt = FLentAt;
    PassOnHeld(true);
    const int64_t need = std::max(Keep, MinRoom);
    if (need > FBufCap) {
      const int64_t cap = std::max(InPlaceBufferSize, 2 * need);
      std::unique_ptr<uint8_t[]> bigger(new uint8_t[static_cast<size_t>(cap)]);
      if (Keep > 0) std::memcpy(bigger.get(), FBuf.get() + keptAt, static_cast<size_t>(Keep));
      FBuf = std::move(bigger);
      FBufCap = cap;
    } else if (Keep > 0) {
      std::memmove(FBuf.get(), FBuf.get() + keptAt, static_cast<size_t>(Keep));
    }
  }
  Room = FBufCap - FLentAt;
  return FBuf.get() + FLentAt;
}

void TReplacingFileStream::CommitInPlace(int64_t Count) {
  if (Count < 0 || Count > FBufCap - FLentAt) Assert("TReplacingFileStream.CommitInPlace: more than the memory handed out");
  FLentAt += Count;
  FPos += Count;
}

void TReplacingFileStream::EndInPlace() { PassOnHeld(true); }

TReplacingFileStream::~TReplacingFileStream() {
  if (FHandle != InvalidHandle) FileCloseHandle(FHandle);
  if (!FCommitted) FileDiscardReplacementAt(FFolder, FTempName);
}

// ---------------------------------------------------------------------------
// TBufferedFileStream
// ---------------------------------------------------------------------------

TBufferedFileStream::TBufferedFileStream(const std::string& FileName, uint16_t Mode) : TFileStream(FileName, Mode) {
  if (Mode == fmCreate || (Mode & 3) != fmOpenRead) return;
  int64_t at = FileSeekHandle(FHandle, 0, static_cast<int>(soCurrent));
  if (at < 0) return;  // a pipe or the like: no positions to keep
  FBuffered = true;
  FPos = FHandlePos = at;
}

void TBufferedFileStream::SyncHandle() {
  if (FHandlePos == FPos) return;
  FHandlePos = -1;
  if (FileSeekHandle(FHandle, FPos, static_cast<int>(soBeginning)) < 0) throw EReadError();
  FHandlePos = FPos;
}

int64_t TBufferedFileStream::Read(void* Buffer, int64_t Count) {
  if (!FBuffered) return TFileStream::Read(Buffer, Count);
  if (Count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  int64_t done = 0;
  while (done < Count) {
    if (FPos >= FBufStart && FPos < FBufStart + FBufLen) {
      int64_t n = std::min(Count - done, FBufStart + FBufLen - FPos);
      std::memcpy(out + done, FBuffer.data() + (FPos - FBufStart), static_cast<size_t>(n));
      FPos += n;
      done += n;
      continue;
    }
    // Positioned reads: the handle's own position is never needed, so a
    // reader that moves from item to item costs one call per read.
    FHandlePos = -1;
    if (Count - done >= BufferSize) {
      // Large reads bypass the buffer; short only at the end of the file.
      while (done < Count) {
        int64_t n = FileReadHandleAt(FHandle, out + done, std::min<int64_t>(Count - done, 1 << 30), FPos);
        if (n < 0) throw EReadError();
        if (n == 0) break;
        FPos += n;
        done += n;
      }
      break;
    }
    if (FBuffer.empty()) FBuffer.resize(static_cast<size_t>(BufferSize));
    int64_t n = FileReadHandleAt(FHandle, FBuffer.data(), BufferSize, FPos);
    if (n < 0) {
      FBufLen = 0;
      throw EReadError();
    }
    FBufStart = FPos;
    FBufLen = n;
    if (n == 0) break;
  }
  return done;
}

int64_t TBufferedFileStream::Write(const void* Buffer, int64_t Count) {
  if (!FBuffered) return TFileStream::Write(Buffer, Count);
  SyncHandle();
  FBufLen = 0;
  FHandlePos = -1;
  FEnd = -1;
  int64_t n = TFileStream::Write(Buffer, Count);
  FPos += n;
  FHandlePos = FPos;
  return n;
}

int64_t TBufferedFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  if (!FBuffered) return TFileStream::Seek(Offset, Origin);
  int64_t target;
  switch (Origin) {
    case soBeginning: target = Offset; break;
    case soCurrent: target = FPos + Offset; break;
    default: {
      // The end is asked once: a reader checks positions against the size
      // of the archive before every item, and this handle never writes.
      if (FEnd < 0) {
        int64_t end = FileSeekHandle(FHandle, 0, static_cast<int>(soEnd));
        if (end < 0) {
          FHandlePos = -1;
          return -1;
        }
        FHandlePos = end;
        FEnd = end;
      }
      target = FEnd + Offset;
      break;
    }
  }
  if (target < 0) return -1;  // as the file itself refuses it
  FPos = target;
  return FPos;
}

void TBufferedFileStream::SetSize(int64_t NewSize) {
  FBufLen = 0;
  FEnd = -1;
  TFileStream::SetSize(NewSize);
}

// ---------------------------------------------------------------------------
// TMemoryStream
// ---------------------------------------------------------------------------

TMemoryStream::TMemoryStream(const std::string& Data) {
  Grow(static_cast<int64_t>(Data.size()), 0);
  if (!Data.empty()) std::memcpy(FMemory.get(), Data.data(), Data.size());
  FSize = static_cast<int64_t>(Data.size());
}

void TMemoryStream::Grow(int64_t Need, int64_t Keep, bool Exact) {
  if (Need <= FCapacity) return;
  int64_t capacity = Exact ? Need : std::max(Need, 2 * FCapacity);
  // A size the address space cannot hold must not wrap into a small one.
  if (static_cast<uint64_t>(capacity) > SIZE_MAX) throw std::bad_alloc();
  std::unique_ptr<uint8_t[]> memory(new uint8_t[static_cast<size_t>(capacity)]);
  if (Keep > 0) std::memcpy(memory.get(), FMemory.get(), static_cast<size_t>(Keep));
  FMemory = std::move(memory);
  FCapacity = capacity;
}

int64_t TMemoryStream::Read(void* Buffer, int64_t Count) {
  int64_t avail = FSize - FPos;
  if (Count <= 0 || avail <= 0) return 0;
  int64_t n = std::min(Count, avail);
  std::memcpy(Buffer, FMemory.get() + FPos, static_cast<size_t>(n));
  FPos += n;
  return n;
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  int64_t end = FPos + Count;
  if (end > FSize) {
    Grow(end, FSize);
    // A write past the end leaves zeros in the gap.
    if (FPos > FSize) std::memset(FMemory.get() + FSize, 0, static_cast<size_t>(FPos - FSize));
  }
  std::memcpy(FMemory.get() + FPos, Buffer, static_cast<size_t>(Count));
  FPos = end;
  FSize = std::max(FSize, end);
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPos : FSize;
  int64_t np = base + Offset;
  if (np < 0) return -1;
  FPos = np;
  return FPos;
}

void TMemoryStream::SetSize(int64_t NewSize) {
  NewSize = std::max<int64_t>(NewSize, 0);
  if (NewSize > FSize) {
    // Exact: a stream sized once to its final length wastes nothing.
    Grow(NewSize, FSize, true);
    std::memset(FMemory.get() + FSize, 0, static_cast<size_t>(NewSize - FSize));
  }
  FSize = NewSize;
  if (FPos > NewSize) FPos = NewSize;
}

uint8_t* TMemoryStream::InPlaceRoom(int64_t Keep, int64_t MinRoom, int64_t& Room) {
  if (FPos != FSize) {
    Room = 0;
    return nullptr;
  }
  if (Keep < 0 || Keep > FCapacity - FPos) Assert("TMemoryStream.InPlaceRoom: keeping more than was handed out");
  Grow(FPos + MinRoom, FPos + Keep);
  Room = FCapacity - FPos;
  return FMemory.get() + FPos;
}

void TMemoryStream::CommitInPlace(int64_t Count) {
  if (Count < 0 || Count > FCapacity - FPos) Assert("TMemoryStream.CommitInPlace: more than the memory handed out");
  FPos += Count;
  FSize = std::max(FSize, FPos);
}

const uint8_t* TMemoryStream::ReadView(int64_t Count, int64_t& Got) {
  return ViewAt(FMemory.get(), FSize, FPos, Count, Got);
}

std::string TMemoryStream::DataString() const {
  return FSize == 0 ? std::string() : std::string(reinterpret_cast<const char*>(FMemory.get()), static_cast<size_t>(FSize));
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
  TFileStream f(FileName, fmOpenRead | fmShareDenyNone);
  int64_t n = f.Size();
  Clear();
  Grow(n, 0);
  f.ReadBuffer(FMemory.get(), n);
  FSize = n;
}

void TMemoryStream::SaveToFile(const std::string& FileName) {
  TFileStream f(FileName, fmCreate);
  f.WriteBuffer(FMemory.get(), FSize);
}

// ---------------------------------------------------------------------------
// TBytesView
// ---------------------------------------------------------------------------

int64_t TBytesView::Read(void* Buffer, int64_t Count) {
  int64_t avail = FSize - FPos;
  if (Count <= 0 || avail <= 0) return 0;
  int64_t n = std::min(Count, avail);
  std::memcpy(Buffer, FData + FPos, static_cast<size_t>(n));
  FPos += n;
  return n;
}

const uint8_t* TBytesView::ReadView(int64_t Count, int64_t& Got) { return ViewAt(FData, FSize, FPos, Count, Got); }

int64_t TBytesView::Write(const void*, int64_t) {
  Assert("TBytesView.Write: the view is read-only");
}

int64_t TBytesView::Seek(int64_t Offset, TSeekOrigin Origin) {
  int64_t base = Origin == soBeginning ? 0 : Origin == soCurrent ? FPos : FSize;
  int64_t np = base + Offset;
  if (np < 0) return -1;
  FPos = np;
  return FPos;
}

} // namespace rtl
