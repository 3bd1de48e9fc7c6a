// AbZipTyp: the ZIP container as the engine reads it.
//
// Records (all little-endian): local header, central header, end record
// with comment, Zip64 end record and locator. Loading finds the end record
// (a 22-byte probe first, then backward windows of growing size), follows
// the Zip64 locator when a 16- or 32-bit field holds its escape value, and
// reads the central directory into TAbZipItem objects in one sequential
// pass. The central directory is read through a small read-ahead buffer so
// that a directory of many thousand entries costs a handful of reads, not
// four system calls per entry.
//
// Offsets in the central directory are absolute positions in the file,
// also behind a self-extracting stub (StubSize reports where the ZIP data
// begins). Bytes put in front of an archive after it was written (a stub
// joined with cat, any other prefix) are not counted by its offsets; when
// the directory is found exactly that many bytes further on than stated,
// every offset is corrected by that length (OffsetCorrection), as other
// readers do. An archive whose offsets are right is read as they stand.
//
// The directory is read by its size: the 16-bit entry count of an end
// record without Zip64 records holds larger counts modulo 65536, so after
// the stated count entries are read on while the stated size, within the
// file, still holds central headers.
//
// A large directory is mostly per-item overhead, so an item keeps each
// stored field once, in one exact allocation (TAbRawBytes), and its name
// once when the stored bytes are the decoded name.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/AbArcTyp.h"
#include "archive/AbEndian.h"
#include "archive/AbZipConst.h"

namespace ab {

class TAbSpanReadStream;

enum TAbZipCompressionMethod : uint8_t {
  cmStored = 0, cmShrunk = 1, cmReduced1 = 2, cmReduced2 = 3, cmReduced3 = 4, cmReduced4 = 5, cmImploded = 6,
  cmTokenized = 7, cmDeflated = 8, cmEnhancedDeflated = 9, cmDCLImploded = 10, cmBzip2 = 12, cmLZMA = 14,
  cmIBMTerse = 18, cmIBMLZ77 = 19, cmZstd = 93, cmXz = 95, cmWavPack = 97, cmPPMd = 98,
  cmAES = 99  // WinZip AES: the real method is in the 0x9901 extra field
};
enum TAbZipDeflationOption : uint8_t { doInvalid, doNormal, doMaximum, doFast, doSuperFast };
enum TAbZipDictionarySize : uint8_t { dsInvalid, ds4K, ds8K };
enum TAbZipSupportedMethod : uint8_t { smStored, smDeflated, smBestMethod };

// ---------------------------------------------------------------------------
// TAbRawBytes: the bytes of one stored field (a name, a comment, an extra
// field) in one exact-size allocation, none when empty. A directory of half
// a million items keeps several of these per item, most of them empty: one
// pointer each, where a string object takes four.
// ---------------------------------------------------------------------------

class TAbRawBytes {
public:
  TAbRawBytes() = default;
  TAbRawBytes(std::string_view Bytes) { Assign(Bytes); }  // NOLINT: converts like a string
  TAbRawBytes(const TAbRawBytes& Source) { Assign(Source.View()); }
  TAbRawBytes(TAbRawBytes&& Source) noexcept = default;
  TAbRawBytes& operator=(const TAbRawBytes& Source) {
    if (this != &Source) Assign(Source.View());
    return *this;
  }
  TAbRawBytes& operator=(TAbRawBytes&& Source) noexcept = default;
  TAbRawBytes& operator=(std::string_view Bytes) {
    Assign(Bytes);
    return *this;
  }

  std::string_view View() const { return {data(), size()}; }
  operator std::string_view() const { return View(); }  // NOLINT
  std::string Str() const { return std::string(View()); }
  size_t size() const {
    uint32_t n = 0;
    if (FBlock) std::memcpy(&n, FBlock.get(), sizeof n);
    return n;
  }
  bool empty() const { return !FBlock; }
  char* data() { return FBlock ? FBlock.get() + kLength : nullptr; }
  const char* data() const { return FBlock ? FBlock.get() + kLength : nullptr; }
  // Exactly Size bytes, contents undefined until written.
  void Resize(size_t Size) {
    FBlock.reset(Size ? new char[kLength + Size] : nullptr);
    const auto n = static_cast<uint32_t>(Size);
    if (FBlock) std::memcpy(FBlock.get(), &n, sizeof n);
  }
  void Assign(std::string_view Bytes) {
    TAbRawBytes copy;
    copy.Resize(Bytes.size());
    if (!Bytes.empty()) std::memcpy(copy.data(), Bytes.data(), Bytes.size());
    FBlock = std::move(copy.FBlock);
  }
  void Clear() { FBlock.reset(); }

  friend bool operator==(const TAbRawBytes& A, std::string_view B) { return A.View() == B; }

private:
  // One block: the length (host order) and then the bytes; the object itself
  // is a single pointer.
  static constexpr size_t kLength = sizeof(uint32_t);
  std::unique_ptr<char[]> FBlock;
};

static_assert(sizeof(TAbRawBytes) == sizeof(void*), "a stored field costs one pointer in the item");

// ---------------------------------------------------------------------------
// TAbExtraField
// ---------------------------------------------------------------------------

// The sub-fields of a stored extra field, kept as the stored bytes.
class TAbExtraField {
public:
  // Replaces the buffer by exactly aSize bytes of the stream.
  void LoadFromStream(TStream& aStream, int64_t aSize);
  int Count() const;
  uint16_t GetID(int aIndex) const;  // EListError past the end
  bool Has(uint16_t aID) const;
  // Data of the first sub-field with that ID, as a pointer into the buffer.
  bool Get(uint16_t aID, const uint8_t*& aData, uint16_t& aDataSize) const;
  // A new memory stream with a copy of that data, positioned at 0.
  bool GetStream(uint16_t aID, std::unique_ptr<rtl::TMemoryStream>& aStream) const;

  void Put(uint16_t aID, const void* aData, uint16_t aDataSize);
  void Delete(uint16_t aID);
  void Clear();
  void Assign(const TAbExtraField& Source) { FBuffer = Source.FBuffer; }
  std::string Buffer() const { return FBuffer.Str(); }
  void SetBuffer(const std::string& V) { FBuffer = V; }

private:
  // Walks to the next sub-field; repairs a truncated last one in place.
  bool FindNext(size_t& aOffset, bool first, uint16_t& aID, uint16_t& aSize) const;
  bool FindField(uint16_t aID, size_t& aOffset, uint16_t& aSize) const;

  // The walk may cut a sub-field's declared size, hence mutable.
  mutable TAbRawBytes FBuffer;
};

// ---------------------------------------------------------------------------
// Headers
// ---------------------------------------------------------------------------

class TAbZipFileHeader : public TObject {
public:
  explicit TAbZipFileHeader(uint32_t ValidSignature) : FValidSignature(ValidSignature) {}

  bool IsValid() const { return FSignature == FValidSignature; }
  bool IsEncrypted() const { return (FGeneralPurposeBitFlag & Ab_ZipFlagEncrypted) != 0; }
  bool IsUTF8() const { return (FGeneralPurposeBitFlag & Ab_ZipFlagUTF8) != 0; }
  bool HasDataDescriptor() const {
    return FCompressionMethod == cmDeflated && (FGeneralPurposeBitFlag & Ab_ZipFlagDataDescriptor) != 0;
  }

  // The fields both headers store in the same order, from the version
  // needed to extract through the uncompressed size.
  void ReadSharedFields(TAbLEReader& r);

  uint32_t FValidSignature;
  uint32_t FSignature = 0;
  uint16_t FVersionNeededToExtract = 0;
  uint16_t FGeneralPurposeBitFlag = 0;
  uint16_t FCompressionMethod = 0;
  uint16_t FLastModFileTime = 0;
  uint16_t FLastModFileDate = 0;
  uint32_t FCRC32 = 0;
  uint32_t FCompressedSize = 0;
  uint32_t FUncompressedSize = 0;
  TAbRawBytes FFileName;
  TAbExtraField FExtraField;
};

class TAbZipLocalFileHeader : public TAbZipFileHeader {
public:
  TAbZipLocalFileHeader() : TAbZipFileHeader(Ab_ZipLocalFileHeaderSignature) {}
  void LoadFromStream(TStream& Stream);
};

// A central header as stored; held only while its item is read from it.
class TAbZipDirectoryFileHeader : public TAbZipFileHeader {
public:
  TAbZipDirectoryFileHeader() : TAbZipFileHeader(Ab_ZipCentralDirectorySignature) {}
  void LoadFromStream(TStream& Stream);

  uint16_t FVersionMadeBy = 0;
  uint16_t FDiskNumberStart = 0;
  uint16_t FInternalFileAttributes = 0;
  uint32_t FExternalFileAttributes = 0;
  uint32_t FRelativeOffset = 0;
  TAbRawBytes FFileComment;
};

class TAbZipDirectoryFileFooter : public TObject {
public:
  // Reads the end record (22 bytes and the comment) at the stream's position.
  void LoadFromStream(TStream& Stream);
  // Replaces the escaped values from a Zip64 end record at the position.
  void LoadZip64FromStream(TStream& Stream);
  bool IsZip64() const;

  uint32_t FDiskNumber = 0;
  uint32_t FStartDiskNumber = 0;
  uint64_t FEntriesOnDisk = 0;
  uint64_t FTotalEntries = 0;
  uint64_t FDirectorySize = 0;
  uint64_t FDirectoryOffset = 0;
  std::string FZipfileComment;
  // The end record's own (narrow) values, kept to know which were escaped.
  uint16_t FRawDiskNumber = 0, FRawStartDisk = 0, FRawEntriesOnDisk = 0, FRawTotalEntries = 0;
  uint32_t FRawDirectorySize = 0, FRawDirectoryOffset = 0;
};

// ---------------------------------------------------------------------------
// TAbZipItem
// ---------------------------------------------------------------------------

// One entry of the central directory. A directory of half a million items
// is mostly these records, so each stored field is kept once, in its
// widest form: the base item holds the name, the sizes (after Zip64), the
// CRC, the attributes and the DOS time; this class adds only what ZIP has
// beyond them, with the Zip64 values already in place of their escapes.
// The variable-length fields (raw name, extra field, comment) are one
// pointer each and allocate nothing when empty; the raw name is not kept at
// all when it is the decoded name (ASCII, UTF-8). On a 64-bit system the
// record takes 136 bytes (the base item's 88 and 48 here), on a 32-bit one
// 112, in one heap block, and the archive's list a pointer to it.
class TAbZipItem : public TAbArchiveItem {
public:
  // Reads one central header at the stream's position and interprets it.
  void LoadFromStream(TStream& Stream);

  bool IsDirectory() const override;
  // Only DOS, OS/2 and Windows use "\\" as a separator; elsewhere it is a
  // character like any other.
  bool BackslashSeparates() const override { return MadeOnDos(); }
  // Made on DOS, OS/2 or Windows: names in their code pages, "\\" their
  // separator.
  bool MadeOnDos() const;
  bool IsEncrypted() const override { return (FGeneralPurposeBitFlag & Ab_ZipFlagEncrypted) != 0; }
  uint32_t NativeFileAttributes() const override;
  // The stored bytes shared with the old name are kept: a new name (a
  // rename, another code page) does not change what the archive holds.
  void SetFileName(const std::string& V) override {
    if (FRawNameIsFileName) {
      FRawFileName = FFileName.View();
      FRawNameIsFileName = false;
    }
    TAbArchiveItem::SetFileName(V);
  }
  void SetIsEncrypted(bool V) override;

  // Of the sizes as read (after Zip64), less the encryption header.
  double CompressionRatio() const;
  uint8_t CompressionMethod() const { return static_cast<uint8_t>(FCompressionMethod & 0xFF); }
  TAbZipDeflationOption DeflationOption() const;
  TAbZipDictionarySize DictionarySize() const;
  uint8_t ShannonFanoTreeCount() const;
  uint16_t GeneralPurposeBitFlag() const { return FGeneralPurposeBitFlag; }
  uint16_t VersionMadeBy() const { return FVersionMadeBy; }
  uint8_t HostSystem() const { return static_cast<uint8_t>(FVersionMadeBy >> 8); }
  uint16_t VersionNeededToExtract() const { return FVersionNeededToExtract; }
  uint16_t InternalFileAttributes() const { return FInternalFileAttributes; }
  std::string_view FileComment() const { return FFileComment; }
  // The stored name bytes; kept once, as FileName, when they decode to
  // themselves.
  std::string_view RawFileName() const {
    return FRawNameIsFileName ? std::string_view(FFileName) : FRawFileName.View();
  }
  const TAbExtraField& ExtraField() const { return FExtraField; }
  uint32_t DiskNumberStart() const { return FDiskNumberStart; }
  int64_t RelativeOffset() const { return FRelativeOffset; }
  // Moves the local header offset by the length of bytes found in front of
  // the archive; an offset that is already out of range stays as it is.
  void ShiftRelativeOffset(int64_t Shift) {
    if (FRelativeOffset >= 0 && FRelativeOffset <= INT64_MAX - Shift) FRelativeOffset += Shift;
  }
  // Unix permission bits of a Unix-made entry (0 when the host is not Unix).
  uint32_t UnixPermissions() const;
  // Whether the entry stores a Unix mode at all: then UnixPermissions is
  // the mode to give it, 0 included.
  bool HasUnixPermissions() const { return HostSystem() == hsUnix && (FExternalFileAttributes >> 16) != 0; }

private:
  int64_t FRelativeOffset = 0;
  TAbRawBytes FRawFileName;  // empty while FRawNameIsFileName
  TAbExtraField FExtraField;
  TAbRawBytes FFileComment;
  uint32_t FDiskNumberStart = 0;
  uint16_t FVersionMadeBy = 0;
  uint16_t FVersionNeededToExtract = 0;
  uint16_t FGeneralPurposeBitFlag = 0;
  uint16_t FCompressionMethod = 0;
  uint16_t FInternalFileAttributes = 0;
  bool FRawNameIsFileName = false;
};

static_assert(sizeof(TAbZipItem) <= (sizeof(void*) == 8 ? 136 : 112),
              "a field more in an item costs a directory of many items its heap block size");

// Decodes a raw stored name by the reader's rules (UTF-8 flag or content,
// the two Unicode extra fields, then the ANSI or OEM code page).
std::string DecodeZipItemName(const TAbZipDirectoryFileHeader& Header);

// ---------------------------------------------------------------------------
// TAbZipArchive
// ---------------------------------------------------------------------------

using TAbArchiveItemExtractEvent = std::function<void(TObject* Sender, TAbArchiveItem* Item, const std::string& NewName)>;
using TAbArchiveItemExtractToStreamEvent = std::function<void(TObject* Sender, TAbArchiveItem* Item, TStream* OutStream)>;
using TAbArchiveItemTestEvent = std::function<void(TObject* Sender, TAbArchiveItem* Item)>;
using TAbNeedPasswordEvent = std::function<void(TObject* Sender, std::string& NewPassword)>;
using TAbRequestDiskEvent = std::function<void(TObject* Sender, bool& Abort)>;
using TAbRequestNthDiskEvent = std::function<void(TObject* Sender, uint8_t DiskNumber, bool& Abort)>;

class TAbZipArchive : public TAbArchive {
public:
  TAbZipArchive(const std::string& FileName, uint16_t Mode);
  TAbZipArchive(TStream* AStream, const std::string& ArchiveName);
  ~TAbZipArchive() override;

  TAbZipItem* GetItem(int Index) { return static_cast<TAbZipItem*>(FItemList->Get(Index)); }
  bool SupportsEmptyFolders() const override { return true; }

  // Where an item's stored data may lie, by what the directory says about
  // every item of a single-file archive: its local header starts before the
  // central directory, is no other item's and does not lie inside the item
  // before it (whose header and data take at least 30 bytes plus its
  // compressed size), and its data ends before the next item's local header
  // (or the central directory). A hostile directory can point several
  // entries at one piece of data, or make one item's data run over the
  // headers of the items after it, so that a small archive decodes to many
  // times its size; such items fail with EAbZipInvalid. The pipeline calls
  // this once it knows where the item's data starts. Spanned sets, whose
  // offsets are per volume, are not checked.
  void CheckItemBounds(const TAbZipItem& Item, int64_t DataStart) const;

  TAbZipSupportedMethod CompressionMethodToUse() const { return FCompressionMethodToUse; }
  TAbZipDeflationOption DeflationOption() const { return FDeflationOption; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& V) { FPassword = V; }
  uint8_t PasswordRetries() const { return FPasswordRetries; }
  void SetPasswordRetries(uint8_t V) { FPasswordRetries = V; }
  uint32_t StubSize() const { return FStubSize; }
  // Length of the bytes found in front of an archive whose offsets do not
  // count them (0 when the offsets are right); every offset is corrected by it.
  int64_t OffsetCorrection() const { return FOffsetCorrection; }
  bool IsExecutable() const { return FIsExecutable; }
  const std::string& ZipfileComment() const { return FInfo->FZipfileComment; }
  const TAbZipDirectoryFileFooter& Info() const { return *FInfo; }
  // Where the targets of the links this archive made go on walking: no
  // later link may stand there (it would send them elsewhere).
  void AddLinkPassages(const std::vector<std::string>& Paths) { FLinkPassages.insert(Paths.begin(), Paths.end()); }
  bool IsLinkPassage(const std::string& Path) const { return FLinkPassages.count(Path) != 0; }

  // Reading without the central directory (AbZipLocal.cpp). Off unless
  // asked for: when on, an archive whose end record or central directory
  // cannot be read (a cut download, overwritten bytes) is read front to
  // back from its local headers instead, and what happened is kept in
  // LocalHeaderReading().
  void SetReadLocalHeaders(bool V) { FReadLocalHeaders = V; }
  struct TLocalHeaderReading {
    bool Used = false;     // the items come from their local headers
    std::string Why;       // what was wrong: "it has no end record", ...
    int64_t ItemsEnd = 0;  // where the data of the last item read ends
    int64_t CutAt = -1;    // the local header of an item the file ends inside
    int64_t FileSize = 0;
  };
  const TLocalHeaderReading& LocalHeaderReading() const { return FLocalHeaderReading; }

  TAbArchiveItemExtractEvent ExtractHelper;
  TAbArchiveItemExtractToStreamEvent ExtractToStreamHelper;
  TAbArchiveItemTestEvent TestHelper;
  TAbNeedPasswordEvent OnNeedPassword;
  TAbRequestDiskEvent OnRequestLastDisk;
  TAbRequestNthDiskEvent OnRequestNthDisk;
  TAbRequestDiskEvent OnRequestBlankDisk;

  // Without a handler there is no one to ask: the answer is Cancel.
  virtual void DoRequestLastDisk(bool& Abort);
  virtual void DoRequestNthDisk(uint8_t DiskNumber, bool& Abort);
  virtual void DoRequestBlankDisk(bool& Abort);
  void DoRequestImage(TObject* Sender, int ImageNumber, std::string& ImageName, bool& Abort);

protected:
  void ExtractItemAt(int Index, const std::string& UseName) override;
  void ExtractItemToStreamAt(int Index, TStream* aStream) override;
  void LoadArchive() override;
  void SaveArchive() override;
  void TestItemAt(int Index) override;

private:
  struct TZip64Location {
    int64_t Locator = -1;  // position of the locator, -1 without Zip64 records
    uint32_t Disk = 0;     // volume and offset of the Zip64 end record
    uint64_t Offset = 0;
  };

  void InitZip();
  // The items from their local headers, front to back (AbZipLocal.cpp).
  void ReadLocalHeaders(const std::string& Why);
  // The loading steps, in order.
  void LoadDirectory();
  int64_t LocateEndRecord();
  TZip64Location ReadEndRecords(int64_t Tail);
  TAbSpanReadStream* OpenSpannedDirectory(const TZip64Location& Zip64);
  // Single file: reads the Zip64 end record, finds a prefix the offsets do
  // not count, and seeks to the directory; gives where the directory ends.
  int64_t OpenDirectory(int64_t Tail, const TZip64Location& Zip64);
  int64_t PrefixLength(int64_t DirectoryEnd);
  bool HasSignatureAt(int64_t Position, uint32_t Signature);
  void ReadDirectory(bool SingleFile, int64_t DirectoryEnd);
  void IndexLocalHeaders();

  std::unordered_set<std::string> FLinkPassages;
  TAbZipSupportedMethod FCompressionMethodToUse = smBestMethod;
  TAbZipDeflationOption FDeflationOption = doNormal;
  std::unique_ptr<TAbZipDirectoryFileFooter> FInfo;
  bool FIsExecutable = false;
  std::string FPassword;
  uint8_t FPasswordRetries = 3;
  uint32_t FStubSize = 0;
  int64_t FOffsetCorrection = 0;
  bool FReadLocalHeaders = false;
  TLocalHeaderReading FLocalHeaderReading;
  // Local header offset and compressed size of every item, sorted by
  // offset (single-file archives only).
  std::vector<std::pair<int64_t, int64_t>> FLocalHeaders;
};

// ---------------------------------------------------------------------------
// Recognition
// ---------------------------------------------------------------------------

// Position of the end record, or -1. On success the stream stands at it; on
// failure it is back where it was. Every signature in a window is examined,
// last to first, so a comment holding the signature bytes does not hide the
// real record in front of it.
int64_t FindEndRecord(TStream& Stream);
// Position of the Zip64 locator at or before MaxPosition, or -1.
int64_t FindZip64Locator(TStream& Stream, int64_t MaxPosition);
TAbArchiveType DetectZip(TStream& Stream);
TAbArchiveType DetectSelfExtractingZip(TStream& Stream);

// Whether the named file lies on a removable drive (spanned-set requests).
bool AbDriveIsRemovable(const std::string& ArchiveName);

} // namespace ab
