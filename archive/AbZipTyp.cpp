#include "archive/AbZipTyp.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/AbCharset.h"
#include "archive/AbExcept.h"
#include "archive/AbSpanSt.h"
#include "archive/AbUtils.h"
#include "rtl/Drives.h"
#include "rtl/FileSys.h"
#include "rtl/Text.h"

namespace ab {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const uint8_t* p) { return Get32(p) | (static_cast<uint64_t>(Get32(p + 4)) << 32); }

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
  if (got >= 2 && Get16(sig) == Ab_WindowsExeSignature) return true;
  return got >= 4 && Get32(sig) == Ab_LinuxExeSignature;
}

} // namespace

// ===========================================================================
// TAbExtraField
// ===========================================================================

void TAbExtraField::LoadFromStream(TStream& aStream, int64_t aSize) {
  FBuffer = ReadExactly(aStream, static_cast<size_t>(std::max<int64_t>(aSize, 0)));
  Changed();
}

bool TAbExtraField::FindNext(size_t& aOffset, bool first, uint16_t& aID, uint16_t& aSize) const {
  if (!first) aOffset += 4 + aSize;
  if (aOffset > FBuffer.size()) return false;
  size_t remaining = FBuffer.size() - aOffset;
  if (remaining < 4) return false;
  auto* p = reinterpret_cast<uint8_t*>(FBuffer.data()) + aOffset;
  aID = Get16(p);
  aSize = Get16(p + 2);
  if (static_cast<size_t>(aSize) + 4 > remaining) {
    aSize = static_cast<uint16_t>(remaining - 4);
    p[2] = static_cast<uint8_t>(aSize & 0xFF);
    p[3] = static_cast<uint8_t>(aSize >> 8);
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
    aData = reinterpret_cast<const uint8_t*>(FBuffer.data()) + off + 4;
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
  std::string rec(4, '\0');
  rec[0] = static_cast<char>(aID & 0xFF);
  rec[1] = static_cast<char>(aID >> 8);
  rec[2] = static_cast<char>(aDataSize & 0xFF);
  rec[3] = static_cast<char>(aDataSize >> 8);
  rec.append(static_cast<const char*>(aData), aDataSize);
  FBuffer += rec;
  Changed();
}

void TAbExtraField::Delete(uint16_t aID) {
  size_t off;
  uint16_t size;
  if (FindField(aID, off, size)) {
    FBuffer.erase(off, 4 + static_cast<size_t>(size));
    Changed();
  }
}

void TAbExtraField::Clear() {
  FBuffer.clear();
  Changed();
}

// ===========================================================================
// Headers
// ===========================================================================

TAbZipDeflationOption TAbZipFileHeader::DeflationOption() const {
  if (FCompressionMethod != cmDeflated) return doInvalid;
  switch ((FGeneralPurposeBitFlag >> 1) & 3) {
    case 0: return doNormal;
    case 1: return doMaximum;
    case 2: return doFast;
    default: return doSuperFast;
  }
}

TAbZipDictionarySize TAbZipFileHeader::DictionarySize() const {
  if (FCompressionMethod != cmImploded) return dsInvalid;
  return (FGeneralPurposeBitFlag & 0x02) ? ds8K : ds4K;
}

uint8_t TAbZipFileHeader::ShannonFanoTreeCount() const {
  if (FCompressionMethod != cmImploded) return 0;
  return (FGeneralPurposeBitFlag & 0x04) ? 3 : 2;
}

double TAbZipFileHeader::CompressionRatio() const {
  if (FUncompressedSize == 0) return 0;
  double stored = FCompressedSize;
  if (IsEncrypted()) stored -= 12;
  return (1.0 - stored / FUncompressedSize) * 100.0;
}

void TAbZipLocalFileHeader::LoadFromStream(TStream& Stream) {
  uint8_t b[30];
  Stream.ReadBuffer(b, 30);
  FSignature = Get32(b);
  FVersionNeededToExtract = Get16(b + 4);
  FGeneralPurposeBitFlag = Get16(b + 6);
  FCompressionMethod = Get16(b + 8);
  FLastModFileTime = Get16(b + 10);
  FLastModFileDate = Get16(b + 12);
  FCRC32 = Get32(b + 14);
  FCompressedSize = Get32(b + 18);
  FUncompressedSize = Get32(b + 22);
  // The signature first: what follows a wrong one is not a name and an
  // extra field, and reading it would only turn the clear failure into a
  // short read.
  if (!IsValid()) throw EAbZipInvalid();
  uint16_t n = Get16(b + 26), m = Get16(b + 28);
  FFileName = ReadUpTo(Stream, n);
  FExtraField.LoadFromStream(Stream, m);
}

void TAbZipDirectoryFileHeader::LoadFromStream(TStream& Stream) {
  uint8_t b[46];
  Stream.ReadBuffer(b, 46);
  FSignature = Get32(b);
  FVersionMadeBy = Get16(b + 4);
  FVersionNeededToExtract = Get16(b + 6);
  FGeneralPurposeBitFlag = Get16(b + 8);
  FCompressionMethod = Get16(b + 10);
  FLastModFileTime = Get16(b + 12);
  FLastModFileDate = Get16(b + 14);
  FCRC32 = Get32(b + 16);
  FCompressedSize = Get32(b + 20);
  FUncompressedSize = Get32(b + 24);
  uint16_t n = Get16(b + 28), m = Get16(b + 30), k = Get16(b + 32);
  FDiskNumberStart = Get16(b + 34);
  FInternalFileAttributes = Get16(b + 36);
  FExternalFileAttributes = Get32(b + 38);
  FRelativeOffset = Get32(b + 42);
  if (!IsValid()) throw EAbZipInvalid();  // as for the local header
  FFileName = ReadExactly(Stream, n);
  FExtraField.LoadFromStream(Stream, m);
  FFileComment = ReadExactly(Stream, k);
}

void TAbZipDirectoryFileFooter::LoadFromStream(TStream& Stream) {
  uint8_t b[22];
  Stream.ReadBuffer(b, 22);
  if (Get32(b) != Ab_ZipEndCentralDirectorySignature) throw EAbZipInvalid();
  FRawDiskNumber = Get16(b + 4);
  FRawStartDisk = Get16(b + 6);
  FRawEntriesOnDisk = Get16(b + 8);
  FRawTotalEntries = Get16(b + 10);
  FRawDirectorySize = Get32(b + 12);
  FRawDirectoryOffset = Get32(b + 16);
  FDiskNumber = FRawDiskNumber;
  FStartDiskNumber = FRawStartDisk;
  FEntriesOnDisk = FRawEntriesOnDisk;
  FTotalEntries = FRawTotalEntries;
  FDirectorySize = FRawDirectorySize;
  FDirectoryOffset = FRawDirectoryOffset;
  FZipfileComment = ReadExactly(Stream, Get16(b + 20));
}

void TAbZipDirectoryFileFooter::LoadZip64FromStream(TStream& Stream) {
  uint8_t b[56];
  Stream.ReadBuffer(b, 56);
  if (Get32(b) != Ab_Zip64EndCentralDirectorySignature) throw EAbZipInvalid();
  if (FRawDiskNumber == 0xFFFF) FDiskNumber = Get32(b + 16);
  if (FRawStartDisk == 0xFFFF) FStartDiskNumber = Get32(b + 20);
  if (FRawEntriesOnDisk == 0xFFFF) FEntriesOnDisk = Get64(b + 24);
  if (FRawTotalEntries == 0xFFFF) FTotalEntries = Get64(b + 32);
  if (FRawDirectorySize == 0xFFFFFFFF) FDirectorySize = Get64(b + 40);
  if (FRawDirectoryOffset == 0xFFFFFFFF) FDirectoryOffset = Get64(b + 48);
}

bool TAbZipDirectoryFileFooter::IsZip64() const {
  return FDiskNumber >= 0xFFFF || FStartDiskNumber >= 0xFFFF || FEntriesOnDisk >= 0xFFFF || FTotalEntries >= 0xFFFF ||
         FDirectorySize >= 0xFFFFFFFF || FDirectoryOffset >= 0xFFFFFFFF;
}

// ===========================================================================
// TAbZipItem
// ===========================================================================

std::string DecodeZipItemName(const TAbZipDirectoryFileHeader& Header) {
  const std::string& raw = Header.FFileName;
  const uint8_t* data;
  uint16_t size;
  // a. UTF-8 by flag or by content.
  if (Header.IsUTF8() || DetectCharSet(raw) == csUTF8) return rtl::SanitizeUtf8(raw);
  // b. Info-ZIP Unicode path, valid only while its CRC matches the raw name.
  if (Header.FExtraField.Get(Ab_InfoZipUnicodePathSubfieldID, data, size) && size > 6 && data[0] == 1 &&
      Get32(data + 1) == Crc32OfString(raw))
    return rtl::SanitizeUtf8(std::string(reinterpret_cast<const char*>(data) + 5, size - 5u));
  // c. Xceed Unicode name: "NUCX", a count, then UTF-16LE code units.
  if (Header.FExtraField.Get(Ab_XceedUnicodePathSubfieldID, data, size) && size > 10 &&
      Get32(data) == Ab_XceedUnicodePathSignature && 2ull * Get32(data + 4) == size - 8ull) {
    std::u16string u(Get32(data + 4), u'\0');
    for (size_t i = 0; i < u.size(); ++i) u[i] = static_cast<char16_t>(Get16(data + 8 + 2 * i));
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
  FItemInfo.LoadFromStream(Stream);
  FFileName = DecodeZipItemName(FItemInfo);
  FUncompressedSize = FItemInfo.FUncompressedSize;
  FCompressedSize = FItemInfo.FCompressedSize;
  FRelativeOffset = FItemInfo.FRelativeOffset;
  FDiskNumberStart = FItemInfo.FDiskNumberStart;

  std::unique_ptr<rtl::TMemoryStream> z64;
  if (FItemInfo.FExtraField.GetStream(Ab_Zip64SubfieldID, z64)) {
    // Little-endian values, read in the order the escapes ask for them.
    auto next = [&](int bytes) {
      uint8_t b[8];
      z64->ReadBuffer(b, bytes);
      return bytes == 8 ? Get64(b) : Get32(b);
    };
    if (FItemInfo.FUncompressedSize == 0xFFFFFFFF) FUncompressedSize = static_cast<int64_t>(next(8));
    if (FItemInfo.FCompressedSize == 0xFFFFFFFF) FCompressedSize = static_cast<int64_t>(next(8));
    if (FItemInfo.FRelativeOffset == 0xFFFFFFFF) FRelativeOffset = static_cast<int64_t>(next(8));
    if (FItemInfo.FDiskNumberStart == 0xFFFF) FDiskNumberStart = static_cast<uint32_t>(next(4));
  }
  FDiskFileName = FFileName;
  rtl::ToNativeSeparators(FDiskFileName);
  FAction = aaNone;
  FTagged = false;
}

bool TAbZipItem::IsDirectory() const {
  if (FItemInfo.FExternalFileAttributes & faDirectory) return true;
  return !FFileName.empty() && (FFileName.back() == '/' || FFileName.back() == '\\');
}

uint32_t TAbZipItem::NativeFileAttributes() const {
  uint32_t ext = FItemInfo.FExternalFileAttributes;
  if (HostSystem() == hsUnix || ext > 0x1FFFF) return UnixModeToAttributes(ext >> 16);
  return ext & 0xFF;
}

uint32_t TAbZipItem::UnixPermissions() const {
  if (HostSystem() != hsUnix) return 0;
  return (FItemInfo.FExternalFileAttributes >> 16) & 0777;
}

void TAbZipItem::SetIsEncrypted(bool V) {
  if (V)
    FItemInfo.FGeneralPurposeBitFlag |= 1;
  else
    FItemInfo.FGeneralPurposeBitFlag &= ~1;
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
      Get32(probe) == Ab_ZipEndCentralDirectorySignature && Get16(probe + 20) == 0) {
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
      if (Get32(&buf[static_cast<size_t>(i)]) != Ab_ZipEndCentralDirectorySignature) continue;
      int64_t pos = windowStart + i;
      int64_t commentLen = Get16(&buf[static_cast<size_t>(i) + 20]);
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
      if (Get32(&buf[static_cast<size_t>(i)]) == Ab_Zip64EndCentralDirectoryLocatorSignature) return lo + i;
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
    if (Get32(sig) == Ab_ZipSpannedSetSignature) {
      result = atSpannedZip;
    } else if (FindEndRecord(Stream) >= 0) {
      uint8_t rec[22];
      Stream.ReadBuffer(rec, 22);
      if (Get32(rec) == Ab_ZipEndCentralDirectorySignature) result = Get16(rec + 4) == 0 ? atZip : atSpannedZip;
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

void TAbZipArchive::LoadArchive() {
  if (FStream->Size() == 0) return;

  uint8_t sig[4] = {0, 0, 0, 0};
  FStream->Seek(0, soBeginning);
  int64_t got = FStream->Read(sig, 4);
  FIsExecutable = IsExecutableMarker(sig, got);

  int64_t tail = FindEndRecord(*FStream);
  if (tail == -1 && got == 4 && Get32(sig) == Ab_ZipSpannedSetSignature && FOwnsStream &&
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

  FStream->Seek(tail, soBeginning);
  FInfo->LoadFromStream(*FStream);

  int64_t locator = -1;
  uint64_t z64Offset = 0;
  uint32_t z64Disk = 0;
  if (FInfo->IsZip64()) {
    locator = tail >= 20 ? FindZip64Locator(*FStream, tail - 20) : -1;
    if (locator < 0) throw EAbZipInvalid();
    uint8_t loc[20];
    FStream->Seek(locator, soBeginning);
    FStream->ReadBuffer(loc, 20);
    z64Disk = Get32(loc + 4);
    z64Offset = Get64(loc + 8);
    FInfo->FDiskNumber = Get32(loc + 16) - 1;
  }
  FSpanned = FInfo->FDiskNumber > 0;

  TAbSpanReadStream* span = nullptr;
  if (FSpanned) {
    if (!FOwnsStream) throw EAbZipBadSpanStream();
    // The span reader takes over the open last volume.
    TStream* last = FStream;
    FOwnsStream = false;
    span = new TAbSpanReadStream(FArchiveName, FInfo->FDiskNumber, last);
    ReplaceStream(span, true);
    span->SetOnRequestImage([this](TObject* Sender, int n, std::string& name, bool& abort) {
      DoRequestImage(Sender, n, name, abort);
    });
    span->SetOnRequestNthDisk([this](TObject*, uint8_t disk, bool& abort) { DoRequestNthDisk(disk, abort); });
    if (locator >= 0) {
      span->SeekImage(z64Disk, static_cast<int64_t>(z64Offset));
      FInfo->LoadZip64FromStream(*FStream);
    }
    span->SeekImage(FInfo->FStartDiskNumber, static_cast<int64_t>(FInfo->FDirectoryOffset));
  } else {
    if (locator >= 0) {
      FStream->Seek(static_cast<int64_t>(z64Offset), soBeginning);
      FInfo->LoadZip64FromStream(*FStream);
    }
    if (FStream->Seek(static_cast<int64_t>(FInfo->FDirectoryOffset), soBeginning) < 0) throw EAbZipInvalid();
  }

  FStubSize = 0xFFFFFFFF;
  {
    // A spanned set is read straight through its reader, which crosses
    // volumes; a single file goes through the read-ahead buffer.
    std::unique_ptr<TReadAhead> readAhead;
    if (!span) readAhead = std::make_unique<TReadAhead>(*FStream);
    TStream& dir = span ? *FStream : *readAhead;
    bool abort = false;
    while (static_cast<uint64_t>(Count()) < FInfo->FTotalEntries) {
      auto item = std::make_unique<TAbZipItem>();
      item->LoadFromStream(dir);
      item->SetAction(aaNone);
      TAbZipItem* raw = item.release();
      FItemList->Add(raw);
      if (FIsExecutable && raw->DiskNumberStart() == 0 && raw->RelativeOffset() < static_cast<int64_t>(FStubSize))
        FStubSize = static_cast<uint32_t>(raw->RelativeOffset());
      DoArchiveProgress(AbPercentage(Count(), static_cast<int64_t>(std::min<uint64_t>(FInfo->FTotalEntries, INT64_MAX))),
                        abort);
      if (abort) {
        FStatus = asInvalid;
        throw EAbUserAbort();
      }
    }
  }
  FLocalHeaders.clear();
  if (!span) {
    FLocalHeaders.reserve(static_cast<size_t>(Count()));
    for (TAbArchiveItem* item : *FItemList)
      FLocalHeaders.emplace_back(static_cast<TAbZipItem*>(item)->RelativeOffset(), item->CompressedSize());
    std::sort(FLocalHeaders.begin(), FLocalHeaders.end());
  }
  bool ignored = false;
  DoArchiveProgress(100, ignored);
  FIsDirty = false;
}

void TAbZipArchive::CheckItemBounds(const TAbZipItem& Item, int64_t DataStart) const {
  if (FSpanned || FLocalHeaders.empty()) return;
  constexpr int64_t kLocalHeaderSize = 30;
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
    if (before.second >= 0 && at - before.first < kLocalHeaderSize + std::min(before.second, INT64_MAX - kLocalHeaderSize))
      throw EAbZipInvalid();
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
