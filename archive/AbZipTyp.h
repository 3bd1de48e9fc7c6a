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
// Offsets in the central directory are used as absolute positions in the
// file, also behind a self-extracting stub; StubSize reports where the ZIP
// data begins.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/AbArcTyp.h"

namespace ab {

// ---------------------------------------------------------------------------
// Signatures and markers
// ---------------------------------------------------------------------------

constexpr uint32_t Ab_ZipLocalFileHeaderSignature = 0x04034B50;
constexpr uint32_t Ab_ZipDataDescriptorSignature = 0x08074B50;
constexpr uint32_t Ab_ZipCentralDirectorySignature = 0x02014B50;
constexpr uint32_t Ab_Zip64EndCentralDirectorySignature = 0x06064B50;
constexpr uint32_t Ab_Zip64EndCentralDirectoryLocatorSignature = 0x07064B50;
constexpr uint32_t Ab_ZipEndCentralDirectorySignature = 0x06054B50;
constexpr uint32_t Ab_ZipSpannedSetSignature = 0x08074B50;
constexpr uint16_t Ab_WindowsExeSignature = 0x5A4D;  // "MZ"
constexpr uint32_t Ab_LinuxExeSignature = 0x464C457F;  // 7F 45 4C 46

// Extra-field sub-field IDs the reader interprets.
constexpr uint16_t Ab_Zip64SubfieldID = 0x0001;
constexpr uint16_t Ab_InfoZipUnicodePathSubfieldID = 0x7075;
constexpr uint16_t Ab_XceedUnicodePathSubfieldID = 0x554E;
constexpr uint32_t Ab_XceedUnicodePathSignature = 0x5843554E;  // "NUCX"

enum TAbZipCompressionMethod : uint8_t {
  cmStored = 0, cmShrunk = 1, cmReduced1 = 2, cmReduced2 = 3, cmReduced3 = 4, cmReduced4 = 5, cmImploded = 6,
  cmTokenized = 7, cmDeflated = 8, cmEnhancedDeflated = 9, cmDCLImploded = 10, cmBzip2 = 12, cmLZMA = 14,
  cmIBMTerse = 18, cmIBMLZ77 = 19, cmZstd = 93, cmXz = 95, cmWavPack = 97, cmPPMd = 98,
  cmAES = 99  // WinZip AES: the real method is in the 0x9901 extra field
};
enum TAbZipDeflationOption : uint8_t { doInvalid, doNormal, doMaximum, doFast, doSuperFast };
enum TAbZipDictionarySize : uint8_t { dsInvalid, ds4K, ds8K };
enum TAbZipSupportedMethod : uint8_t { smStored, smDeflated, smBestMethod };

// Host systems (high byte of "version made by") the reader distinguishes.
constexpr uint8_t hsMSDOS = 0;
constexpr uint8_t hsUnix = 3;

// ---------------------------------------------------------------------------
// TAbExtraField
// ---------------------------------------------------------------------------

class TAbExtraField : public TObject {
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
  void Assign(const TAbExtraField& Source) { FBuffer = Source.FBuffer; Changed(); }
  const std::string& Buffer() const { return FBuffer; }
  void SetBuffer(const std::string& V) { FBuffer = V; Changed(); }

protected:
  virtual void Changed() {}

private:
  // Walks to the next sub-field; repairs a truncated last one in place.
  bool FindNext(size_t& aOffset, bool first, uint16_t& aID, uint16_t& aSize) const;
  bool FindField(uint16_t aID, size_t& aOffset, uint16_t& aSize) const;

  mutable std::string FBuffer;  // the walk may cut a sub-field's declared size
};

// ---------------------------------------------------------------------------
// Headers
// ---------------------------------------------------------------------------

class TAbZipFileHeader : public TObject {
public:
  explicit TAbZipFileHeader(uint32_t ValidSignature) : FValidSignature(ValidSignature) {}

  bool IsValid() const { return FSignature == FValidSignature; }
  bool IsEncrypted() const { return (FGeneralPurposeBitFlag & 0x0001) != 0; }
  bool IsUTF8() const { return (FGeneralPurposeBitFlag & 0x0800) != 0; }
  bool HasDataDescriptor() const { return FCompressionMethod == cmDeflated && (FGeneralPurposeBitFlag & 0x0008) != 0; }
  TAbZipDeflationOption DeflationOption() const;
  TAbZipDictionarySize DictionarySize() const;
  uint8_t ShannonFanoTreeCount() const;
  double CompressionRatio() const;

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
  std::string FFileName;  // raw bytes
  TAbExtraField FExtraField;
};

class TAbZipLocalFileHeader : public TAbZipFileHeader {
public:
  TAbZipLocalFileHeader() : TAbZipFileHeader(Ab_ZipLocalFileHeaderSignature) {}
  void LoadFromStream(TStream& Stream);
};

class TAbZipDirectoryFileHeader : public TAbZipFileHeader {
public:
  TAbZipDirectoryFileHeader() : TAbZipFileHeader(Ab_ZipCentralDirectorySignature) {}
  void LoadFromStream(TStream& Stream);

  uint16_t FVersionMadeBy = 0;
  uint16_t FDiskNumberStart = 0;
  uint16_t FInternalFileAttributes = 0;
  uint32_t FExternalFileAttributes = 0;
  uint32_t FRelativeOffset = 0;
  std::string FFileComment;  // raw bytes
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

class TAbZipItem : public TAbArchiveItem {
public:
  // Reads one central header at the stream's position and interprets it.
  void LoadFromStream(TStream& Stream);

  uint32_t CRC32() const override { return FItemInfo.FCRC32; }
  uint32_t ExternalFileAttributes() const override { return FItemInfo.FExternalFileAttributes; }
  bool IsDirectory() const override;
  bool IsEncrypted() const override { return FItemInfo.IsEncrypted(); }
  uint16_t LastModFileDate() const override { return FItemInfo.FLastModFileDate; }
  uint16_t LastModFileTime() const override { return FItemInfo.FLastModFileTime; }
  uint32_t NativeFileAttributes() const override;
  void SetCRC32(uint32_t V) override { FItemInfo.FCRC32 = V; }
  void SetExternalFileAttributes(uint32_t V) override { FItemInfo.FExternalFileAttributes = V; }
  void SetIsEncrypted(bool V) override;
  void SetLastModFileDate(uint16_t V) override { FItemInfo.FLastModFileDate = V; }
  void SetLastModFileTime(uint16_t V) override { FItemInfo.FLastModFileTime = V; }

  double CompressionRatio() const { return FItemInfo.CompressionRatio(); }
  uint8_t CompressionMethod() const { return static_cast<uint8_t>(FItemInfo.FCompressionMethod & 0xFF); }
  TAbZipDeflationOption DeflationOption() const { return FItemInfo.DeflationOption(); }
  TAbZipDictionarySize DictionarySize() const { return FItemInfo.DictionarySize(); }
  uint8_t ShannonFanoTreeCount() const { return FItemInfo.ShannonFanoTreeCount(); }
  uint16_t GeneralPurposeBitFlag() const { return FItemInfo.FGeneralPurposeBitFlag; }
  uint16_t VersionMadeBy() const { return FItemInfo.FVersionMadeBy; }
  uint8_t HostSystem() const { return static_cast<uint8_t>(FItemInfo.FVersionMadeBy >> 8); }
  uint16_t VersionNeededToExtract() const { return FItemInfo.FVersionNeededToExtract; }
  uint16_t InternalFileAttributes() const { return FItemInfo.FInternalFileAttributes; }
  const std::string& FileComment() const { return FItemInfo.FFileComment; }
  const std::string& RawFileName() const { return FItemInfo.FFileName; }
  const TAbExtraField& ExtraField() const { return FItemInfo.FExtraField; }
  TAbExtraField& LFHExtraField() { return FLFHExtraField; }
  uint32_t DiskNumberStart() const { return FDiskNumberStart; }
  int64_t RelativeOffset() const { return FRelativeOffset; }
  const TAbZipDirectoryFileHeader& ItemInfo() const { return FItemInfo; }
  // Unix permission bits of a Unix-made entry (0 when the host is not Unix).
  uint32_t UnixPermissions() const;

private:
  TAbZipDirectoryFileHeader FItemInfo;
  uint32_t FDiskNumberStart = 0;
  TAbExtraField FLFHExtraField;
  int64_t FRelativeOffset = 0;
};

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
  bool IsExecutable() const { return FIsExecutable; }
  const std::string& ZipfileComment() const { return FInfo->FZipfileComment; }
  const TAbZipDirectoryFileFooter& Info() const { return *FInfo; }

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
  void InitZip();

  TAbZipSupportedMethod FCompressionMethodToUse = smBestMethod;
  TAbZipDeflationOption FDeflationOption = doNormal;
  std::unique_ptr<TAbZipDirectoryFileFooter> FInfo;
  bool FIsExecutable = false;
  std::string FPassword;
  uint8_t FPasswordRetries = 3;
  uint32_t FStubSize = 0;
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
