// Classes: the stream family every stage of the engine is built from.
//
// A stream is a byte sequence with Read, Write and Seek; Position and Size are
// derived from Seek, so a stage only has to implement those three. Stages are
// chained by handing one stream to the next (a subset view of the archive,
// a decryption stage, a decoder, the output stage, the file). Reads and
// writes take 64-bit counts so that large buffers pass without splitting.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "rtl/FileSys.h"
#include "rtl/SysUtils.h"

namespace rtl {

// Common base of the engine's objects, so that events can name their sender.
class TObject {
public:
  virtual ~TObject() = default;
};

// A set of enumeration values, as a bit mask (values below 32).
template <typename E>
class TSet {
public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> values) {
    for (E v : values) Include(v);
  }
  constexpr bool Has(E v) const { return (FBits >> static_cast<unsigned>(v)) & 1u; }
  constexpr void Include(E v) { FBits |= 1u << static_cast<unsigned>(v); }
  constexpr void Exclude(E v) { FBits &= ~(1u << static_cast<unsigned>(v)); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint32_t Bits() const { return FBits; }
  constexpr bool operator==(const TSet&) const = default;

private:
  uint32_t FBits = 0;
};

enum class TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };
using enum TSeekOrigin;

// ---------------------------------------------------------------------------
// TStream
// ---------------------------------------------------------------------------

class TStream {
public:
  virtual ~TStream() = default;

  // Reads up to Count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // Writes up to Count bytes; returns how many were written.
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
  // Moves the position; returns the new absolute position.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  // The 32-bit form, for callers written against 32-bit offsets.
  int32_t Seek32(int32_t Offset, uint16_t Origin) {
    return static_cast<int32_t>(Seek(Offset, static_cast<TSeekOrigin>(Origin)));
  }

  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t Pos) { Seek(Pos, soBeginning); }
  virtual int64_t Size();
  virtual void SetSize(int64_t NewSize);

  // Read or write exactly Count bytes, or raise EReadError / EWriteError.
  void ReadBuffer(void* Buffer, int64_t Count);
  // Reads until Count bytes or the end; returns how many were read.
  int64_t ReadUpTo(void* Buffer, int64_t Count);
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Copies Count bytes from Source (all of it from position 0 when Count is 0).
  int64_t CopyFrom(TStream& Source, int64_t Count);

  // In-place output, for a producer that keeps its history in what it has
  // produced (an inflater): memory at the position in which the producer may
  // build the next bytes itself, at least MinRoom long; Room gives its true
  // length. Nothing written there is part of the stream until CommitInPlace,
  // and the stream may scribble past what is committed. A later call keeps
  // the first Keep bytes (written but not yet committed) and may move the
  // memory; committed bytes before it may be gone. A stream without such
  // memory gives nullptr, and the producer writes as usual.
  virtual uint8_t* InPlaceRoom(int64_t Keep, int64_t MinRoom, int64_t& Room);
  // Makes the next Count bytes of that memory part of the stream, as
  // writing them would, and advances the position past them.
  virtual void CommitInPlace(int64_t Count);
  // The producer is done with the memory: a stream that holds committed
  // bytes in it passes them on now, and raises what writing them raises.
  virtual void EndInPlace() {}

  // Reading without a copy, for a consumer that only looks at the bytes: the
  // stream's own memory holding the next bytes (at most Count; Got says how
  // many, 0 at the end), and the position advances past them as Read would.
  // The memory stays valid until the stream is next written or resized. A
  // stream without such memory gives nullptr, and the consumer reads.
  virtual const uint8_t* ReadView(int64_t Count, int64_t& Got);
};

// Puts a stream back where it was when this goes out of scope: for a look
// ahead that must leave the stream as it found it.
class TStreamPositionKeeper {
public:
  explicit TStreamPositionKeeper(TStream& S) : FStream(S), FPos(S.Position()) {}
  ~TStreamPositionKeeper() { FStream.Seek(FPos, soBeginning); }
  TStreamPositionKeeper(const TStreamPositionKeeper&) = delete;
  TStreamPositionKeeper& operator=(const TStreamPositionKeeper&) = delete;

private:
  TStream& FStream;
  int64_t FPos;
};

// ---------------------------------------------------------------------------
// THandleStream / TFileStream: an OS file with 64-bit offsets
// ---------------------------------------------------------------------------

// Open modes, as the open-mode word of a Windows runtime lays them out.
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareDenyNone = 0x0040;
constexpr uint16_t fmCreate = 0xFF00;

class THandleStream : public TStream {
public:
  explicit THandleStream(THandle Handle) : FHandle(Handle) {}
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(int64_t NewSize) override;
  THandle Handle() const { return FHandle; }

protected:
  THandle FHandle;
};

class TFileStream : public THandleStream {
public:
  // fmCreate creates or truncates; the open modes need an existing file.
  // Failures raise EFCreateError / EFOpenError with the OS's reason.
  TFileStream(const std::string& FileName, uint16_t Mode);
  ~TFileStream() override;
  const std::string& FileName() const { return FFileName; }

private:
  std::string FFileName;
};

// ---------------------------------------------------------------------------
// TReplacingFileStream: a new file that takes its name only when complete.
//
// Extraction replaces files that may be precious: the only copy of a
// document, a hard link shared with a tree outside the target, the very
// archive being read, a read-only file. So nothing is ever written into the
// file under the name: the data goes into a fresh file in the same folder
// (an unnamed one where the file system offers that, else a hidden
// temporary name), and Commit puts it under the name in one step, replacing
// whatever was there (a file, or a link, which is never followed). Until
// then the old file is untouched; a stream destroyed without Commit (an
// item that failed, a full disk, an exception) leaves no trace. Time and
// mode are set on the open handle before Commit, so the file appears
// complete.
//
// It lends a write buffer for in-place output, so that an inflater builds
// its output, history included, where it is written from: committed bytes
// go to the file in one call per few hundred KiB when the room runs out,
// and the bytes not yet committed move to the buffer's front. Every other
// write, seek or commit passes what is held on first.
// ---------------------------------------------------------------------------

class TReplacingFileStream : public THandleStream {
public:
  // Raises EFCreateError with the OS's reason when the folder refuses it.
  explicit TReplacingFileStream(const std::string& FileName);
  // The same for the file Leaf in a folder held open (a TFolderTree
  // handle, which must outlive the stream); FileName names it in messages.
  TReplacingFileStream(const std::string& FileName, THandle Folder, const std::string& Leaf);
  ~TReplacingFileStream() override;
  TReplacingFileStream(const TReplacingFileStream&) = delete;
  TReplacingFileStream& operator=(const TReplacingFileStream&) = delete;
  // Gives the data its name; raises EInOutError (the file is then
  // discarded and the old one stays).
  void Commit();
  // The same only while the name is free: false, and the file still ready
  // to commit, when something has taken it.
  bool CommitIfFree();
  // Gives the data another name, by its full name, replacing what is there.
  void CommitAs(const std::string& FileName);
  const std::string& FileName() const { return FFileName; }
  // The position is kept here: the pipeline asks for it around every item,
  // and the file is only ever written in order.
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  uint8_t* InPlaceRoom(int64_t Keep, int64_t MinRoom, int64_t& Room) override;
  void CommitInPlace(int64_t Count) override;
  void EndInPlace() override;

  // The lent buffer's usual size: the Deflate window and many pieces.
  static constexpr int64_t InPlaceBufferSize = 512 * 1024;

private:
  // Writes the committed bytes the buffer holds; with Done, the buffer's
  // history is forgotten too.
  void PassOnHeld(bool Done);
  // The same before a commit, which a file that lost bytes never gets.
  void PassOnAll();

  std::string FFileName;
  THandle FFolder = InvalidHandle;  // with FLeaf, where the name is made
  std::string FLeaf;
  std::string FTempName;  // empty while the file has no name at all
  int64_t FPos = 0;
  bool FCommitted = false;
  bool FBroken = false;  // held bytes were lost to a failed write
  std::unique_ptr<uint8_t[]> FBuf;  // the lent buffer, from the first use
  int64_t FBufCap = 0;
  int64_t FLentAt = 0;     // committed up to here; the lent memory starts here
  int64_t FWrittenTo = 0;  // written to the file up to here
};

// ---------------------------------------------------------------------------
// TBufferedFileStream: a file opened for reading through a read buffer.
//
// Archives are read in many small pieces: a local header, a name, an extra
// field, twelve bytes of an encryption header, then the item's data in the
// decoder's block size, with a seek before each item. Served from a 64 KiB
// buffer, those cost one read call per 64 KiB instead of several calls per
// item, and a seek is a change of a number until the next read. Reads of at
// least the buffer's size go straight to the caller's memory. A seek from the
// end still asks the file for its size, so a file that grows is seen as it
// grows. Opened in any other mode, or on something that cannot seek (a pipe),
// it behaves exactly as TFileStream.
// ---------------------------------------------------------------------------

class TBufferedFileStream : public TFileStream {
public:
  TBufferedFileStream(const std::string& FileName, uint16_t Mode);
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(int64_t NewSize) override;

  static constexpr int64_t BufferSize = 64 * 1024;

private:
  // Moves the handle to FPos if it stands elsewhere.
  void SyncHandle();

  bool FBuffered = false;
  std::vector<uint8_t> FBuffer;  // allocated at the first read
  int64_t FBufStart = 0;         // file offset of FBuffer[0]
  int64_t FBufLen = 0;           // bytes of the file held from FBufStart
  int64_t FPos = 0;              // the stream's position
  int64_t FHandlePos = -1;       // the handle's offset, -1 when not known
  int64_t FEnd = -1;             // the file's size, -1 until asked
};

// ---------------------------------------------------------------------------
// TMemoryStream: a growable buffer
// ---------------------------------------------------------------------------

class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(const std::string& Data);
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override { return FSize; }
  void SetSize(int64_t NewSize) override;
  // Empties the stream; the memory stays for the next use.
  void Clear() { FSize = 0; FPos = 0; }

  // Offered only at the end of the data, where nothing can be overwritten;
  // the memory grows by doubling, as writes make it grow. Bytes that go
  // through these and ReadView pass neither Write nor Read, so a subclass
  // that watches those overrides these as well.
  uint8_t* InPlaceRoom(int64_t Keep, int64_t MinRoom, int64_t& Room) override;
  void CommitInPlace(int64_t Count) override;
  const uint8_t* ReadView(int64_t Count, int64_t& Got) override;

  const uint8_t* Memory() const { return FMemory.get(); }
  std::string DataString() const;
  void LoadFromFile(const std::string& FileName);
  void SaveToFile(const std::string& FileName);

private:
  // Makes room for at least Need bytes (exactly Need when Exact, else by
  // doubling), keeping the first Keep.
  void Grow(int64_t Need, int64_t Keep, bool Exact = false);

  // Bytes past FSize (up to FCapacity) are undefined, so growing the size
  // clears them first.
  std::unique_ptr<uint8_t[]> FMemory;
  int64_t FSize = 0;
  int64_t FCapacity = 0;
  int64_t FPos = 0;
};

// A read-only view of bytes someone else owns (fuzzers, embedded data).
class TBytesView : public TStream {
public:
  TBytesView(const void* Data, int64_t Size) : FData(static_cast<const uint8_t*>(Data)), FSize(Size) {}
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void*, int64_t) override;
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  int64_t Size() override { return FSize; }
  const uint8_t* ReadView(int64_t Count, int64_t& Got) override;

private:
  const uint8_t* FData;
  int64_t FSize;
  int64_t FPos = 0;
};

} // namespace rtl
