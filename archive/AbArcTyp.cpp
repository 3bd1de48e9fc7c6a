#include "archive/AbArcTyp.h"

#include <algorithm>

#include "archive/AbExcept.h"
#include "archive/AbUtils.h"
#include "rtl/FileSys.h"
#include "rtl/Masks.h"
#include "rtl/Text.h"

namespace ab {

uint8_t AbPercentage(int64_t Done, int64_t Total) {
  if (Total <= 0) return 0;
  if (Done >= Total) return 100;
  if (Done <= 0) return 0;
  // Done < Total, so Done * 100 fits unless Total is near 2^63; divide first then.
  if (Done > INT64_MAX / 100) return static_cast<uint8_t>(Done / (Total / 100));
  return static_cast<uint8_t>(Done * 100 / Total);
}

// ===========================================================================
// Mask matching
// ===========================================================================

namespace {

std::string Backslashed(std::string s) {
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

// Drops a leading "C:\" or "\\server\share\" from a mask.
std::string WithoutDrive(const std::string& mask) {
  if (mask.size() >= 2 && mask[1] == ':') {
    size_t skip = 2;
    if (mask.size() > 2 && mask[2] == '\\') skip = 3;
    return mask.substr(skip);
  }
  if (mask.rfind("\\\\", 0) == 0) {
    size_t server = mask.find('\\', 2);
    if (server == std::string::npos) return "";
    size_t share = mask.find('\\', server + 1);
    if (share == std::string::npos) return "";
    return mask.substr(share + 1);
  }
  return mask;
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

// The mask pieces, trimmed, empty ones left out.
std::vector<std::string> MaskPieces(const std::string& FileMask) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= FileMask.size()) {
    size_t end = FileMask.find(';', start);
    if (end == std::string::npos) end = FileMask.size();
    size_t a = start, b = end;
    while (a < b && IsBlankOrControl(FileMask[a])) ++a;
    while (b > a && IsBlankOrControl(FileMask[b - 1])) --b;
    if (b > a) pieces.push_back(FileMask.substr(a, b - a));
    start = end + 1;
  }
  return pieces;
}

// A mask with a piece that takes any name at all.
bool SelectsEverything(const std::string& FileMask) {
  for (const std::string& piece : MaskPieces(FileMask))
    if (piece == "*" || piece == "*.*") return true;
  return false;
}

} // namespace

// "*" and "?" (rtl/Masks.h), with the DOS rules around them: an empty name
// matches only an empty pattern, "*" and "*.*" every other name.
bool MatchPattern(const std::string& Source, const std::string& Pattern) {
  if (Source.empty()) return Pattern.empty();
  if (Pattern == "*.*" || Pattern == "*") return true;
  return rtl::MatchWildcard(Source, Pattern);
}

bool MatchFileMask(const std::string& Name, const std::string& Mask) {
  std::string n = rtl::AsciiUpper(Name), m = rtl::AsciiUpper(Mask);
  auto split = [](const std::string& s, std::string& folder, std::string& file) {
    size_t p = s.find_last_of("\\:");
    folder = p == std::string::npos ? "" : s.substr(0, p + 1);
    file = p == std::string::npos ? s : s.substr(p + 1);
  };
  std::string nf, nn, mf, mn;
  split(n, nf, nn);
  split(m, mf, mn);
  if (!mf.empty() && !MatchPattern(nf, mf)) return false;
  return MatchPattern(nn, mn);
}

// ===========================================================================
// TAbArchiveItem
// ===========================================================================

rtl::TDateTime TAbArchiveItem::LastModTimeAsDateTime() const {
  return UnpackDosDateTime(LastModFileDate(), LastModFileTime());
}

void TAbArchiveItem::SetLastModTimeAsDateTime(rtl::TDateTime V) {
  uint16_t d, t;
  PackDosDateTime(V, d, t);
  SetLastModFileDate(d);
  SetLastModFileTime(t);
}

std::string TAbArchiveItem::DiskFileName() const {
  if (!FDiskNameIsFileName) return FDiskFileName ? *FDiskFileName : std::string();
  std::string name = FFileName.Str();
  rtl::ToNativeSeparators(name);
  return name;
}

std::string TAbArchiveItem::DiskPath() const { return rtl::ExtractFilePath(DiskFileName()); }

bool TAbArchiveItem::MatchesStoredName(const std::string& FileMask) const {
  std::string mask = WithoutDrive(Backslashed(FileMask));
  std::string name = Backslashed(FileName());
  if (IsDirectory() && !name.empty() && name.back() == '\\') name.pop_back();
  return MatchFileMask(name, mask);
}

bool TAbArchiveItem::MatchesStoredNameEx(const std::string& FileMask) const {
  for (const std::string& piece : MaskPieces(FileMask))
    if (MatchesStoredName(piece)) return true;
  return false;
}

bool TAbArchiveItem::MatchesDiskName(const std::string& FileMask) const {
  return MatchFileMask(Backslashed(DiskFileName()), Backslashed(FileMask));
}

// ===========================================================================
// TAbArchiveList
// ===========================================================================

TAbArchiveList::TAbArchiveList(bool AOwnsItems) : FOwnsItems(AOwnsItems) {}

TAbArchiveList::~TAbArchiveList() { Clear(); }

uint32_t TAbArchiveList::NameHash(const std::string& Name) {
  uint32_t h = 0;
  for (char16_t c : rtl::Utf8ToUtf16(Name)) {
    h = (h << 4) + rtl::UpperChar16(c);
    uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h % kBuckets;
}

void TAbArchiveList::Link(TAbArchiveItem* Item) {
  auto& head = HashTable[NameHash(Item->FileName())];
  Item->NextItem = head;
  head = Item;
}

// Unlinks from its bucket either the exact object or the first item whose
// name equals the object's name.
void TAbArchiveList::Unlink(TAbArchiveItem* Item, bool ExactObject) {
  const std::string name = Item->FileName();
  TAbArchiveItem** link = &HashTable[NameHash(name)];
  while (*link) {
    TAbArchiveItem* cur = *link;
    if (ExactObject ? cur == Item : rtl::SameTextAscii(cur->FileName(), name)) {
      *link = cur->NextItem;
      cur->NextItem = nullptr;
      return;
    }
    link = &cur->NextItem;
  }
}

int TAbArchiveList::Add(TAbArchiveItem* Item) {
  if (FOwnsItems) Link(Item);
  FList.push_back(Item);
  return Count() - 1;
}

void TAbArchiveList::Clear() {
  if (FOwnsItems)
    for (TAbArchiveItem* item : FList) delete item;
  FList.clear();
  HashTable.fill(nullptr);
}

TAbArchiveItem* TAbArchiveList::Get(int Index) const {
  if (Index < 0 || Index >= Count()) throw rtl::EListError(Index);
  return FList[static_cast<size_t>(Index)];
}

void TAbArchiveList::Delete(int Index) {
  TAbArchiveItem* old = Get(Index);
  if (FOwnsItems) {
    Unlink(old, false);
    delete old;
  }
  FList.erase(FList.begin() + Index);
}

void TAbArchiveList::Put(int Index, TAbArchiveItem* Item) {
  TAbArchiveItem* old = Get(Index);
  if (FOwnsItems) {
    Unlink(old, false);
    delete old;
    Link(Item);
  }
  FList[static_cast<size_t>(Index)] = Item;
}

void TAbArchiveList::Rename(TAbArchiveItem* Item, const std::string& NewName) {
  if (FOwnsItems) Unlink(Item, true);
  Item->SetFileName(NewName);
  if (FOwnsItems) Link(Item);
}

int TAbArchiveList::Find(const std::string& FileName) const {
  if (FOwnsItems) {
    for (TAbArchiveItem* p = HashTable[NameHash(FileName)]; p; p = p->NextItem) {
      if (rtl::SameTextAscii(p->FileName(), FileName)) {
        auto it = std::find(FList.begin(), FList.end(), p);
        return it == FList.end() ? -1 : static_cast<int>(it - FList.begin());
      }
    }
    return -1;
  }
  // Without the index: the most recently added match, as the index gives.
  for (int i = Count() - 1; i >= 0; --i)
    if (rtl::SameTextAscii(FList[static_cast<size_t>(i)]->FileName(), FileName)) return i;
  return -1;
}

bool TAbArchiveList::IsActiveDupe(const std::string& FileName) const {
  for (TAbArchiveItem* item : FList)
    if (rtl::SameTextAscii(item->FileName(), FileName) && item->Action() != aaDelete) return true;
  return false;
}

// ===========================================================================
// TAbArchive: construction
// ===========================================================================

TAbArchive::TAbArchive(const std::string& FileName, uint16_t Mode) {
  auto* fs = new rtl::TBufferedFileStream(FileName, Mode);
  InitFromStream(fs, FileName);
  FOwnsStream = true;
  FMode = Mode;
}

TAbArchive::TAbArchive(TStream* AStream, const std::string& ArchiveName) { InitFromStream(AStream, ArchiveName); }

void TAbArchive::InitFromStream(TStream* AStream, const std::string& ArchiveName) {
  FIsDirty = false;
  FAutoSave = false;
  FItemList = std::make_unique<TAbArchiveList>(true);
  FStoreOptions = {};
  FExtractOptions = {};
  FStatus = asIdle;
  OnProgress = [this](uint8_t Progress, bool& Abort) { DoProgress(Progress, Abort); };
  SetBaseDirectory(rtl::ExtractFilePath(rtl::AppFileName()));
  FArchiveName = ArchiveName;
  FStream = AStream;
}

TAbArchive::~TAbArchive() {
  FItemList.reset();
  if (FOwnsStream) delete FStream;
  FLogStream.reset();
}

void TAbArchive::ReplaceStream(TStream* NewStream, bool Owns) {
  if (FOwnsStream && FStream != NewStream) delete FStream;
  FStream = NewStream;
  FOwnsStream = Owns;
}

void TAbArchive::Load() {
  try {
    LoadArchive();
  } catch (...) {
    DoLoad();
    throw;
  }
  FStatus = asIdle;
  DoLoad();
}

void TAbArchive::RequireValid() const {
  if (FStatus == asInvalid) throw EAbNoArchive();
}

void TAbArchive::Save() {
  bool pending = FIsDirty;
  for (TAbArchiveItem* item : *FItemList)
    if (item->Action() != aaNone) pending = true;
  if (pending) SaveArchive();
}

void TAbArchive::SaveIfPending(TAbArchiveItem* Item) {
  if (Item->Action() != aaNone) Save();
}

// ===========================================================================
// TAbArchive: properties
// ===========================================================================

void TAbArchive::SetBaseDirectory(const std::string& Value) {
  std::string v = Value;
  if (v.size() > 1 && v.back() == rtl::PathDelim) v.pop_back();
  if (!v.empty() && !rtl::DirectoryExists(v)) throw EAbNoSuchDirectory();
  FBaseDirectory = v;
}

void TAbArchive::SetLogging(bool Value) {
  FLogging = Value;
  FLogStream.reset();
  if (FLogging && !FLogFile.empty()) {
    try {
      FLogStream = std::make_unique<rtl::TFileStream>(FLogFile, rtl::fmCreate);
    } catch (const std::exception&) {
      throw EAbException(AbResString::ErrorCreatingLogFile, 0);
    }
    WriteLogEntry(FArchiveName, " logging ");
  }
}

// One log line: name, word, local date and time, CR LF, as UTF-16LE code
// units without a byte-order mark.
void TAbArchive::WriteLogEntry(const std::string& Name, const std::string& Word) {
  if (!FLogStream) return;
  std::u16string line = rtl::Utf8ToUtf16(Name + Word + rtl::DateTimeToStr(rtl::Now()) + "\r\n");
  std::string bytes;
  bytes.reserve(line.size() * 2);
  for (char16_t c : line) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  FLogStream->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

// ===========================================================================
// TAbArchive: notifiers
// ===========================================================================

void TAbArchive::DoProcessItemFailure(TAbArchiveItem* Item, TAbProcessType ProcessType, TAbErrorClass ErrorClass,
                                      int ErrorCode) {
  if (OnProcessItemFailure) OnProcessItemFailure(this, Item, ProcessType, ErrorClass, ErrorCode);
}

void TAbArchive::DoArchiveSaveProgress(uint8_t Progress, bool& Abort) {
  Abort = false;
  if (OnArchiveSaveProgress) OnArchiveSaveProgress(this, Progress, Abort);
}

void TAbArchive::DoArchiveProgress(uint8_t Progress, bool& Abort) {
  Abort = false;
  if (OnArchiveProgress) OnArchiveProgress(this, Progress, Abort);
}

void TAbArchive::DoArchiveItemProgress(TAbArchiveItem* Item, uint8_t Progress, bool& Abort) {
  Abort = false;
  if (OnArchiveItemProgress) OnArchiveItemProgress(this, Item, Progress, Abort);
}

void TAbArchive::DoConfirmOverwrite(std::string& Name, bool& Confirm) {
  Confirm = true;
  if (OnConfirmOverwrite) OnConfirmOverwrite(Name, Confirm);
}

void TAbArchive::DoConfirmProcessItem(TAbArchiveItem* Item, TAbProcessType ProcessType, bool& Confirm) {
  static const char* const kWords[] = {" added ",    " deleted ",  " extracted ",     " freshened ",
                                       " moved ",    " replaced ", "Unhandled Entity"};
  Confirm = true;
  if (OnConfirmProcessItem) OnConfirmProcessItem(this, Item, ProcessType, Confirm);
  if (Confirm && FLogging && FLogStream) WriteLogEntry(Item->FileName(), kWords[ProcessType]);
}

void TAbArchive::DoConfirmSave(bool& Confirm) {
  Confirm = true;
  if (OnConfirmSave) OnConfirmSave(this, Confirm);
}

void TAbArchive::DoLoad() {
  if (OnLoad) OnLoad(this);
}

void TAbArchive::DoProgress(uint8_t Progress, bool& Abort) {
  Abort = false;
  DoArchiveItemProgress(FCurrentItem, Progress, Abort);
}

void TAbArchive::DoSave() {
  if (OnSave) OnSave(this);
}

void TAbArchive::DoDeflateProgress(int aPercentDone) {
  bool abort = false;
  DoProgress(static_cast<uint8_t>(aPercentDone), abort);
  if (abort) throw EAbAbortProgress(AbResString::UserAbort);
}

void TAbArchive::DoInflateProgress(int aPercentDone) { DoDeflateProgress(aPercentDone); }

void TAbArchive::DoSpanningMediaRequest(TObject*, int, std::string&, bool&) { throw EAbSpanningNotSupported(); }

// ===========================================================================
// TAbArchive: extraction
// ===========================================================================

void TAbArchive::ClassifyException(const std::exception& E, TAbErrorClass& ErrorClass, int& ErrorCode) {
  ErrorCode = 0;
  if (auto* ab = dynamic_cast<const EAbException*>(&E)) {
    ErrorClass = ecArvelo;
    ErrorCode = ab->ErrorCode;
  } else if (auto* io = dynamic_cast<const rtl::EInOutError*>(&E)) {
    ErrorClass = ecInOutError;
    ErrorCode = io->ErrorCode;
  } else if (dynamic_cast<const rtl::EFilerError*>(&E)) {
    ErrorClass = ecFilerError;
  } else if (dynamic_cast<const rtl::EFOpenError*>(&E)) {
    ErrorClass = ecFileOpenError;
  } else if (dynamic_cast<const rtl::EFCreateError*>(&E)) {
    ErrorClass = ecFileCreateError;
  } else {
    ErrorClass = ecOther;
  }
}

TAbItemFailure TAbArchive::ClassifyFailure(const std::exception& E) {
  // The system's last error first, before anything else can change it: a
  // stream that failed on a full disk says so only there.
  TAbItemFailure f;
  f.OSError = rtl::LastOSError();
  ClassifyException(E, f.ErrorClass, f.ErrorCode);
  if (f.ErrorClass == ecInOutError) f.OSError = f.ErrorCode;
  f.Message = E.what();
  return f;
}

void TAbArchive::SetFolderTimeLater(const std::string& Folder, const rtl::TFileTime& Time) {
  if (!FDeferFolderTimes) {
    rtl::FileSetTime(Folder, Time);
    return;
  }
  TPendingFolder f;
  f.Name = Folder, f.HasTime = true, f.Time = Time;
  FPendingFolderTimes.push_back(std::move(f));
}

void TAbArchive::SetFolderModeLater(const std::string& Folder, uint32_t UnixMode) {
  // The owner writes into it now; later it gets its own mode.
  rtl::FileSetAttr(Folder, 0, (UnixMode | 0700) & 0777);
  if (!FDeferFolderTimes) return;
  TPendingFolder f;
  f.Name = Folder, f.HasMode = true, f.Mode = UnixMode | rtl::kExactUnixMode;
  FPendingFolderTimes.push_back(std::move(f));
}

TAbArchive::TFolderTimesLater::TFolderTimesLater(TAbArchive& Archive)
    : FArchive(Archive), FOuter(!Archive.FDeferFolderTimes) {
  if (!FOuter) return;
  FArchive.FPendingFolderTimes.clear();
  FArchive.FDeferFolderTimes = true;
  // A run starts from the disk as it is now.
  FArchive.FFolderTree.reset();
  FArchive.FFolderTreeRun = true;
}

TAbArchive::TFolderTimesLater::~TFolderTimesLater() {
  if (!FOuter) return;
  FArchive.FFolderTreeRun = false;
  FArchive.FFolderTree.reset();
  FArchive.FResolvedName.clear();
  FArchive.FDeferFolderTimes = false;
  auto& pending = FArchive.FPendingFolderTimes;
  // Deepest first, whatever order the items came in: a parent that may no
  // longer be entered would hide the folders below it. Within a folder the
  // later settings win, as they would have at once.
  std::reverse(pending.begin(), pending.end());
  std::stable_sort(pending.begin(), pending.end(), [](const TPendingFolder& a, const TPendingFolder& b) {
    return std::count(a.Name.begin(), a.Name.end(), rtl::PathDelim) >
           std::count(b.Name.begin(), b.Name.end(), rtl::PathDelim);
  });
  for (const TPendingFolder& f : pending) {
    if (f.HasTime) rtl::FileSetTime(f.Name, f.Time);
    if (f.HasMode) rtl::FileSetAttr(f.Name, 0, f.Mode);
  }
  pending.clear();
}

void TAbArchive::CreateFolderPath(const std::string& Path) { rtl::ForceDirectories(Path); }

// A stored name may not leave the base folder: no absolute name, no ".."
// segment (with either separator). A NUL byte would cut the name short on its
// way to the system. Where drives exist, a ":" would name a drive ("C:x" is
// relative to C:'s current folder) or a file's named stream, so it is refused
// there; elsewhere it is an ordinary character.
bool CleanStoredName(const std::string& Stored, std::string& Clean, bool BackslashSeparates) {
  Clean.clear();
  const char* const separators = BackslashSeparates || rtl::PathDelim == '\\' ? "/\\" : "/";
  if (Stored.empty() || Stored.find('\0') != std::string::npos) return false;
  if (std::strchr(separators, Stored[0])) return false;
  if (rtl::DriveLetters && Stored.find(':') != std::string::npos) return false;
  size_t start = 0;
  while (start <= Stored.size()) {
    size_t end = Stored.find_first_of(separators, start);
    if (end == std::string::npos) end = Stored.size();
    const size_t len = end - start;
    if (len == 2 && Stored.compare(start, 2, "..") == 0) {
      Clean.clear();
      return false;
    }
    if (len > 1 || (len == 1 && Stored[start] != '.')) {
      if (!Clean.empty()) Clean += rtl::PathDelim;
      Clean.append(Stored, start, len);
    }
    start = end + 1;
  }
  return true;
}

bool TAbArchive::ResolveOutputName(TAbArchiveItem* Item, const std::string& NewName, std::string& UseName) {
  FResolvedName.clear();
  const bool isDir = Item->IsDirectory();
  if (isDir && !(FExtractOptions.Has(eoCreateDirs) && FExtractOptions.Has(eoRestorePath))) return false;

  if (NewName.empty()) {
    std::string clean;
    // An empty name names no file: reported like any failed item, and
    // nothing is created for it.
    if (!CleanStoredName(Item->FileName(), clean, Item->BackslashSeparates()) || (clean.empty() && !isDir)) {
      ReportItemFailure(Item, EAbUnsafeName(Item->FileName()));
      return false;
    }
    // A folder item "./" (tar-made archives have one) is the base folder,
    // which is there already: nothing to make, and nothing of it applied.
    if (clean.empty()) return false;
    const std::string relative = FExtractOptions.Has(eoRestorePath) ? clean : rtl::ExtractFileName(clean);
    if (!FBaseDirectory.empty()) return ResolveInFolderTree(Item, relative, UseName);
    UseName = relative;
  } else {
    UseName = NewName;
  }

  // A name the caller gave is taken as it stands.
  if (!rtl::IsAbsolutePath(UseName)) {
    std::string base = FBaseDirectory;
    if (!base.empty() && base.back() != rtl::PathDelim) base += rtl::PathDelim;
    UseName = base + UseName;
  }
  std::string folder = rtl::ExcludeTrailingPathDelimiter(rtl::ExtractFilePath(UseName));
  if (!folder.empty() && !rtl::DirectoryExists(folder)) {
    if (!FExtractOptions.Has(eoCreateDirs)) throw EAbNoSuchDirectory();
    try {
      CreateFolderPath(folder);
    } catch (const rtl::EInOutError& e) {
      // This item's folder only: the items after it may well have theirs.
      ReportItemFailure(Item, e);
      return false;
    }
  }

  // Whatever is at the name counts, a link (even a dangling one) or a
  // folder included: a caller that never overwrites keeps it.
  bool result = true;
  if (!isDir && rtl::PathKindNoFollow(UseName) != rtl::TPathKind::pkMissing) DoConfirmOverwrite(UseName, result);
  return result;
}

// A stored name's place below the base folder. Its folders are walked from
// the base, one name at a time, never through a link (one already on disk,
// or one an earlier item made), and made when missing; each is verified once
// per run and held, so that the file is then made relative to its folder
// and no path is examined again. A folder item's own name counts as a folder
// on the way: a link there would take the items inside it elsewhere.
bool TAbArchive::ResolveInFolderTree(TAbArchiveItem* Item, const std::string& Relative, std::string& UseName) {
  const bool isDir = Item->IsDirectory();
  UseName = rtl::IncludeTrailingPathDelimiter(FBaseDirectory) + Relative;
  if (!FFolderTree || FFolderTree->Base() != FBaseDirectory)
    FFolderTree = std::make_unique<rtl::TFolderTree>(FBaseDirectory, FFoldersMade);
  const std::string folderName =
      isDir ? Relative : rtl::ExcludeTrailingPathDelimiter(rtl::ExtractFilePath(Relative));
  rtl::THandle folder = rtl::InvalidHandle;
  int code = 0;
  std::string failedAt;
  switch (FFolderTree->Open(folderName, isDir || FExtractOptions.Has(eoCreateDirs), folder, code, failedAt)) {
    case rtl::TFolderTree::TResult::frOk: break;
    case rtl::TFolderTree::TResult::frLink: ReportItemFailure(Item, EAbUnsafeName(Item->FileName())); return false;
    case rtl::TFolderTree::TResult::frMissing: throw EAbNoSuchDirectory();
    case rtl::TFolderTree::TResult::frFailed:
      // This item's folder only: the items after it may well have theirs.
      ReportItemFailure(Item, rtl::EInOutError("Unable to create directory \"" + failedAt + "\": " +
                                                   rtl::SysErrorMessage(code), code));
      return false;
  }
  if (isDir) return true;

  FResolvedLeaf = rtl::ExtractFileName(Relative);
  // Whatever is at the name counts, a link (even a dangling one) or a
  // folder included: a caller that never overwrites keeps it.
  bool result = true, looked = true;
  const std::string resolved = UseName;
  if (FFolderTree->KindAt(folder, folderName, FResolvedLeaf, looked) != rtl::TPathKind::pkMissing)
    DoConfirmOverwrite(UseName, result);
  // An answer may have renamed it: then it is written by its full name.
  if (UseName == resolved) {
    FResolvedName = UseName;
    FResolvedFolder = folder;
    FResolvedUnchecked = !looked;
  }
  return result;
}

bool TAbArchive::OutputFolderOf(const std::string& Name, rtl::THandle& Folder, std::string& Leaf,
                                bool& Unchecked) const {
  if (FResolvedName.empty() || Name != FResolvedName) return false;
  Folder = FResolvedFolder;
  Leaf = FResolvedLeaf;
  Unchecked = FResolvedUnchecked;
  return true;
}

void TAbArchive::ExtractAt(int Index, const std::string& NewName) {
  RequireValid();
  TAbArchiveItem* item = FItemList->Get(Index);
  SaveIfPending(item);
  bool confirm = true;
  DoConfirmProcessItem(item, ptExtract, confirm);
  if (!confirm) return;
  // An item extracted on its own holds its folders for itself alone.
  struct LoneItemScope {
    TAbArchive& a;
    const bool lone;
    ~LoneItemScope() {
      a.FResolvedName.clear();
      if (lone) a.FFolderTree.reset();
    }
  } scope{*this, !FFolderTreeRun};
  std::string useName;
  if (!ResolveOutputName(item, NewName, useName)) return;
  try {
    FCurrentItem = item;
    ExtractItemAt(Index, useName);
  } catch (const std::exception& e) {
    ReportItemFailure(item, e);
  }
}

void TAbArchive::ReportItemFailure(TAbArchiveItem* Item, const std::exception& E) {
  const TAbItemFailure failure = ClassifyFailure(E);
  // Visible to the handler for this one call, also when it throws.
  FCurrentFailure = &failure;
  struct Scope {
    const TAbItemFailure*& at;
    ~Scope() { at = nullptr; }
  } scope{FCurrentFailure};
  DoProcessItemFailure(Item, ptExtract, failure.ErrorClass, failure.ErrorCode);
}

void TAbArchive::TestAt(int Index) {
  RequireValid();
  TAbArchiveItem* item = FItemList->Get(Index);
  try {
    FCurrentItem = item;
    TestItemAt(Index);
  } catch (const std::exception& e) {
    ReportItemFailure(item, e);
  }
}

void TAbArchive::Extract(TAbArchiveItem* aItem, const std::string& NewName) {
  RequireValid();
  int index = FindItem(aItem);
  if (index != -1) ExtractAt(index, NewName);
}

void TAbArchive::ExtractFiles(const std::string& FileMask) { ExtractFilesEx(FileMask, ""); }

// The selection loop shared by the extract and test operations: every list
// position is visited, the selected ones are processed, and archive
// progress reports the share of positions visited after each one.
void TAbArchive::WalkItems(const std::function<bool(TAbArchiveItem*)>& Selected,
                           const std::function<void(int)>& Process) {
  RequireValid();
  if (Count() == 0) return;
  // Folder times at the end, and the output folders held for the walk.
  TFolderTimesLater folderTimes(*this);
  const int n = Count();
  bool abort = false;
  for (int i = 0; i < n; ++i) {
    if (Selected(FItemList->Get(i))) Process(i);
    DoArchiveProgress(AbPercentage(i + 1, Count()), abort);
    if (abort) throw EAbUserAbort();
  }
  DoArchiveProgress(100, abort);
}

void TAbArchive::ExtractFilesEx(const std::string& FileMask, const std::string& ExclusionMask) {
  WalkItems(
      [&](TAbArchiveItem* item) {
        // No mask matches an empty name; extracting everything still
        // reports it (as a name that names no file) instead of passing over
        // it in silence.
        if (item->FileName().empty()) return SelectsEverything(FileMask);
        return item->MatchesStoredNameEx(FileMask) && !item->MatchesStoredNameEx(ExclusionMask) &&
               (FExtractOptions.Has(eoCreateDirs) || !item->IsDirectory());
      },
      [&](int i) { ExtractAt(i, ""); });
}

void TAbArchive::ExtractTaggedItems() {
  WalkItems([](TAbArchiveItem* item) { return item->Tagged(); }, [&](int i) { ExtractAt(i, ""); });
}

void TAbArchive::ExtractToStream(const std::string& aFileName, TStream* aStream) {
  RequireValid();
  int index = FindFile(aFileName);
  if (index == -1) return;
  TAbArchiveItem* item = FItemList->Get(index);
  SaveIfPending(item);
  bool confirm = true;
  DoConfirmProcessItem(item, ptExtract, confirm);
  if (!confirm) return;
  try {
    FCurrentItem = item;
    ExtractItemToStreamAt(index, aStream);
  } catch (const std::exception& e) {
    ReportItemFailure(item, e);
  }
}

void TAbArchive::TestTaggedItems() {
  WalkItems([](TAbArchiveItem* item) { return item->Tagged(); },
            [&](int i) {
              FCurrentItem = FItemList->Get(i);
              TestItemAt(i);
            });
}

// ===========================================================================
// TAbArchive: selection and lookup
// ===========================================================================

void TAbArchive::TagItems(const std::string& FileMask) {
  for (TAbArchiveItem* item : *FItemList)
    if (item->MatchesStoredNameEx(FileMask)) item->SetTagged(true);
}

void TAbArchive::UnTagItems(const std::string& FileMask) {
  for (TAbArchiveItem* item : *FItemList)
    if (item->MatchesStoredNameEx(FileMask)) item->SetTagged(false);
}

void TAbArchive::ClearTags() {
  for (TAbArchiveItem* item : *FItemList) item->SetTagged(false);
}

int TAbArchive::FindFile(const std::string& aFileName) const { return FItemList->Find(aFileName); }

int TAbArchive::FindItem(TAbArchiveItem* aItem) const { return FItemList->Find(aItem->FileName()); }

// ===========================================================================
// TAbArchiveStreamHelper
// ===========================================================================

TAbArchiveStreamHelper::TAbArchiveStreamHelper(TStream* AStream) : FStream(AStream) {
  if (!AStream) throw rtl::Exception("nil stream");
}

} // namespace ab
