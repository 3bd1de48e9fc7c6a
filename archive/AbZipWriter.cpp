#include "archive/AbZipWriter.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "archive/AbDfCryS.h"
#include "archive/AbEndian.h"
#include "archive/AbUtils.h"
#include "archive/AbZipConst.h"
#include "archive/AbZipTyp.h"
#include "rtl/Random.h"
#include "rtl/SysUtils.h"

namespace ab {

namespace {

constexpr size_t kChunk = 1 << 20;
// Version made by: Unix, and the format revision whose records are written.
constexpr uint16_t kVersionMadeBy = (hsUnix << 8) | Ab_ZipHighestVersionNeeded;
constexpr uint32_t kUnixFileType = 0100000, kUnixFolderType = 0040000, kUnixOwnerWrite = 0200;

// Little-endian record assembly.
struct TRecord {
  std::string Bytes;
  TRecord& U16(uint16_t v) {
    uint8_t b[2];
    AbPutLE16(b, v);
    Bytes.append(reinterpret_cast<char*>(b), 2);
    return *this;
  }
  TRecord& U32(uint32_t v) {
    uint8_t b[4];
    AbPutLE32(b, v);
    Bytes.append(reinterpret_cast<char*>(b), 4);
    return *this;
  }
  TRecord& U64(uint64_t v) {
    uint8_t b[8];
    AbPutLE64(b, v);
    Bytes.append(reinterpret_cast<char*>(b), 8);
    return *this;
  }
  TRecord& Raw(const std::string& s) {
    Bytes += s;
    return *this;
  }
};

uint32_t Clip32(uint64_t v) { return v >= TAbZipWriter::kMax32 ? Ab_Zip64Escape32 : static_cast<uint32_t>(v); }

// DOS words of a Unix time in local time. The reader cannot convert a zero
// date (month 0) and would fail the entry, so times outside the DOS range are
// clamped to its ends instead of being written as zero.
void DosDateTime(int64_t UnixTime, uint16_t& Date, uint16_t& Time) {
  std::tm t{};
  const time_t tt = static_cast<time_t>(UnixTime);
  if (!localtime_r(&tt, &t) || t.tm_year + 1900 < 1980) {
    Date = (1 << 5) | 1;  // 1980-01-01
    Time = 0;
    return;
  }
  if (t.tm_year + 1900 > 2107) {
    Date = static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
    Time = static_cast<uint16_t>((23 << 11) | (59 << 5) | 29);
    return;
  }
  Date = static_cast<uint16_t>(((t.tm_year + 1900 - 1980) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
  Time = static_cast<uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (std::min(t.tm_sec, 59) / 2));
}

// The deflation option bits of the flag word for a zlib level.
uint16_t DeflateOptionFlags(int Level) {
  const uint16_t option = Level >= 8 ? 1 : Level == 2 ? 2 : Level == 1 ? 3 : 0;
  return static_cast<uint16_t>(option << Ab_ZipFlagDeflateOptionShift);
}

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
}

} // namespace

struct TAbZipWriter::TCentralEntry {
  std::string Name;  // as stored, folders with their "/"
  uint16_t Version = Ab_ZipVersionDefault;
  uint16_t Flags = 0;
  uint16_t Method = cmStored;
  uint16_t Time = 0, Date = 0;
  uint32_t Crc = 0;
  uint64_t CompressedSize = 0, UncompressedSize = 0, Offset = 0;
  uint32_t ExternalAttributes = 0;
  bool HasUnixTime = false;
  int32_t UnixTime = 0;
};

// The archive file behind a write buffer; headers are completed in place by
// Patch, in the buffer while they are still there (small entries), else in
// the file, coming back to the end.
class TAbZipWriter::TOutput {
public:
  explicit TOutput(rtl::TStream& File) : FFile(File) { FBuf.reserve(kChunk); }
  void Write(const void* Data, size_t Count) {
    if (FBuf.size() + Count > kChunk) Flush();
    if (Count >= kChunk) {
      FFile.WriteBuffer(Data, static_cast<int64_t>(Count));
      FBufStart += Count;
    } else {
      FBuf.insert(FBuf.end(), static_cast<const uint8_t*>(Data), static_cast<const uint8_t*>(Data) + Count);
    }
    FPos += Count;
  }
  void Write(const std::string& s) { Write(s.data(), s.size()); }
  uint64_t Position() const { return FPos; }
  void Flush() {
    if (!FBuf.empty()) FFile.WriteBuffer(FBuf.data(), static_cast<int64_t>(FBuf.size()));
    FBufStart += FBuf.size();
    FBuf.clear();
  }
  void Patch(uint64_t At, const std::string& s) {
    if (At >= FBufStart) {
      std::memcpy(FBuf.data() + (At - FBufStart), s.data(), s.size());
      return;
    }
    Flush();
    FFile.Seek(static_cast<int64_t>(At), rtl::soBeginning);
    FFile.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
    FFile.Seek(static_cast<int64_t>(FPos), rtl::soBeginning);
  }
  // Drops everything from At on.
  void Truncate(uint64_t At) {
    if (At >= FBufStart) {
      FBuf.resize(At - FBufStart);
    } else {
      FBuf.clear();
      FFile.SetSize(static_cast<int64_t>(At));
      FFile.Seek(static_cast<int64_t>(At), rtl::soBeginning);
      FBufStart = At;
    }
    FPos = At;
  }

private:
  rtl::TStream& FFile;
  std::vector<uint8_t> FBuf;
  uint64_t FBufStart = 0;  // file offset of FBuf[0]
  uint64_t FPos = 0;
};

TAbZipWriter::TAbZipWriter(const std::string& FileName, const std::string& Password, int Level)
    : FFile(std::make_unique<rtl::TReplacingFileStream>(FileName)),
      FOut(std::make_unique<TOutput>(*FFile)),
      FPassword(Password),
      FLevel(std::clamp(Level, 0, 9)),
      FIn(kChunk),
      FOutBuf(kChunk) {}

TAbZipWriter::~TAbZipWriter() = default;

int64_t TAbZipWriter::Count() const { return static_cast<int64_t>(FEntries.size()); }

void TAbZipWriter::CheckName(const std::string& Name, const char* Caller) const {
  // Names the reader would refuse or place elsewhere are the caller's error.
  bool ok = !Name.empty() && Name.size() < Ab_ZipMaxVariableLength && Name.front() != '/' && Name.back() != '/' &&
            Name.find('\\') == std::string::npos && Name.find('\0') == std::string::npos;
  for (size_t start = 0; ok && start <= Name.size();) {
    const size_t end = std::min(Name.find('/', start), Name.size());
    const std::string part = Name.substr(start, end - start);
    ok = !part.empty() && part != "." && part != "..";
    start = end + 1;
  }
  if (!ok) rtl::Assert(std::string("TAbZipWriter.") + Caller + ": not a relative stored name: " + Name);
  if (FFinished) rtl::Assert(std::string("TAbZipWriter.") + Caller + ": the archive is finished");
}

std::string TAbZipWriter::LocalHeader(const TCentralEntry& E, bool Zip64) const {
  TRecord extra;
  if (Zip64) extra.U16(Ab_Zip64SubfieldID).U16(16).U64(E.UncompressedSize).U64(E.CompressedSize);
  if (E.HasUnixTime)
    extra.U16(Ab_ExtendedTimestampSubfieldID).U16(5).Raw(std::string(1, static_cast<char>(Ab_ExtendedTimestampHasModTime)))
        .U32(static_cast<uint32_t>(E.UnixTime));
  TRecord r;
  r.U32(Ab_ZipLocalFileHeaderSignature).U16(E.Version).U16(E.Flags).U16(E.Method).U16(E.Time).U16(E.Date).U32(E.Crc);
  if (Zip64) {
    r.U32(Ab_Zip64Escape32).U32(Ab_Zip64Escape32);
  } else {
    r.U32(static_cast<uint32_t>(E.CompressedSize)).U32(static_cast<uint32_t>(E.UncompressedSize));
  }
  r.U16(static_cast<uint16_t>(E.Name.size())).U16(static_cast<uint16_t>(extra.Bytes.size())).Raw(E.Name).Raw(extra.Bytes);
  return r.Bytes;
}

std::string TAbZipWriter::CentralHeader(const TCentralEntry& E) const {
  TRecord z64;
  if (E.UncompressedSize >= kMax32) z64.U64(E.UncompressedSize);
  if (E.CompressedSize >= kMax32) z64.U64(E.CompressedSize);
  if (E.Offset >= kMax32) z64.U64(E.Offset);
  TRecord extra;
  if (!z64.Bytes.empty()) extra.U16(Ab_Zip64SubfieldID).U16(static_cast<uint16_t>(z64.Bytes.size())).Raw(z64.Bytes);
  if (E.HasUnixTime)
    extra.U16(Ab_ExtendedTimestampSubfieldID).U16(5).Raw(std::string(1, static_cast<char>(Ab_ExtendedTimestampHasModTime)))
        .U32(static_cast<uint32_t>(E.UnixTime));
  TRecord r;
  r.U32(Ab_ZipCentralDirectorySignature).U16(kVersionMadeBy).U16(E.Version).U16(E.Flags).U16(E.Method).U16(E.Time)
      .U16(E.Date).U32(E.Crc).U32(Clip32(E.CompressedSize)).U32(Clip32(E.UncompressedSize))
      .U16(static_cast<uint16_t>(E.Name.size())).U16(static_cast<uint16_t>(extra.Bytes.size())).U16(0).U16(0).U16(0)
      .U32(E.ExternalAttributes).U32(Clip32(E.Offset)).Raw(E.Name).Raw(extra.Bytes);
  return r.Bytes;
}

void TAbZipWriter::Describe(const TAbZipWriteEntry& In, uint32_t FileType, uint32_t DosAttributes,
                            TCentralEntry& E) const {
  if (!IsAscii(E.Name)) E.Flags |= Ab_ZipFlagUTF8;
  DosDateTime(In.UnixTime, E.Date, E.Time);
  const uint32_t mode = FileType | (In.UnixMode & 0777);  // never setuid, setgid or sticky
  if (!(mode & kUnixOwnerWrite)) DosAttributes |= faReadOnly;
  E.ExternalAttributes = (mode << 16) | DosAttributes;
  E.HasUnixTime = In.UnixTime >= INT32_MIN && In.UnixTime <= INT32_MAX;
  E.UnixTime = E.HasUnixTime ? static_cast<int32_t>(In.UnixTime) : 0;
  if (E.Offset >= kMax32) E.Version = Ab_ZipVersionZip64;
}

void TAbZipWriter::AddFolder(const TAbZipWriteEntry& Entry) {
  CheckName(Entry.StoredName, "AddFolder");
  TCentralEntry e;
  e.Name = Entry.StoredName + "/";
  e.Offset = FOut->Position();
  Describe(Entry, kUnixFolderType, faDirectory, e);
  FOut->Write(LocalHeader(e, false));
  FEntries.push_back(std::move(e));
}

uint32_t TAbZipWriter::SourceCrc(rtl::TStream& Source, int64_t Size) {
  Source.Seek(0, rtl::soBeginning);
  uint32_t crc = 0xFFFFFFFF;
  for (int64_t left = Size; left > 0;) {
    const int64_t n = Source.Read(FIn.data(), std::min<int64_t>(left, kChunk));
    if (n <= 0) throw rtl::EInOutError("The file got shorter while it was being packed", 0);
    UpdateCrc32(crc, FIn.data(), n);
    left -= n;
  }
  return ~crc;
}

void TAbZipWriter::WriteEncryptionHeader(uint32_t Crc) {
  FCipher = std::make_unique<TAbZipEncryptEngine>(FPassword);
  TAbZipEncryptHeader header;
  rtl::SystemRandomBytes(header.data(), header.size() - 1);
  header.back() = static_cast<uint8_t>(Crc >> 24);  // the reader's password check
  FCipher->EncodeBuffer(header.data(), static_cast<int64_t>(header.size()));
  FOut->Write(header.data(), header.size());
}

int64_t TAbZipWriter::WriteData(rtl::TStream& Source, int64_t Size, uint32_t Crc, bool Deflate) {
  const uint64_t start = FOut->Position();
  if (!FPassword.empty()) WriteEncryptionHeader(Crc);
  auto emit = [&](uint8_t* p, size_t n) {
    if (!FPassword.empty()) FCipher->EncodeBuffer(p, static_cast<int64_t>(n));
    FOut->Write(p, n);
  };

  z_stream z{};
  if (Deflate && deflateInit2(&z, FLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw rtl::EInOutError("The compressor could not be started", 0);
  struct TEnd {
    z_stream* z;
    bool on;
    ~TEnd() {
      if (on) deflateEnd(z);
    }
  } end{&z, Deflate};

  Source.Seek(0, rtl::soBeginning);
  uint32_t crc = 0xFFFFFFFF;
  uint64_t packed = 0;
  for (int64_t left = Size;;) {
    int64_t n = 0;
    if (left > 0) {
      n = Source.Read(FIn.data(), std::min<int64_t>(left, kChunk));
      if (n <= 0) throw rtl::EInOutError("The file got shorter while it was being packed", 0);
      UpdateCrc32(crc, FIn.data(), n);
      left -= n;
    }
    if (!Deflate) {
      emit(FIn.data(), static_cast<size_t>(n));
      if (left == 0) break;
      continue;
    }
    z.next_in = FIn.data();
    z.avail_in = static_cast<uInt>(n);
    const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
    int rc;
    do {
      z.next_out = FOutBuf.data();
      z.avail_out = static_cast<uInt>(FOutBuf.size());
      rc = deflate(&z, flush);
      const size_t got = FOutBuf.size() - z.avail_out;
      packed += got;
      if (packed >= static_cast<uint64_t>(Size)) {
        // It does not shrink: drop what was written, the caller stores it.
        FOut->Truncate(start);
        return -1;
      }
      emit(FOutBuf.data(), got);
    } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    if (left == 0) break;
  }
  if (~crc != Crc) throw rtl::EInOutError("The file changed while it was being packed", 0);
  return static_cast<int64_t>(FOut->Position() - start);
}

void TAbZipWriter::AddFile(const TAbZipWriteEntry& Entry, rtl::TStream& Source) {
  CheckName(Entry.StoredName, "AddFile");
  const int64_t size = Source.Size();
  TCentralEntry e;
  e.Name = Entry.StoredName;
  e.Offset = FOut->Position();
  Describe(Entry, kUnixFileType, faArchive, e);
  e.UncompressedSize = static_cast<uint64_t>(size);
  e.Crc = SourceCrc(Source, size);
  const bool encrypted = !FPassword.empty();
  if (encrypted) e.Flags |= Ab_ZipFlagEncrypted;
  // The local header's form is fixed before the data: it carries its sizes
  // in a Zip64 field when the stored form (the largest there can be) would
  // reach the 32-bit limit.
  const uint64_t worst = e.UncompressedSize + (encrypted ? Ab_ZipEncryptionHeaderSize : 0);
  const bool localZip64 = worst >= kMax32;
  if (localZip64) e.Version = Ab_ZipVersionZip64;

  const bool tryDeflate = FLevel > 0 && size > 0;
  e.Method = tryDeflate ? cmDeflated : cmStored;
  if (tryDeflate) e.Flags |= DeflateOptionFlags(FLevel);
  const std::string provisional = LocalHeader(e, localZip64);
  FOut->Write(provisional);

  int64_t written = WriteData(Source, size, e.Crc, tryDeflate);
  if (written < 0) {
    e.Method = cmStored;
    e.Flags &= static_cast<uint16_t>(~(Ab_ZipFlagDeflateOptionMask << Ab_ZipFlagDeflateOptionShift));
    written = WriteData(Source, size, e.Crc, false);
  }
  e.CompressedSize = static_cast<uint64_t>(written);
  const std::string final = LocalHeader(e, localZip64);
  if (final.size() != provisional.size()) rtl::Assert("TAbZipWriter.AddFile: the local header changed its size");
  FOut->Patch(e.Offset, final);
  FEntries.push_back(std::move(e));
}

void TAbZipWriter::Finish() {
  if (FFinished) rtl::Assert("TAbZipWriter.Finish: the archive is finished");
  const uint64_t dirOffset = FOut->Position();
  for (const TCentralEntry& e : FEntries) FOut->Write(CentralHeader(e));
  const uint64_t dirSize = FOut->Position() - dirOffset;
  const uint64_t count = FEntries.size();
  if (count >= kMaxCount16 || dirSize >= kMax32 || dirOffset >= kMax32) {
    const uint64_t z64At = FOut->Position();
    TRecord z;
    z.U32(Ab_Zip64EndCentralDirectorySignature).U64(Ab_Zip64EndCentralDirectoryRest).U16(kVersionMadeBy)
        .U16(Ab_ZipVersionZip64).U32(0).U32(0).U64(count).U64(count).U64(dirSize).U64(dirOffset);
    z.U32(Ab_Zip64EndCentralDirectoryLocatorSignature).U32(0).U64(z64At).U32(1);
    FOut->Write(z.Bytes);
  }
  const uint16_t count16 = count >= kMaxCount16 ? Ab_Zip64Escape16 : static_cast<uint16_t>(count);
  TRecord end;
  end.U32(Ab_ZipEndCentralDirectorySignature).U16(0).U16(0).U16(count16).U16(count16).U32(Clip32(dirSize))
      .U32(Clip32(dirOffset)).U16(0);
  FOut->Write(end.Bytes);
  FOut->Flush();
  FFile->Commit();
  FFinished = true;
}

} // namespace ab
