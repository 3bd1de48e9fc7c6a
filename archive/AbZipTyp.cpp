#include "archive/AbZipTyp.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/AbCharset.h"
#include "archive/AbEndian.h"
#include "archive/AbExcept.h"
#include "archive/AbSpanSt.h"
#include "archive/AbUtils.h"
#include "rtl/Drives.h"
#include "rtl/FileSys.h"
#include "rtl/Text.h"

namespace ab {

namespace {

// Reads n bytes into a string; a short read is kept short (names).
std::string ReadUpTo(TStream& s, size_t n) {
  std::string out(n, '\0');
  if (n == 0) return out;
  int64_t got = 0;
  while (got < static_cast<int64_t>(n)) {
    int64_t r = s.Read(out.data() + got, static_cast<int64_t>(n) - got);
    if (r <= 0) break;
    got += r;
  }
  out.resize(static_cast<size_t>(got));
  return out;
}

std::string ReadExactly(TStream& s, size_t n) {
  std::string out(n, '\0');
  if (n) s.ReadBuffer(out.data(), static_cast<int64_t>(n));
  return out;
}

void ReadExactly(TStream& s, size_t n, TAbRawBytes& Out) {
  Out.Resize(n);
  if (n) s.ReadBuffer(Out.data(), static_cast<int64_t>(n));
}

// ---------------------------------------------------------------------------
// Read-ahead view used while the central directory is read: the entries are
// read back to back, so 64 KiB reads replace four small reads per entry.
// Seeking is not needed while it is in use; the underlying stream is put at
// the logical position when the view is done.
// ---------------------------------------------------------------------------

class TReadAhead : public TStream {
public:
  explicit TReadAhead(TStream& s) : FInner(s), FPos(s.Position()) {}
  ~TReadAhead() override { FInner.Seek(FPos, soBeginning); }

  int64_t Read(void* Buffer, int64_t Count) override {
    auto* out = static_cast<uint8_t*>(Buffer);
    int64_t done = 0;
    while (done < Count) {
      if (FHead == FTail) {
        if (Count - done >= kChunk) {  // large reads bypass the buffer
          FInner.Seek(FPos, soBeginning);
          int64_t n = FInner.Read(out + done, Count - done);
          if (n <= 0) break;
          done += n;
          FPos += n;
          FHead = FTail = 0;
          continue;
        }
        FInner.Seek(FPos, soBeginning);
        int64_t n = FInner.Read(FBuf.data(), kChunk);
        if (n <= 0) break;
        FHead = 0;
        FTail = static_cast<size_t>(n);
      }
      size_t n = std::min<size_t>(FTail - FHead, static_cast<size_t>(Count - done));
      std::memcpy(out + done, FBuf.data() + FHead, n);
      FHead += n;
      done += static_cast<int64_t>(n);
      FPos += static_cast<int64_t>(n);
    }
    return done;
  }
  // The next n bytes, left unread; false when the stream ends before them.
  bool Peek(uint8_t* Out, size_t n) {
    if (FTail - FHead < n) {
      std::memmove(FBuf.data(), FBuf.data() + FHead, FTail - FHead);
      FTail -= FHead;
      FHead = 0;
      FInner.Seek(FPos + static_cast<int64_t>(FTail), soBeginning);
      while (FTail < n) {
        int64_t r = FInner.Read(FBuf.data() + FTail, kChunk - static_cast<int64_t>(FTail));
        if (r <= 0) return false;
        FTail += static_cast<size_t>(r);
      }
    }
    std::memcpy(Out, FBuf.data() + FHead, n);
    return true;
  }
  int64_t Write(const void*, int64_t) override { rtl::Assert("TReadAhead.Write: read-only view"); }
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override {
    if (Origin == soCurrent && Offset == 0) return FPos;
    int64_t target = Origin == soBeginning ? Offset : Origin == soCurrent ? FPos + Offset : FInner.Size() + Offset;
    if (target < 0) return -1;
    FPos = target;
    FHead = FTail = 0;
    return FPos;
  }

private:
  static constexpr int64_t kChunk = 1 << 16;
  TStream& FInner;
  int64_t FPos;
  std::vector<uint8_t> FBuf = std::vector<uint8_t>(kChunk);
  size_t FHead = 0, FTail = 0;
};

bool IsExecutableMarker(const uint8_t sig[4], int64_t got) {
  if (got >= 2 && AbGetLE16(sig) == Ab_WindowsExeSignature) return true;
  return got >= 4 && AbGetLE32(sig) == Ab_LinuxExeSignature;
}

} // namespace

// ===========================================================================
// TAbExtraField
// ===========================================================================

void TAbExtraField::LoadFromStream(TStream& aStream, int64_t aSize) {
  ReadExactly(aStream, static_cast<size_t>(std::max<int64_t>(aSize, 0)), FBuffer);
}

bool TAbExtraField::FindNext(size_t& aOffset, bool first, uint16_t& aID, uint16_t& aSize) const {
  if (!first) aOffset += Ab_ZipSubfieldHeaderSize + aSize;
  if (aOffset > FBuffer.size()) return false;
  size_t remaining = FBuffer.size() - aOffset;
  if (remaining < Ab_ZipSubfieldHeaderSize) return false;
  auto* p = reinterpret_cast<uint8_t*>(FBuffer.data()) + aOffset;
  aID = AbGetLE16(p);
  aSize = AbGetLE16(p + 2);
  if (static_cast<size_t>(aSize) + Ab_ZipSubfieldHeaderSize > remaining) {
    aSize = static_cast<uint16_t>(remaining - Ab_ZipSubfieldHeaderSize);
    AbPutLE16(p + 2, aSize);
  }
  return true;
}

bool TAbExtraField::FindField(uint16_t aID, size_t& aOffset, uint16_t& aSize) const {
  aOffset = 0;
  uint16_t id = 0;
  aSize = 0;
  for (bool ok = FindNext(aOffset, true, id, aSize); ok; ok = FindNext(aOffset, false, id, aSize))
    if (id == aID) return true;
  return false;
}

int TAbExtraField::Count() const {
  size_t off = 0;
  uint16_t id = 0, size = 0;
  int n = 0;
  for (bool ok = FindNext(off, true, id, size); ok; ok = FindNext(off, false, id, size)) ++n;
  return n;
}

uint16_t TAbExtraField::GetID(int aIndex) const {
  size_t off = 0;
  uint16_t id = 0, size = 0;
  int n = 0;
  for (bool ok = FindNext(off, true, id, size); ok; ok = FindNext(off, false, id, size))
    if (n++ == aIndex) return id;
  throw rtl::EListError(aIndex);
}

bool TAbExtraField::Has(uint16_t aID) const {
  size_t off;
  uint16_t size;
  return FindField(aID, off, size);
}

bool TAbExtraField::Get(uint16_t aID, const uint8_t*& aData, uint16_t& aDataSize) const {
  size_t off;
  uint16_t size;
  if (FindField(aID, off, size)) {
    aData = reinterpret_cast<const uint8_t*>(FBuffer.data()) + off + Ab_ZipSubfieldHeaderSize;
    aDataSize = size;
    return true;
  }
  aData = nullptr;
  aDataSize = 0;
  return false;
}

bool TAbExtraField::GetStream(uint16_t aID, std::unique_ptr<rtl::TMemoryStream>& aStream) const {
  const uint8_t* data;
  uint16_t size;
  aStream.reset();
  if (!Get(aID, data, size)) return false;
  aStream = std::make_unique<rtl::TMemoryStream>(std::string(reinterpret_cast<const char*>(data), size));
  return true;
}

void TAbExtraField::Put(uint16_t aID, const void* aData, uint16_t aDataSize) {
  Delete(aID);
  uint8_t head[Ab_ZipSubfieldHeaderSize];
  AbPutLE16(head, aID);
  AbPutLE16(head + 2, aDataSize);
  std::string bytes(FBuffer.View());
  bytes.append(reinterpret_cast<const char*>(head), sizeof head);
  bytes.append(static_cast<const char*>(aData), aDataSize);
  FBuffer = bytes;
}

void TAbExtraField::Delete(uint16_t aID) {
  size_t off;
  uint16_t size;
  if (FindField(aID, off, size)) {
    std::string bytes(FBuffer.View());
    bytes.erase(off, Ab_ZipSubfieldHeaderSize + static_cast<size_t>(size));
    FBuffer = bytes;
  }
}

void TAbExtraField::Clear() { FBuffer.Clear(); }

// ===========================================================================
// Headers
// ===========================================================================

void TAbZipFileHeader::ReadSharedFields(TAbLEReader& r) {
  FVersionNeededToExtract = r.U16();
  FGeneralPurposeBitFlag = r.U16();
  FCompressionMethod = r.U16();
  FLastModFileTime = r.U16();
  FLastModFileDate = r.U16();
  FCRC32 = r.U32();
  FCompressedSize = r.U32();
  FUncompressedSize = r.U32();
}

void TAbZipLocalFileHeader::LoadFromStream(TStream& Stream) {
  uint8_t b[Ab_ZipLocalFileHeaderSize];
  Stream.ReadBuffer(b, sizeof b);
  TAbLEReader r(b, sizeof b);
  FSignature = r.U32();
  ReadSharedFields(r);
  const uint16_t n = r.U16(), m = r.U16();
  // The signature first: what follows a wrong one is not a name and an
  // extra field, and reading it would only turn the clear failure into a
  // short read.
  if (!IsValid()) throw EAbZipInvalid();
  FFileName = ReadUpTo(Stream, n);
  FExtraField.LoadFromStream(Stream, m);
}

void TAbZipDirectoryFileHeader::LoadFromStream(TStream& Stream) {
  uint8_t b[Ab_ZipCentralDirectoryHeaderSize];
  Stream.ReadBuffer(b, sizeof b);
  TAbLEReader r(b, sizeof b);
  FSignature = r.U32();
  FVersionMadeBy = r.U16();
  ReadSharedFields(r);
  const uint16_t n = r.U16(), m = r.U16(), k = r.U16();
  FDiskNumberStart = r.U16();
  FInternalFileAttributes = r.U16();
  FExternalFileAttributes = r.U32();
  FRelativeOffset = r.U32();
  if (!IsValid()) throw EAbZipInvalid();  // as for the local header
  ReadExactly(Stream, n, FFileName);
  FExtraField.LoadFromStream(Stream, m);
  ReadExactly(Stream, k, FFileComment);
}

void TAbZipDirectoryFileFooter::LoadFromStream(TStream& Stream) {
  uint8_t b[Ab_ZipEndCentralDirectorySize];
  Stream.ReadBuffer(b, sizeof b);
  TAbLEReader r(b, sizeof b);
  if (r.U32() != Ab_ZipEndCentralDirectorySignature) throw EAbZipInvalid();
  FRawDiskNumber = r.U16();
  FRawStartDisk = r.U16();
  FRawEntriesOnDisk = r.U16();
  FRawTotalEntries = r.U16();
  FRawDirectorySize = r.U32();
  FRawDirectoryOffset = r.U32();
  const uint16_t commentLength = r.U16();
  FDiskNumber = FRawDiskNumber;
  FStartDiskNumber = FRawStartDisk;
  FEntriesOnDisk = FRawEntriesOnDisk;
  FTotalEntries = FRawTotalEntries;
  FDirectorySize = FRawDirectorySize;
  FDirectoryOffset = FRawDirectoryOffset;
  FZipfileComment = ReadExactly(Stream, commentLength);
}

void TAbZipDirectoryFileFooter::LoadZip64FromStream(TStream& Stream) {
  uint8_t b[Ab_Zip64EndCentralDirectorySize];
  Stream.ReadBuffer(b, sizeof b);
  TAbLEReader r(b, sizeof b);
  if (r.U32() != Ab_Zip64EndCentralDirectorySignature) throw EAbZipInvalid();
  r.Skip(8 + 2 + 2);  // record size, versions made by and needed
  const uint32_t disk = r.U32(), startDisk = r.U32();
  const uint64_t onDisk = r.U64(), total = r.U64(), size = r.U64(), offset = r.U64();
  if (FRawDiskNumber == Ab_Zip64Escape16) FDiskNumber = disk;
  if (FRawStartDisk == Ab_Zip64Escape16) FStartDiskNumber = startDisk;
  if (FRawEntriesOnDisk == Ab_Zip64Escape16) FEntriesOnDisk = onDisk;
  if (FRawTotalEntries == Ab_Zip64Escape16) FTotalEntries = total;
  if (FRawDirectorySize == Ab_Zip64Escape32) FDirectorySize = size;
  if (FRawDirectoryOffset == Ab_Zip64Escape32) FDirectoryOffset = offset;
}

bool TAbZipDirectoryFileFooter::IsZip64() const {
  return FDiskNumber >= Ab_Zip64Escape16 || FStartDiskNumber >= Ab_Zip64Escape16 || FEntriesOnDisk >= Ab_Zip64Escape16 ||
         FTotalEntries >= Ab_Zip64Escape16 || FDirectorySize >= Ab_Zip64Escape32 || FDirectoryOffset >= Ab_Zip64Escape32;
}

// ===========================================================================
// TAbZipItem
// ===========================================================================

std::string DecodeZipItemName(const TAbZipDirectoryFileHeader& Header) {
  const std::string raw = Header.FFileName.Str();
  const uint8_t* data;
  uint16_t size;
  // a. UTF-8 by flag or by content.
  if (Header.IsUTF8() || DetectCharSet(raw) == csUTF8) return rtl::SanitizeUtf8(raw);
  // b. Info-ZIP Unicode path, valid only while its CRC matches the raw name.
  if (Header.FExtraField.Get(Ab_InfoZipUnicodePathSubfieldID, data, size) && size > 6 && data[0] == 1 &&
      AbGetLE32(data + 1) == Crc32OfString(raw))
    return rtl::SanitizeUtf8(std::string(reinterpret_cast<const char*>(data) + 5, size - 5u));
  // c. Xceed Unicode name: "NUCX", a count, then UTF-16LE code units.
  if (Header.FExtraField.Get(Ab_XceedUnicodePathSubfieldID, data, size) && size > 10 &&
      AbGetLE32(data) == Ab_XceedUnicodePathSignature && 2ull * AbGetLE32(data + 4) == size - 8ull) {
    std::u16string u(AbGetLE32(data + 4), u'\0');
    for (size_t i = 0; i < u.size(); ++i) u[i] = static_cast<char16_t>(AbGetLE16(data + 8 + 2 * i));
    return rtl::Utf16ToUtf8(u);
  }
  int ansi = rtl::AnsiCodePage(), oem = rtl::OemCodePage();
  // d. One code page for both.
  if (ansi == oem) return rtl::CodePageToUtf8(raw, ansi);
  // e. Made elsewhere than DOS, and not looking like OEM text.
  if ((Header.FVersionMadeBy >> 8) != hsMSDOS && !IsOemName(raw, oem)) return rtl::CodePageToUtf8(raw, ansi);
  // f. The OEM code page.
  return rtl::CodePageToUtf8(raw, oem);
}

void TAbZipItem::LoadFromStream(TStream& Stream) {
  TAbZipDirectoryFileHeader header;
  header.LoadFromStream(Stream);
  FFileName = DecodeZipItemName(header);
  FVersionMadeBy = header.FVersionMadeBy;
  FVersionNeededToExtract = header.FVersionNeededToExtract;
  FGeneralPurposeBitFlag = header.FGeneralPurposeBitFlag;
  FCompressionMethod = header.FCompressionMethod;
  FLastModFileTime = header.FLastModFileTime;
  FLastModFileDate = header.FLastModFileDate;
  FCRC32 = header.FCRC32;
  FInternalFileAttributes = header.FInternalFileAttributes;
  FExternalFileAttributes = header.FExternalFileAttributes;
  FUncompressedSize = header.FUncompressedSize;
  FCompressedSize = header.FCompressedSize;
  FRelativeOffset = header.FRelativeOffset;
  FDiskNumberStart = header.FDiskNumberStart;

  const uint8_t* z64;
  uint16_t z64Size;
  if (header.FExtraField.Get(Ab_Zip64SubfieldID, z64, z64Size)) {
    // The values present are those the header escaped, in this order.
    TAbLEReader r(z64, z64Size);
    if (header.FUncompressedSize == Ab_Zip64Escape32) FUncompressedSize = static_cast<int64_t>(r.U64());
    if (header.FCompressedSize == Ab_Zip64Escape32) FCompressedSize = static_cast<int64_t>(r.U64());
    if (header.FRelativeOffset == Ab_Zip64Escape32) FRelativeOffset = static_cast<int64_t>(r.U64());
    if (header.FDiskNumberStart == Ab_Zip64Escape16) FDiskNumberStart = r.U32();
    if (!r.Ok()) throw rtl::EReadError();
  }
  // The stored bytes are kept apart only when they are not the decoded name.
  FRawNameIsFileName = header.FFileName == FFileName;
  FRawFileName = FRawNameIsFileName ? TAbRawBytes() : std::move(header.FFileName);
  FExtraField = std::move(header.FExtraField);
  FFileComment = std::move(header.FFileComment);
  FDiskNameIsFileName = true;
  FDiskFileName.reset();
  FAction = aaNone;
  FTagged = false;
}

bool TAbZipItem::IsDirectory() const {
  if (FExternalFileAttributes & faDirectory) return true;
  return !FFileName.empty() && (FFileName.back() == '/' || FFileName.back() == '\\');
}

bool TAbZipItem::MadeOnDos() const {
  const uint8_t h = HostSystem();
  return h == hsMSDOS || h == hsOS2HPFS || h == hsWindowsNTFS || h == hsInfoZipNTFS || h == hsVFAT;
}

uint32_t TAbZipItem::NativeFileAttributes() const {
  uint32_t ext = FExternalFileAttributes;
  if (HostSystem() == hsUnix || ext > 0x1FFFF) return UnixModeToAttributes(ext >> 16);
  return ext & 0xFF;
}

uint32_t TAbZipItem::UnixPermissions() const {
  if (HostSystem() != hsUnix) return 0;
  return (FExternalFileAttributes >> 16) & 0777;
}

void TAbZipItem::SetIsEncrypted(bool V) {
  if (V)
    FGeneralPurposeBitFlag |= Ab_ZipFlagEncrypted;
  else
    FGeneralPurposeBitFlag &= static_cast<uint16_t>(~Ab_ZipFlagEncrypted);
}

double TAbZipItem::CompressionRatio() const {
  if (FUncompressedSize == 0) return 0;
  double stored = static_cast<double>(FCompressedSize);
  if (IsEncrypted()) stored -= Ab_ZipEncryptionHeaderSize;
  return (1.0 - stored / static_cast<double>(FUncompressedSize)) * 100.0;
}

TAbZipDeflationOption TAbZipItem::DeflationOption() const {
  if (FCompressionMethod != cmDeflated) return doInvalid;
  switch ((FGeneralPurposeBitFlag >> Ab_ZipFlagDeflateOptionShift) & Ab_ZipFlagDeflateOptionMask) {
    case 0: return doNormal;
    case 1: return doMaximum;
    case 2: return doFast;
    default: return doSuperFast;
  }
}

TAbZipDictionarySize TAbZipItem::DictionarySize() const {
  if (FCompressionMethod != cmImploded) return dsInvalid;
  return (FGeneralPurposeBitFlag & Ab_ZipFlagImplode8KDictionary) ? ds8K : ds4K;
}

uint8_t TAbZipItem::ShannonFanoTreeCount() const {
  if (FCompressionMethod != cmImploded) return 0;
  return (FGeneralPurposeBitFlag & Ab_ZipFlagImplode3Trees) ? 3 : 2;
}

// ===========================================================================
// Recognition
// ===========================================================================

int64_t FindEndRecord(TStream& Stream) {
  const int64_t start = Stream.Position();
  const int64_t size = Stream.Size();
  uint8_t probe[22];

  // Fast path: an archive without comment ends with its 22-byte record.
  if (size >= 22 && Stream.Seek(size - 22, soBeginning) == size - 22 && Stream.Read(probe, 22) == 22 &&
      AbGetLE32(probe) == Ab_ZipEndCentralDirectorySignature && AbGetLE16(probe + 20) == 0) {
    Stream.Seek(size - 22, soBeginning);
    return size - 22;
  }

  // Backward windows of 512, 1024, ... 65536 bytes; each next window ends 22
  // bytes after the start of the current one, so a record cut by a window
  // border is whole in the next window.
  constexpr int64_t kFirstWindow = 512, kMaxWindow = 65536;
  std::vector<uint8_t> buf(kMaxWindow);
  int64_t windowSize = kFirstWindow;
  int64_t windowStart = size - windowSize;
  for (;;) {
    bool last = false;
    if (windowStart <= 0) {
      windowStart = 0;
      last = true;
    }
    Stream.Seek(windowStart, soBeginning);
    int64_t want = std::min(windowSize, size - windowStart);
    int64_t got = 0;
    while (got < want) {
      int64_t n = Stream.Read(buf.data() + got, want - got);
      if (n <= 0) break;
      got += n;
    }
    if (got < 22) break;
    for (int64_t i = got - 22; i >= 0; --i) {
      if (AbGetLE32(&buf[static_cast<size_t>(i)]) != Ab_ZipEndCentralDirectorySignature) continue;
      int64_t pos = windowStart + i;
      int64_t commentLen = AbGetLE16(&buf[static_cast<size_t>(i) + 20]);
      if (commentLen <= size - (pos + 22)) {
        Stream.Seek(pos, soBeginning);
        return pos;
      }
    }
    if (last) break;
    int64_t nextEnd = windowStart + 22;
    windowSize = std::min(windowSize * 2, kMaxWindow);
    windowStart = nextEnd - windowSize;
  }
  Stream.Seek(start, soBeginning);
  return -1;
}

int64_t FindZip64Locator(TStream& Stream, int64_t MaxPosition) {
  // Scans backwards from MaxPosition in 64 KiB blocks (overlapping by the
  // signature's length) for the first position whose 20 bytes start with
  // the locator signature: the same answer as stepping one byte at a time.
  constexpr int64_t kBlock = 65536;
  std::vector<uint8_t> buf(static_cast<size_t>(kBlock + 3));
  int64_t hi = MaxPosition;  // highest candidate position still to examine
  while (hi >= 0) {
    int64_t lo = std::max<int64_t>(0, hi - kBlock + 1);
    int64_t len = hi - lo + 4;
    Stream.Seek(lo, soBeginning);
    int64_t got = 0;
    while (got < len) {
      int64_t n = Stream.Read(buf.data() + got, len - got);
      if (n <= 0) break;
      got += n;
    }
    for (int64_t i = std::min(hi - lo, got - 4); i >= 0; --i)
      if (AbGetLE32(&buf[static_cast<size_t>(i)]) == Ab_Zip64EndCentralDirectoryLocatorSignature) return lo + i;
    hi = lo - 1;
  }
  return -1;
}

TAbArchiveType DetectZip(TStream& Stream) {
  const int64_t pos = Stream.Position();
  TAbArchiveType result = atUnknown;
  try {
    uint8_t sig[4] = {0, 0, 0, 0};
    Stream.Seek(0, soBeginning);
    Stream.Read(sig, 4);
    if (AbGetLE32(sig) == Ab_ZipSpannedSetSignature) {
      result = atSpannedZip;
    } else if (FindEndRecord(Stream) >= 0) {
      uint8_t rec[22];
      Stream.ReadBuffer(rec, 22);
      if (AbGetLE32(rec) == Ab_ZipEndCentralDirectorySignature) result = AbGetLE16(rec + 4) == 0 ? atZip : atSpannedZip;
    }
  } catch (const rtl::EReadError&) {
    result = atUnknown;
  }
  Stream.Seek(pos, soBeginning);
  return result;
}

TAbArchiveType DetectSelfExtractingZip(TStream& Stream) {
  const int64_t pos = Stream.Position();
  uint8_t sig[4] = {0, 0, 0, 0};
  Stream.Seek(0, soBeginning);
  int64_t got = Stream.Read(sig, 4);
  Stream.Seek(pos, soBeginning);
  if (IsExecutableMarker(sig, got) && DetectZip(Stream) == atZip) return atSelfExtZip;
  return atUnknown;
}

// ===========================================================================
// TAbZipArchive
// ===========================================================================

TAbZipArchive::TAbZipArchive(const std::string& FileName, uint16_t Mode) : TAbArchive(FileName, Mode) { InitZip(); }

TAbZipArchive::TAbZipArchive(TStream* AStream, const std::string& ArchiveName) : TAbArchive(AStream, ArchiveName) {
  InitZip();
}

TAbZipArchive::~TAbZipArchive() = default;

void TAbZipArchive::InitZip() {
  FCompressionMethodToUse = smBestMethod;
  FInfo = std::make_unique<TAbZipDirectoryFileFooter>();
  FStoreOptions.Include(soStripDrive);
  FDeflationOption = doNormal;
  FPasswordRetries = 3;
  FTempDir.clear();
  FSpanningThreshold = 0;
}

void TAbZipArchive::ExtractItemAt(int Index, const std::string& UseName) {
  if (!ExtractHelper) throw EAbZipNoExtraction();
  ExtractHelper(this, FItemList->Get(Index), UseName);
}

void TAbZipArchive::ExtractItemToStreamAt(int Index, TStream* aStream) {
  if (!ExtractToStreamHelper) throw EAbZipNoExtraction();
  ExtractToStreamHelper(this, FItemList->Get(Index), aStream);
}

void TAbZipArchive::TestItemAt(int Index) {
  if (!TestHelper) throw EAbZipNoExtraction();
  TestHelper(this, FItemList->Get(Index));
}

void TAbZipArchive::SaveArchive() {
  // The engine reads archives; items it loads never have pending changes.
  rtl::Assert("TAbZipArchive.SaveArchive: writing archives is not supported");
}

void TAbZipArchive::DoRequestLastDisk(bool& Abort) {
  Abort = false;
  if (OnRequestLastDisk)
    OnRequestLastDisk(this, Abort);
  else
    Abort = true;
}

void TAbZipArchive::DoRequestNthDisk(uint8_t DiskNumber, bool& Abort) {
  Abort = false;
  if (OnRequestNthDisk)
    OnRequestNthDisk(this, DiskNumber, Abort);
  else
    Abort = true;
}

void TAbZipArchive::DoRequestBlankDisk(bool& Abort) {
  Abort = false;
  if (OnRequestBlankDisk)
    OnRequestBlankDisk(this, Abort);
  else
    Abort = true;
}

void TAbZipArchive::DoRequestImage(TObject* Sender, int ImageNumber, std::string& ImageName, bool& Abort) {
  if (OnRequestImage) OnRequestImage(Sender, ImageNumber, ImageName, Abort);
}

// Loading: the directory, or, when asked for and the directory cannot be
// read, the local headers (AbZipLocal.cpp).
void TAbZipArchive::LoadArchive() {
  if (FStream->Size() == 0) return;
  FLocalHeaderReading = TLocalHeaderReading();
  if (!FReadLocalHeaders) {
    LoadDirectory();
    return;
  }
  try {
    LoadDirectory();
  } catch (const EAbUserAbort&) {
    throw;
  } catch (const std::exception& e) {
    if (FSpanned) throw;  // a set's volumes hold no item list of their own
    ReadLocalHeaders(FindEndRecord(*FStream) < 0 ? std::string("it has no end record")
                                                 : std::string("its central directory is damaged: ") + e.what());
  }
}

// The directory, in the order of the records: the end record (asking for
// the last disk of a set when it is not there), the Zip64 records it points
// to, the start of the directory (through the span reader for a set), the
// entries, and the index of local headers that the pipeline checks items
// against.
void TAbZipArchive::LoadDirectory() {
  const int64_t tail = LocateEndRecord();
  const TZip64Location zip64 = ReadEndRecords(tail);
  TAbSpanReadStream* span = FSpanned ? OpenSpannedDirectory(zip64) : nullptr;
  const int64_t directoryEnd = span ? -1 : OpenDirectory(tail, zip64);
  ReadDirectory(span == nullptr, directoryEnd);
  IndexLocalHeaders();
  bool ignored = false;
  DoArchiveProgress(100, ignored);
  FIsDirty = false;
}

int64_t TAbZipArchive::LocateEndRecord() {
  uint8_t sig[4] = {0, 0, 0, 0};
  FStream->Seek(0, soBeginning);
  const int64_t got = FStream->Read(sig, 4);
  FIsExecutable = IsExecutableMarker(sig, got);

  int64_t tail = FindEndRecord(*FStream);
  if (tail == -1 && got == 4 && AbGetLE32(sig) == Ab_ZipSpannedSetSignature && FOwnsStream &&
      AbDriveIsRemovable(FArchiveName)) {
    // The first disk of a set: ask for the last one until it is there.
    while (tail == -1) {
      ReplaceStream(nullptr, false);
      bool abort = false;
      DoRequestLastDisk(abort);
      if (abort) {
        FStatus = asInvalid;
        throw EAbUserAbort();
      }
      ReplaceStream(new rtl::TBufferedFileStream(FArchiveName, FMode), true);
      tail = FindEndRecord(*FStream);
    }
  }
  if (tail == -1) {
    FStatus = asInvalid;
    throw EAbZipInvalid();
  }
  return tail;
}

TAbZipArchive::TZip64Location TAbZipArchive::ReadEndRecords(int64_t Tail) {
  FStream->Seek(Tail, soBeginning);
  FInfo->LoadFromStream(*FStream);
  TZip64Location zip64;
  if (FInfo->IsZip64()) {
    zip64.Locator = Tail >= Ab_Zip64EndCentralDirectoryLocatorSize
                        ? FindZip64Locator(*FStream, Tail - Ab_Zip64EndCentralDirectoryLocatorSize)
                        : -1;
    if (zip64.Locator < 0) throw EAbZipInvalid();
    uint8_t loc[Ab_Zip64EndCentralDirectoryLocatorSize];
    FStream->Seek(zip64.Locator, soBeginning);
    FStream->ReadBuffer(loc, sizeof loc);
    TAbLEReader r(loc, sizeof loc);
    r.Skip(4);  // signature, matched by the search
    zip64.Disk = r.U32();
    zip64.Offset = r.U64();
    FInfo->FDiskNumber = r.U32() - 1;
  }
  FSpanned = FInfo->FDiskNumber > 0;
  return zip64;
}

TAbSpanReadStream* TAbZipArchive::OpenSpannedDirectory(const TZip64Location& Zip64) {
  if (!FOwnsStream) throw EAbZipBadSpanStream();
  // The span reader takes over the open last volume.
  TStream* last = FStream;
  FOwnsStream = false;
  auto* span = new TAbSpanReadStream(FArchiveName, FInfo->FDiskNumber, last);
  ReplaceStream(span, true);
  span->SetOnRequestImage([this](TObject* Sender, int n, std::string& name, bool& abort) {
    DoRequestImage(Sender, n, name, abort);
  });
  span->SetOnRequestNthDisk([this](TObject*, uint8_t disk, bool& abort) { DoRequestNthDisk(disk, abort); });
  if (Zip64.Locator >= 0) {
    span->SeekImage(Zip64.Disk, static_cast<int64_t>(Zip64.Offset));
    FInfo->LoadZip64FromStream(*FStream);
  }
  span->SeekImage(FInfo->FStartDiskNumber, static_cast<int64_t>(FInfo->FDirectoryOffset));
  return span;
}

bool TAbZipArchive::HasSignatureAt(int64_t Position, uint32_t Signature) {
  uint8_t b[4];
  if (Position < 0 || FStream->Seek(Position, soBeginning) != Position || FStream->Read(b, 4) != 4) return false;
  return AbGetLE32(b) == Signature;
}

// A ZIP with bytes put in front of it after it was written (a stub joined
// with cat, a mail header, any prefix) still holds the offsets of the bare
// ZIP. Its records then lie exactly the prefix length further on than they
// say: the directory ends where the Zip64 end record or the end record
// begins. Only when the stated offset does not hold a central header and
// the shifted one does is the shift taken; an archive whose offsets are
// right keeps them.
int64_t TAbZipArchive::PrefixLength(int64_t DirectoryEnd) {
  const int64_t stated = static_cast<int64_t>(std::min<uint64_t>(FInfo->FDirectoryOffset, INT64_MAX));
  const int64_t size = static_cast<int64_t>(std::min<uint64_t>(FInfo->FDirectorySize, INT64_MAX));
  if (size == 0 || size > DirectoryEnd) return 0;
  if (stated < DirectoryEnd && HasSignatureAt(stated, Ab_ZipCentralDirectorySignature)) return 0;
  const int64_t shift = DirectoryEnd - size - stated;
  if (shift > 0 && HasSignatureAt(stated + shift, Ab_ZipCentralDirectorySignature)) return shift;
  return 0;
}

int64_t TAbZipArchive::OpenDirectory(int64_t Tail, const TZip64Location& Zip64) {
  int64_t directoryEnd = Tail;
  if (Zip64.Locator >= 0) {
    int64_t at = static_cast<int64_t>(std::min<uint64_t>(Zip64.Offset, INT64_MAX));
    // Behind a prefix, the Zip64 end record (without extensible data, as
    // writers make it) lies right before its locator.
    const int64_t beforeLocator = Zip64.Locator - Ab_Zip64EndCentralDirectorySize;
    if (!HasSignatureAt(at, Ab_Zip64EndCentralDirectorySignature) && beforeLocator > at &&
        HasSignatureAt(beforeLocator, Ab_Zip64EndCentralDirectorySignature))
      at = beforeLocator;
    FStream->Seek(at, soBeginning);
    FInfo->LoadZip64FromStream(*FStream);
    directoryEnd = at;
  }
  FOffsetCorrection = PrefixLength(directoryEnd);
  if (FOffsetCorrection > 0) FInfo->FDirectoryOffset += static_cast<uint64_t>(FOffsetCorrection);
  const int64_t start = static_cast<int64_t>(std::min<uint64_t>(FInfo->FDirectoryOffset, INT64_MAX));
  if (FStream->Seek(start, soBeginning) < 0) throw EAbZipInvalid();
  return directoryEnd;
}

void TAbZipArchive::ReadDirectory(bool SingleFile, int64_t DirectoryEnd) {
  FStubSize = 0xFFFFFFFF;
  // A spanned set is read straight through its reader, which crosses
  // volumes; a single file goes through the read-ahead buffer.
  std::unique_ptr<TReadAhead> readAhead;
  if (SingleFile) readAhead = std::make_unique<TReadAhead>(*FStream);
  TStream& dir = readAhead ? *readAhead : *FStream;

  // The entry count is 16 bits in an end record without Zip64 records, and
  // writers that do not make them store a larger count modulo 65536. The
  // directory's size is what bounds it: after the stated count, entries
  // are read on while the stated size (within the file) still holds central
  // headers. Progress follows the count, unless the directory is large
  // enough to hold 65536 entries more than it says: then the count may be
  // wrapped, and progress follows the bytes of the directory read.
  int64_t start = 0, sizeEnd = -1;
  bool byBytes = false;
  if (readAhead) {
    start = readAhead->Position();
    const int64_t size = static_cast<int64_t>(std::min<uint64_t>(FInfo->FDirectorySize, INT64_MAX));
    sizeEnd = start + std::min(size, std::max<int64_t>(DirectoryEnd - start, 0));
    const uint64_t room = static_cast<uint64_t>(sizeEnd - start) / Ab_ZipCentralDirectoryHeaderSize;
    byBytes = FInfo->FRawTotalEntries != Ab_Zip64Escape16 && room >= FInfo->FTotalEntries + 0x10000;
    // Room for the list up front: the count, or when it may be wrapped as
    // many entries of the fixed header's size as the directory holds.
    FItemList->Reserve(static_cast<size_t>(byBytes ? room : std::min<uint64_t>(room, FInfo->FTotalEntries)));
  }
  auto more = [&] {
    if (static_cast<uint64_t>(Count()) < FInfo->FTotalEntries) return true;
    if (!readAhead || readAhead->Position() >= sizeEnd) return false;
    uint8_t sig[4];
    return readAhead->Peek(sig, 4) && AbGetLE32(sig) == Ab_ZipCentralDirectorySignature;
  };
  bool abort = false;
  while (more()) {
    auto item = std::make_unique<TAbZipItem>();
    item->LoadFromStream(dir);
    item->SetAction(aaNone);
    if (SingleFile && FOffsetCorrection > 0) item->ShiftRelativeOffset(FOffsetCorrection);
    TAbZipItem* raw = item.release();
    FItemList->Add(raw);
    if (FIsExecutable && raw->DiskNumberStart() == 0 && raw->RelativeOffset() < static_cast<int64_t>(FStubSize))
      FStubSize = static_cast<uint32_t>(raw->RelativeOffset());
    const int64_t total = static_cast<int64_t>(std::min<uint64_t>(FInfo->FTotalEntries, INT64_MAX));
    DoArchiveProgress(byBytes ? AbPercentage(readAhead->Position() - start, sizeEnd - start) : AbPercentage(Count(), total),
                      abort);
    if (abort) {
      FStatus = asInvalid;
      throw EAbUserAbort();
    }
  }
}

void TAbZipArchive::IndexLocalHeaders() {
  FLocalHeaders.clear();
  if (FSpanned) return;
  FLocalHeaders.reserve(static_cast<size_t>(Count()));
  for (TAbArchiveItem* item : *FItemList)
    FLocalHeaders.emplace_back(static_cast<TAbZipItem*>(item)->RelativeOffset(), item->CompressedSize());
  std::sort(FLocalHeaders.begin(), FLocalHeaders.end());
}

void TAbZipArchive::CheckItemBounds(const TAbZipItem& Item, int64_t DataStart) const {
  if (FSpanned || FLocalHeaders.empty()) return;
  const int64_t at = Item.RelativeOffset();
  const int64_t directory = static_cast<int64_t>(std::min<uint64_t>(FInfo->FDirectoryOffset, INT64_MAX));
  if (at < 0 || at >= directory) throw EAbZipInvalid();
  auto byOffset = [](const std::pair<int64_t, int64_t>& e, int64_t v) { return e.first < v; };
  auto first = std::lower_bound(FLocalHeaders.begin(), FLocalHeaders.end(), at, byOffset);
  auto after = first;
  while (after != FLocalHeaders.end() && after->first == at) ++after;
  if (after - first > 1) throw EAbZipInvalid();
  if (first != FLocalHeaders.begin()) {
    const auto& before = *(first - 1);
    // The item before takes at least its fixed header and its data; a size
    // read as negative makes no claim.
    const int64_t claimed = Ab_ZipLocalFileHeaderSize + std::min<int64_t>(before.second, INT64_MAX - Ab_ZipLocalFileHeaderSize);
    if (before.second >= 0 && at - before.first < claimed) throw EAbZipInvalid();
  }
  const int64_t limit = after != FLocalHeaders.end() ? std::min(after->first, directory) : directory;
  // Sizes are known not to be negative here; compare without overflow.
  if (DataStart > limit || Item.CompressedSize() > limit - DataStart) throw EAbZipInvalid();
}

// ===========================================================================
// Removable drives
// ===========================================================================

bool AbDriveIsRemovable(const std::string& ArchiveName) {
  return rtl::DriveTypeOf(rtl::ExpandFileName(ArchiveName)) == rtl::TDriveType::Removable;
}

} // namespace ab
