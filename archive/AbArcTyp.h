// AbArcTyp: the format-independent archive model and its extraction loop.
//
// An archive (TAbArchive) owns its stream, its item list and, through the
// list, its items. A concrete format subclasses TAbArchive and
// TAbArchiveItem and fills the list when loaded (the ZIP archive in
// AbZipTyp). Decoding one item is not done here: the archive calls an
// abstract per-item operation, which the ZIP archive forwards to a hook that
// the unzipper component installs (AbUnzPrc). The split is:
//
//   this unit       which items, in which order, under which output name;
//                   parent folders; overwrite questions; failure reporting;
//   the item hook   the bytes of one item, the file, its time and attributes.
//
// Names. A stored name is kept as decoded text (FileName, UTF-8, separators
// as stored). The output name is the name cleaned by CleanStoredName: the
// platform's separator for the stored separators ("/", and the "\" that
// DOS-era tools wrote where the item says its system used it), "." and
// empty segments folded away. A stored name
// that would leave the base folder (absolute, with a ".." segment, or on
// Windows with a ":" that names a drive or a stream) is never turned into an
// output name: it is reported as a failed item (EAbUnsafeName, code 32) and
// skipped, and so is a name whose path below the base folder runs through a
// symbolic link already on disk.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "rtl/Classes.h"
#include "rtl/FileSys.h"
#include "rtl/DateUtils.h"

namespace ab {

using rtl::TObject;
using rtl::TStream;
using rtl::soBeginning;
using rtl::soCurrent;
using rtl::soEnd;

// ---------------------------------------------------------------------------
// Enumerations
// ---------------------------------------------------------------------------

enum TAbArchiveAction : uint8_t { aaFailed, aaNone, aaAdd, aaDelete, aaFreshen, aaMove, aaReplace, aaStreamAdd };
enum TAbArchiveStatus : uint8_t { asInvalid, asIdle, asBusy };
enum TAbExtractOption : uint8_t { eoCreateDirs, eoRestorePath };
using TAbExtractOptions = rtl::TSet<TAbExtractOption>;
enum TAbStoreOption : uint8_t { soStripDrive, soStripPath, soRemoveDots, soRecurse, soFreshen, soReplace };
using TAbStoreOptions = rtl::TSet<TAbStoreOption>;
enum TAbProcessType : uint8_t { ptAdd, ptDelete, ptExtract, ptFreshen, ptMove, ptReplace, ptFoundUnhandled };
enum TAbArchiveType : uint8_t {
  atUnknown, atZip, atSpannedZip, atSelfExtZip, atTar, atGzip, atGzippedTar, atCab, atBzip2, atBzippedTar
};
enum TAbErrorClass : uint8_t { ecArvelo, ecInOutError, ecFilerError, ecFileCreateError, ecFileOpenError, ecCabError, ecOther };

class TAbArchive;
class TAbArchiveItem;

// One item's failure as the extraction loop caught it: what
// OnProcessItemFailure is given (class and code), with the exception's text
// and the operating system's error beside it for handlers that show or weigh
// more than the code.
struct TAbItemFailure {
  TAbErrorClass ErrorClass = ecOther;
  int ErrorCode = 0;        // a TAbErrorCode for ecArvelo, the OS code for ecInOutError, else 0
  std::string Message;
  int OSError = 0;          // the OS code of an EInOutError, else the system's last error when caught
};

// ---------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------

using TAbArchiveItemFailureEvent =
    std::function<void(TObject* Sender, TAbArchiveItem* Item, TAbProcessType ProcessType, TAbErrorClass ErrorClass, int ErrorCode)>;
using TAbArchiveProgressEvent = std::function<void(TObject* Sender, uint8_t Progress, bool& Abort)>;
using TAbArchiveItemProgressEvent = std::function<void(TObject* Sender, TAbArchiveItem* Item, uint8_t Progress, bool& Abort)>;
using TAbArchiveItemConfirmEvent =
    std::function<void(TObject* Sender, TAbArchiveItem* Item, TAbProcessType ProcessType, bool& Confirm)>;
using TAbConfirmOverwriteEvent = std::function<void(std::string& Name, bool& Confirm)>;
using TAbArchiveConfirmEvent = std::function<void(TObject* Sender, bool& Confirm)>;
using TAbArchiveEvent = std::function<void(TObject* Sender)>;
using TAbProgressEvent = std::function<void(uint8_t Progress, bool& Abort)>;
using TAbRequestImageEvent = std::function<void(TObject* Sender, int ImageNumber, std::string& ImageName, bool& Abort)>;

// 0 when Total is 0 or less, 100 once Done reaches Total, else Done*100/Total
// rounded down (64-bit arithmetic).
uint8_t AbPercentage(int64_t Done, int64_t Total);

// Where a stored name lands below the base folder, as the one form every
// check and the output itself use: separators native, "." and empty
// segments folded away (the system would fold them too, so a check that
// counted them would look at another place than the one written). False
// for a name that may not be placed at all: absolute, with a ".." segment
// or a NUL byte, or with a ":" where drives exist. Clean is empty for a
// name that is the base folder itself ("./"). A "\\" separates only when
// BackslashSeparates or where the system itself takes it as a separator;
// otherwise it is a character of the name, as Unix tools store it.
bool CleanStoredName(const std::string& Stored, std::string& Clean, bool BackslashSeparates = true);

// ---------------------------------------------------------------------------
// TAbItemName: an item's name, held in the item itself up to 31 bytes
// ---------------------------------------------------------------------------

// A string object keeps 15 bytes in place and puts anything longer in a
// heap block of its own, which for the usual "folder/file.ext" name of an
// archive costs as much again as the item's other fields. This one takes
// the same 32 bytes and keeps names of up to 31 bytes in them; a longer
// name goes to one exact-size block. The last byte tells which: the length
// of a name kept in place, or kOnHeap.
class TAbItemName {
public:
  TAbItemName() { FBytes[kTag] = 0; }
  TAbItemName(const TAbItemName& Source) : TAbItemName() { Assign(Source.View()); }
  TAbItemName& operator=(const TAbItemName& Source) {
    if (this != &Source) Assign(Source.View());
    return *this;
  }
  TAbItemName& operator=(std::string_view Text) {
    Assign(Text);
    return *this;
  }
  ~TAbItemName() { Release(); }

  std::string_view View() const {
    if (FBytes[kTag] != kOnHeap) return {FBytes, static_cast<size_t>(FBytes[kTag])};
    return {HeapData(), HeapSize()};
  }
  operator std::string_view() const { return View(); }  // NOLINT: reads like a string
  std::string Str() const { return std::string(View()); }
  bool empty() const { return View().empty(); }
  char back() const { return View().back(); }
  size_t find(char C) const { return View().find(C); }

private:
  // A string object's own size: 32 bytes on 64-bit systems, 24 on 32-bit ones.
  static constexpr size_t kSize = sizeof(std::string);
  static constexpr size_t kTag = kSize - 1;
  static constexpr size_t kInline = kTag;
  static constexpr char kOnHeap = static_cast<char>(0xFF);
  static_assert(kInline < 0xFF, "an inline length must not read as kOnHeap");
  static_assert(2 * sizeof(void*) <= kTag, "the heap pointer and size stay clear of the tag");

  char* HeapData() const {
    char* p;
    std::memcpy(&p, FBytes, sizeof p);
    return p;
  }
  size_t HeapSize() const {
    size_t n;
    std::memcpy(&n, FBytes + sizeof(char*), sizeof n);
    return n;
  }
  void Release() {
    if (FBytes[kTag] == kOnHeap) delete[] HeapData();
    FBytes[kTag] = 0;
  }
  void Assign(std::string_view Text) {
    if (Text.size() <= kInline) {
      char copy[kInline];  // Text may lie in this name's own block
      std::memcpy(copy, Text.data(), Text.size());
      Release();
      std::memcpy(FBytes, copy, Text.size());
      FBytes[kTag] = static_cast<char>(Text.size());
      return;
    }
    char* block = new char[Text.size()];
    std::memcpy(block, Text.data(), Text.size());
    const size_t n = Text.size();
    Release();
    std::memcpy(FBytes, &block, sizeof block);
    std::memcpy(FBytes + sizeof block, &n, sizeof n);
    FBytes[kTag] = kOnHeap;
  }

  alignas(void*) char FBytes[kSize];
};

static_assert(sizeof(TAbItemName) <= sizeof(std::string), "a name costs the item no more than a string object");

// ---------------------------------------------------------------------------
// TAbArchiveItem
// ---------------------------------------------------------------------------

class TAbArchiveItem : public TObject {
public:
  TAbArchiveItem() = default;

  TAbArchiveItem* NextItem = nullptr;  // hash-bucket chain, maintained by TAbArchiveList

  virtual int64_t CompressedSize() const { return FCompressedSize; }
  virtual uint32_t CRC32() const { return FCRC32; }
  virtual uint32_t ExternalFileAttributes() const { return FExternalFileAttributes; }
  virtual std::string FileName() const { return FFileName.Str(); }
  virtual bool IsDirectory() const { return false; }
  // Whether a "\\" in the stored name separates folders (the system that
  // made the item used it so) or is part of a name.
  virtual bool BackslashSeparates() const { return true; }
  virtual bool IsEncrypted() const { return FIsEncrypted; }
  virtual uint16_t LastModFileDate() const { return FLastModFileDate; }
  virtual uint16_t LastModFileTime() const { return FLastModFileTime; }
  virtual uint32_t NativeFileAttributes() const { return IsDirectory() ? 0x10 : 0; }
  virtual int64_t UncompressedSize() const { return FUncompressedSize; }
  virtual void SetCompressedSize(int64_t V) { FCompressedSize = V; }
  virtual void SetCRC32(uint32_t V) { FCRC32 = V; }
  virtual void SetExternalFileAttributes(uint32_t V) { FExternalFileAttributes = V; }
  // A disk name shared with the old name keeps that old value.
  virtual void SetFileName(const std::string& V) {
    if (FDiskNameIsFileName) SetDiskFileName(DiskFileName());
    FFileName = V;
  }
  virtual void SetIsEncrypted(bool V) { FIsEncrypted = V; }
  virtual void SetLastModFileDate(uint16_t V) { FLastModFileDate = V; }
  virtual void SetLastModFileTime(uint16_t V) { FLastModFileTime = V; }
  virtual void SetUncompressedSize(int64_t V) { FUncompressedSize = V; }
  // Raises EConvertError when the stored DOS date or time does not exist.
  virtual rtl::TDateTime LastModTimeAsDateTime() const;
  virtual void SetLastModTimeAsDateTime(rtl::TDateTime V);

  TAbArchiveAction Action() const { return FAction; }
  void SetAction(TAbArchiveAction V) { FAction = V; }
  bool Tagged() const { return FTagged; }
  void SetTagged(bool V) { FTagged = V; }
  std::string DiskFileName() const;
  void SetDiskFileName(const std::string& V) {
    FDiskFileName = std::make_unique<std::string>(V);
    FDiskNameIsFileName = false;
  }
  std::string DiskPath() const;    // folder part of DiskFileName, with trailing separator
  std::string StoredPath() const { return DiskPath(); }

  bool MatchesStoredName(const std::string& FileMask) const;
  bool MatchesStoredNameEx(const std::string& FileMask) const;
  bool MatchesDiskName(const std::string& FileMask) const;

protected:
  // Widest first, so that an archive of many items pays no padding. The ZIP
  // item adds its own fields to these and no copies of them (AbZipTyp.h
  // tells the layout of a directory's items).
  int64_t FCompressedSize = 0;
  int64_t FUncompressedSize = 0;
  // Held apart only when set on its own (see FDiskNameIsFileName).
  std::unique_ptr<std::string> FDiskFileName;
  TAbItemName FFileName;
  uint32_t FCRC32 = 0;
  uint32_t FExternalFileAttributes = 0;
  uint16_t FLastModFileTime = 0;
  uint16_t FLastModFileDate = 0;
  TAbArchiveAction FAction = aaNone;
  bool FIsEncrypted = false;
  bool FTagged = false;
  // The disk name is FFileName with both stored separators made native,
  // made when asked for rather than kept; a loader sets it,
  // SetDiskFileName clears it.
  bool FDiskNameIsFileName = false;
};

// ---------------------------------------------------------------------------
// TAbArchiveList: the ordered items with a name index
// ---------------------------------------------------------------------------

class TAbArchiveList {
public:
  // 1021 buckets (a prime): names hash with a 28-bit result, and a prime
  // modulus spreads the similar names of one archive evenly.
  static constexpr int kBuckets = 1021;

  explicit TAbArchiveList(bool AOwnsItems);
  ~TAbArchiveList();
  TAbArchiveList(const TAbArchiveList&) = delete;
  TAbArchiveList& operator=(const TAbArchiveList&) = delete;

  int Add(TAbArchiveItem* Item);  // takes ownership when the list owns items
  void Clear();
  void Reserve(size_t N) { FList.reserve(N); }
  void Delete(int Index);
  int Find(const std::string& FileName) const;
  bool IsActiveDupe(const std::string& FileName) const;
  TAbArchiveItem* Get(int Index) const;  // EListError when out of range
  void Put(int Index, TAbArchiveItem* Item);
  TAbArchiveItem* operator[](int Index) const { return Get(Index); }
  int Count() const { return static_cast<int>(FList.size()); }
  // Re-files an item whose name changed (writing path).
  void Rename(TAbArchiveItem* Item, const std::string& NewName);

  auto begin() const { return FList.begin(); }
  auto end() const { return FList.end(); }

  static uint32_t NameHash(const std::string& Name);

private:
  void Link(TAbArchiveItem* Item);
  void Unlink(TAbArchiveItem* Item, bool ExactObject);

  std::vector<TAbArchiveItem*> FList;
  bool FOwnsItems;
  std::array<TAbArchiveItem*, kBuckets> HashTable{};
};

// The enumerator of the model, for callers who walk by index.
class TAbArchiveListEnumerator {
public:
  explicit TAbArchiveListEnumerator(const TAbArchiveList& List) : FList(List) {}
  bool MoveNext() {
    if (FIndex < FList.Count() - 1) { ++FIndex; return true; }
    return false;
  }
  TAbArchiveItem* Current() const { return FList.Get(FIndex); }

private:
  int FIndex = -1;
  const TAbArchiveList& FList;
};

// ---------------------------------------------------------------------------
// TAbArchive
// ---------------------------------------------------------------------------

class TAbArchive : public TObject {
public:
  // Opens FileName with Mode and owns the file stream.
  TAbArchive(const std::string& FileName, uint16_t Mode);
  // Works on a caller's stream, which it does not own.
  TAbArchive(TStream* AStream, const std::string& ArchiveName);
  ~TAbArchive() override;
  TAbArchive(const TAbArchive&) = delete;
  TAbArchive& operator=(const TAbArchive&) = delete;

  // ---- loading and saving
  void Load();
  // Writes pending changes; an archive without any has nothing to do.
  void Save();

  // ---- extraction (each raises EAbNoArchive while the status is asInvalid)
  void ExtractFiles(const std::string& FileMask);
  void ExtractFilesEx(const std::string& FileMask, const std::string& ExclusionMask);
  void ExtractAt(int Index, const std::string& NewName);
  void Extract(TAbArchiveItem* aItem, const std::string& NewName);
  void ExtractTaggedItems();
  void ExtractToStream(const std::string& aFileName, TStream* aStream);
  void TestTaggedItems();
  // Tests one item, reporting a failure like ExtractAt does.
  void TestAt(int Index);

  // ---- selection and lookup
  void TagItems(const std::string& FileMask);
  void UnTagItems(const std::string& FileMask);
  void ClearTags();
  int FindFile(const std::string& aFileName) const;
  int FindItem(TAbArchiveItem* aItem) const;

  // ---- properties
  const std::string& ArchiveName() const { return FArchiveName; }
  bool AutoSave() const { return FAutoSave; }
  const std::string& BaseDirectory() const { return FBaseDirectory; }
  void SetBaseDirectory(const std::string& Value);
  int Count() const { return FItemList ? FItemList->Count() : 0; }
  bool DOSMode() const { return FDOSMode; }
  TAbExtractOptions ExtractOptions() const { return FExtractOptions; }
  void SetExtractOptions(TAbExtractOptions V) { FExtractOptions = V; }
  bool IsDirty() const { return FIsDirty; }
  TAbArchiveList& ItemList() { return *FItemList; }
  const std::string& LogFile() const { return FLogFile; }
  void SetLogFile(const std::string& V) { FLogFile = V; }
  bool Logging() const { return FLogging; }
  void SetLogging(bool Value);
  uint16_t Mode() const { return FMode; }
  bool Spanned() const { return FSpanned; }
  virtual int64_t SpanningThreshold() const { return FSpanningThreshold; }
  virtual void SetSpanningThreshold(int64_t V) { FSpanningThreshold = V; }
  TAbArchiveStatus Status() const { return FStatus; }
  void SetStatus(TAbArchiveStatus V) { FStatus = V; }
  TAbStoreOptions StoreOptions() const { return FStoreOptions; }
  void SetStoreOptions(TAbStoreOptions V) { FStoreOptions = V; }
  virtual bool SupportsEmptyFolders() const { return false; }
  const std::string& TempDirectory() const { return FTempDir; }
  void SetTempDirectory(const std::string& V) { FTempDir = V; }
  TStream* Stream() const { return FStream; }
  // For an extraction shared by several threads, each with an archive of
  // its own: the folders any of them made (rtl::TFoldersMade).
  void ShareFoldersMade(std::shared_ptr<rtl::TFoldersMade> Made) { FFoldersMade = std::move(Made); }
  TAbArchiveItem* CurrentItem() const { return FCurrentItem; }
  // The failure being reported: set only while OnProcessItemFailure runs,
  // null at any other time.
  const TAbItemFailure* CurrentFailure() const { return FCurrentFailure; }

  // ---- events
  TAbArchiveItemFailureEvent OnProcessItemFailure;
  TAbArchiveProgressEvent OnArchiveProgress;
  TAbArchiveProgressEvent OnArchiveSaveProgress;
  TAbArchiveItemProgressEvent OnArchiveItemProgress;
  TAbArchiveItemConfirmEvent OnConfirmProcessItem;
  TAbConfirmOverwriteEvent OnConfirmOverwrite;
  TAbArchiveConfirmEvent OnConfirmSave;
  TAbArchiveEvent OnLoad;
  TAbProgressEvent OnProgress;  // item progress input; starts as DoProgress
  TAbRequestImageEvent OnRequestImage;
  TAbArchiveEvent OnSave;

  // ---- notifiers (virtual, in the model's order)
  virtual void DoProcessItemFailure(TAbArchiveItem* Item, TAbProcessType ProcessType, TAbErrorClass ErrorClass, int ErrorCode);
  virtual void DoArchiveSaveProgress(uint8_t Progress, bool& Abort);
  virtual void DoArchiveProgress(uint8_t Progress, bool& Abort);
  virtual void DoArchiveItemProgress(TAbArchiveItem* Item, uint8_t Progress, bool& Abort);
  virtual void DoConfirmOverwrite(std::string& Name, bool& Confirm);
  virtual void DoConfirmProcessItem(TAbArchiveItem* Item, TAbProcessType ProcessType, bool& Confirm);
  virtual void DoConfirmSave(bool& Confirm);
  virtual void DoLoad();
  virtual void DoProgress(uint8_t Progress, bool& Abort);
  virtual void DoSave();
  // Inflater progress: Abort raises EAbAbortProgress ("Process aborted by user").
  virtual void DoDeflateProgress(int aPercentDone);
  virtual void DoInflateProgress(int aPercentDone);
  // Base: raises EAbSpanningNotSupported.
  virtual void DoSpanningMediaRequest(TObject* Sender, int ImageNumber, std::string& ImageName, bool& Abort);

  // Failure classification of the extraction loop.
  static void ClassifyException(const std::exception& E, TAbErrorClass& ErrorClass, int& ErrorCode);
  // The same with the text and the OS error: the whole failure.
  static TAbItemFailure ClassifyFailure(const std::exception& E);
  // Creates Path and every missing folder above it; EInOutError on failure,
  // with the reason of the folder that could not be made.
  static void CreateFolderPath(const std::string& Path);
  // The folder held for Name when ResolveOutputName put the item in hand
  // there (a handle of rtl::TFolderTree) and the name inside it; false when
  // Name is to be written by its full name. Unchecked: the name was taken
  // to be free without a look (its folder is new in this run), so the file
  // is to take it only while it still is.
  bool OutputFolderOf(const std::string& Name, rtl::THandle& Folder, std::string& Leaf, bool& Unchecked) const;
  // A folder item's time: set at once, or, while a TFolderTimesLater lives,
  // when it ends (writing into a folder moves its time).
  void SetFolderTimeLater(const std::string& Folder, const rtl::TFileTime& Time);
  // A folder item's mode: the same, so that a folder that may not be
  // written still receives its items first. Until then its owner may write.
  void SetFolderModeLater(const std::string& Folder, uint32_t UnixMode);
  // Held around a run of items (the selection loop, a caller's own loop):
  // folder times wait until it ends, then are set inner folders first, also
  // when the run ends early; the output folders verified for one item are
  // held for the items after it. An inner one inside another does nothing.
  class TFolderTimesLater {
  public:
    explicit TFolderTimesLater(TAbArchive& Archive);
    ~TFolderTimesLater();
    TFolderTimesLater(const TFolderTimesLater&) = delete;
    TFolderTimesLater& operator=(const TFolderTimesLater&) = delete;

  private:
    TAbArchive& FArchive;
    bool FOuter;
  };

protected:
  virtual void ExtractItemAt(int Index, const std::string& UseName) = 0;
  virtual void ExtractItemToStreamAt(int Index, TStream* aStream) = 0;
  virtual void LoadArchive() = 0;
  virtual void SaveArchive() = 0;
  virtual void TestItemAt(int Index) = 0;

  void RequireValid() const;
  void SaveIfPending(TAbArchiveItem* Item);
  bool ResolveOutputName(TAbArchiveItem* Item, const std::string& NewName, std::string& UseName);
  bool ResolveInFolderTree(TAbArchiveItem* Item, const std::string& Relative, std::string& UseName);
  void WriteLogEntry(const std::string& Name, const std::string& Word);
  void WalkItems(const std::function<bool(TAbArchiveItem*)>& Selected, const std::function<void(int)>& Process);
  // Classifies E and reports it through OnProcessItemFailure.
  void ReportItemFailure(TAbArchiveItem* Item, const std::exception& E);
  // Replaces the stream the archive reads (spanned sets swap in their reader).
  void ReplaceStream(TStream* NewStream, bool Owns);

  TStream* FStream = nullptr;
  TAbArchiveStatus FStatus = asIdle;
  std::string FArchiveName;
  bool FAutoSave = false;
  std::string FBaseDirectory;
  TAbArchiveItem* FCurrentItem = nullptr;
  bool FDOSMode = false;
  TAbExtractOptions FExtractOptions;
  uint16_t FImageNumber = 0;
  bool FIsDirty = false;
  int64_t FSpanningThreshold = 0;
  std::unique_ptr<TAbArchiveList> FItemList;
  std::string FLogFile;
  bool FLogging = false;
  std::unique_ptr<rtl::TFileStream> FLogStream;
  uint16_t FMode = 0;
  bool FOwnsStream = false;
  bool FSpanned = false;
  TAbStoreOptions FStoreOptions;
  std::string FTempDir;
  const TAbItemFailure* FCurrentFailure = nullptr;
  // The folders below the base folder that items are written into, each
  // verified (no link on the way) once and held while a run of items lasts
  // (a TFolderTimesLater), or for one item extracted on its own.
  bool FFolderTreeRun = false;
  std::unique_ptr<rtl::TFolderTree> FFolderTree;
  std::shared_ptr<rtl::TFoldersMade> FFoldersMade;
  // Where ResolveOutputName put the item in hand: its name, the folder
  // held for it and its name there.
  std::string FResolvedName;
  rtl::THandle FResolvedFolder = rtl::InvalidHandle;
  std::string FResolvedLeaf;
  bool FResolvedUnchecked = false;
  // Folder times and modes waiting for the end of a TFolderTimesLater.
  struct TPendingFolder {
    std::string Name;
    bool HasTime = false, HasMode = false;
    rtl::TFileTime Time{};
    uint32_t Mode = 0;
  };
  bool FDeferFolderTimes = false;
  std::vector<TPendingFolder> FPendingFolderTimes;

private:
  void InitFromStream(TStream* AStream, const std::string& ArchiveName);
};

// Mask matching, shared by the model and the command line.
bool MatchFileMask(const std::string& Name, const std::string& Mask);
bool MatchPattern(const std::string& Source, const std::string& Pattern);

// Abstract walker of the stream-oriented formats (tar, gzip). ZIP does not use it.
class TAbArchiveStreamHelper : public TObject {
public:
  explicit TAbArchiveStreamHelper(TStream* AStream);
  virtual void ExtractItemData(TStream* AStream) = 0;
  virtual bool FindFirstItem() = 0;
  virtual bool FindNextItem() = 0;
  virtual void ReadHeader() = 0;
  virtual void ReadTail() = 0;
  virtual bool SeekItem(int Index) = 0;
  virtual void WriteArchiveHeader() = 0;
  virtual void WriteArchiveItem(TStream* AStream) = 0;
  virtual void WriteArchiveTail() = 0;
  virtual int GetItemCount() = 0;

protected:
  TStream* FStream;
};

} // namespace ab
