#include "archive/AbUnzPrc.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "archive/AbBzip2.h"
#include "archive/AbDfBase.h"
#include "archive/AbDfCryS.h"
#include "archive/AbDfDec.h"
#include "archive/AbEndian.h"
#include "archive/AbExcept.h"
#include "archive/AbLZMA.h"
#include "archive/AbPPMd.h"
#include "archive/AbSpanSt.h"
#include "archive/AbUnzHelper.h"
#include "archive/AbWavPack.h"
#include "archive/AbUnzOutStm.h"
#include "archive/AbUtils.h"
#include "archive/AbXz.h"
#include "archive/AbZipAes.h"
#include "archive/AbZstd.h"
#include "rtl/FileSys.h"
#include "rtl/Text.h"

namespace ab {

// ===========================================================================
// TAbUnzipSubsetStream
// ===========================================================================

TAbUnzipSubsetStream::TAbUnzipSubsetStream(rtl::TStream* aStream, int64_t aStreamSize) : FStream(aStream) {
  FStartPos = aStream->Position();
  FCurPos = FStartPos;
  // A size that would run past the largest position ends there instead.
  FEndPos = FStartPos + std::clamp<int64_t>(aStreamSize, 0, INT64_MAX - FStartPos);
}

int64_t TAbUnzipSubsetStream::Read(void* Buffer, int64_t Count) {
  if (Count > FEndPos - FCurPos) Count = FEndPos - FCurPos;
  if (Count <= 0) return 0;
  int64_t n = FStream->Read(Buffer, Count);
  if (n > 0) FCurPos += n;
  return n;
}

int64_t TAbUnzipSubsetStream::Write(const void*, int64_t) {
  throw EAbException("TAbUnzipSubsetStream.Write not supported", 0);
}

int64_t TAbUnzipSubsetStream::Seek(int64_t Offset, rtl::TSeekOrigin Origin) {
  int64_t base = FCurPos;
  switch (Origin) {
    case soBeginning: base = FStartPos; break;
    case soCurrent: base = FCurPos; break;
    case soEnd: base = FEndPos; break;
  }
  // Clamped into the view before adding, so that no offset can overflow.
  int64_t pos = base + std::clamp(Offset, FStartPos - base, FEndPos - base);
  if (pos != FCurPos) {
    // A relative move, which a spanned set's reader also supports.
    FStream->Seek(pos - FCurPos, soCurrent);
    FCurPos = pos;
  }
  return FCurPos - FStartPos;
}

// ===========================================================================
// TAbBitBucketStream
// ===========================================================================

EAbBBSReadTooManyBytes::EAbBBSReadTooManyBytes(int64_t count)
    : EAbException(rtl::Format("BBS: request to read too many bytes [%lld]", static_cast<long long>(count)), 0) {}

TAbBitBucketStream::TAbBitBucketStream(int aBufSize) {
  if (aBufSize != 4096 && aBufSize != 8192 && aBufSize != 32768) aBufSize = 32768;
  FBufSize = aBufSize + 1024;
  FBuffer.resize(static_cast<size_t>(FBufSize));
}

int64_t TAbBitBucketStream::Write(const void* Buffer, int64_t Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<const uint8_t*>(Buffer);
  // Only the last FBufSize bytes can ever be read back.
  int64_t skip = Count > FBufSize ? Count - FBufSize : 0;
  int64_t left = Count - skip;
  const uint8_t* src = p + skip;
  FTail = static_cast<int>((FTail + skip) % FBufSize);
  while (left > 0) {
    int n = static_cast<int>(std::min<int64_t>(left, FBufSize - FTail));
    std::memcpy(FBuffer.data() + FTail, src, static_cast<size_t>(n));
    FTail = (FTail + n) % FBufSize;
    src += n;
    left -= n;
  }
  FSize += Count;
  FPosn = FSize;
  FBufPosn = FTail;
  return Count;
}

int64_t TAbBitBucketStream::Read(void* Buffer, int64_t Count) {
  if (Count > FBufSize) throw EAbBBSReadTooManyBytes(Count);
  int64_t avail = FSize - FPosn;
  if (Count > avail) Count = avail;
  if (Count <= 0) return 0;
  auto* out = static_cast<uint8_t*>(Buffer);
  int64_t left = Count;
  while (left > 0) {
    int n = static_cast<int>(std::min<int64_t>(left, FBufSize - FBufPosn));
    std::memcpy(out, FBuffer.data() + FBufPosn, static_cast<size_t>(n));
    FBufPosn = (FBufPosn + n) % FBufSize;
    out += n;
    left -= n;
  }
  FPosn += Count;
  return Count;
}

int64_t TAbBitBucketStream::Seek(int64_t Offset, rtl::TSeekOrigin Origin) {
  int64_t target;
  switch (Origin) {
    case soBeginning: target = Offset; break;
    case soCurrent: target = FPosn + Offset; break;
    case soEnd:
      if (Offset == 0) {
        FPosn = FSize;
        FBufPosn = FTail;
        return FPosn;
      }
      target = FSize + Offset;
      break;
    default: throw EAbBBSInvalidOrigin();
  }
  if (target == FPosn) return FPosn;
  if (target <= FSize - FBufSize || target > FSize) throw EAbBBSSeekOutsideBuffer();
  int64_t back = FSize - target;  // bytes before the tail
  FBufPosn = static_cast<int>(((FTail - back) % FBufSize + FBufSize) % FBufSize);
  FPosn = target;
  return FPosn;
}

// ===========================================================================
// Password dialogue
// ===========================================================================

void AskForPassword(TAbZipArchive& Archive, bool& Abort) {
  std::string proposed = Archive.Password();
  Abort = false;
  if (Archive.OnNeedPassword) {
    Archive.OnNeedPassword(&Archive, proposed);
    if (proposed.empty())
      Abort = true;
    else
      Archive.SetPassword(proposed);
  }
}

void EnsurePassword(TAbZipArchive& Archive, int& Tries, bool& Abort) {
  if (Archive.Password().empty()) {
    AskForPassword(Archive, Abort);
    ++Tries;
  }
  if (Archive.Password().empty()) throw EAbZipInvalidPassword();
}

// ===========================================================================
// OpenItemData
// ===========================================================================

namespace {

void CheckVersion(const TAbZipItem& Item) {
  if ((Item.VersionNeededToExtract() & 0xFF) > Ab_ZipHighestVersionNeeded) throw EAbZipVersion();
}

// Sizes above 2^63 - 1 (a Zip64 field can hold them) read as negative:
// no real item has them, and no stage below may be handed one.
void CheckSizes(const TAbZipItem& Item) {
  if (Item.CompressedSize() < 0 || Item.UncompressedSize() < 0) throw EAbZipInvalid();
}

// Positions the archive stream at the item's local header: by volume and
// offset in a spanned set, by offset otherwise. A header that does not fit
// in the archive is refused here, not by a short read further on.
void SeekToLocalHeader(TAbZipArchive& Archive, const TAbZipItem& Item) {
  if (auto* span = dynamic_cast<TAbSpanReadStream*>(Archive.Stream())) {
    span->SeekImage(Item.DiskNumberStart(), Item.RelativeOffset());
    return;
  }
  const int64_t at = Item.RelativeOffset();
  if (at < 0 || at > Archive.Stream()->Size() - Ab_ZipLocalFileHeaderSize) throw EAbZipInvalid();
  if (Archive.Stream()->Seek(at, soBeginning) != at) throw EAbZipInvalid();
}

bool IsSupportedMethod(uint16_t Method) { return FindZipMethod(Method) != nullptr; }

} // namespace

std::vector<std::string> PasswordForms(const std::string& Typed) {
  std::vector<std::string> forms{Typed};
  const bool plainAscii = std::all_of(Typed.begin(), Typed.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
  if (plainAscii || rtl::SanitizeUtf8(Typed) != Typed) return forms;
  const auto unmapped = [](const std::string& s) { return std::count(s.begin(), s.end(), '?'); };
  for (int page : {rtl::AnsiCodePage(), rtl::OemCodePage()}) {
    std::string form = rtl::Utf8ToCodePage(Typed, page);
    // A form that lost characters is not what anyone typed.
    if (unmapped(form) != unmapped(Typed)) continue;
    if (std::find(forms.begin(), forms.end(), form) == forms.end()) forms.push_back(std::move(form));
  }
  return forms;
}

namespace {

// The encrypted item's input: the password dialogue over the subset stream.
// Attempt(subset, password) makes a decryption stage over the subset and
// returns it when the password is accepted, null otherwise. Each attempt
// tries every form of the password and reads the same header again for each
// (a rejected header moves the subset back); one attempt counts once
// against the retries. The subset is freed on every failure path.
template <class TAttempt>
std::unique_ptr<rtl::TStream> OpenEncryptedItemData(TAbZipArchive& Archive, std::unique_ptr<rtl::TStream> Subset,
                                                    TAttempt&& Attempt) {
  int tries = 0;
  bool abort = false;
  EnsurePassword(Archive, tries, abort);
  for (;;) {
    if (abort) throw EAbUserAbort();
    for (const std::string& form : PasswordForms(Archive.Password())) {
      if (auto decrypt = Attempt(Subset.get(), form)) {
        decrypt->SetOwnsStream(true);
        Subset.release();
        return decrypt;
      }
    }
    ++tries;
    if (Archive.PasswordRetries() < tries) throw EAbZipInvalidPassword();
    AskForPassword(Archive, abort);
  }
}

} // namespace

std::unique_ptr<rtl::TStream> OpenItemData(TAbZipArchive& Archive, TAbZipItem& Item) {
  CheckVersion(Item);
  CheckSizes(Item);
  SeekToLocalHeader(Archive, Item);
  uint32_t checkValue;
  {
    TAbZipLocalFileHeader lfh;
    lfh.LoadFromStream(*Archive.Stream());
    checkValue = (lfh.FGeneralPurposeBitFlag & Ab_ZipFlagDataDescriptor) ? static_cast<uint32_t>(lfh.FLastModFileTime) << 16
                                                        : Item.CRC32();
  }
  Archive.CheckItemBounds(Item, Archive.Stream()->Position());
  auto subset = std::make_unique<TAbUnzipSubsetStream>(Archive.Stream(), Item.CompressedSize());
  if (!Item.IsEncrypted()) return subset;
  // A method this engine cannot decode fails as such before any password
  // is asked for; for an AES item that is the method its extra field names.
  if (Item.CompressionMethod() == cmAES) {
    TAbZipAesInfo aes;
    if (!GetZipAesInfo(Item, aes) || !IsSupportedMethod(aes.Method)) throw EAbZipInvalidMethod();
    const int64_t stored = Item.CompressedSize();
    return OpenEncryptedItemData(Archive, std::move(subset), [&](rtl::TStream* Src, const std::string& Password) {
      auto d = std::make_unique<TAbAesDecryptStream>(Src, aes, stored);
      return d->IsValid(Password) ? std::move(d) : nullptr;
    });
  }
  if (!IsSupportedMethod(Item.CompressionMethod())) throw EAbZipInvalidMethod();
  // A stored item whose data is exactly its size has no room for the
  // 12-byte encryption header: the flag is wrong and the data is plain.
  if (Item.CompressionMethod() == cmStored && Item.UncompressedSize() > 0 &&
      Item.CompressedSize() == Item.UncompressedSize())
    return subset;
  return OpenEncryptedItemData(Archive, std::move(subset), [&](rtl::TStream* Src, const std::string& Password) {
    auto d = std::make_unique<TAbDfDecryptStream>(Src, static_cast<int32_t>(checkValue), Password);
    return d->IsValid() ? std::move(d) : nullptr;
  });
}

// ===========================================================================
// DecodeItemData
// ===========================================================================

namespace {

// Exactly Size bytes from In to Out, through a 1 MiB buffer.
void CopyStored(rtl::TStream& In, rtl::TStream& Out, int64_t Size) {
  constexpr int64_t kChunk = 1 << 20;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min(Size, kChunk)));
  while (Size > 0) {
    int64_t n = std::min(Size, kChunk);
    In.ReadBuffer(buf.data(), n);
    Out.WriteBuffer(buf.data(), n);
    Size -= n;
  }
}

void DecodeStored(const TAbDecodeCall& C) { CopyStored(C.In, C.Out, C.Item.UncompressedSize()); }

// Shrink, reduce and implode.
void DecodeLegacy(const TAbDecodeCall& C) {
  TAbUnzipHelper helper(&C.In, &C.Out, C.Item.DictionarySize(), static_cast<uint32_t>(C.Item.UncompressedSize()),
                        static_cast<uint8_t>(C.Method), C.Item.ShannonFanoTreeCount());
  helper.Execute();
}

// Deflate and Deflate64.
void DecodeDeflated(const TAbDecodeCall& C) {
  TAbDeflateHelper helper;
  helper.SetStreamSize(C.Packed);
  if (C.Method == cmEnhancedDeflated) helper.SetOptions(helper.Options() | dfc_UseDeflate64);
  // The inflater folds each 32 KiB piece into its CRC-32 just before the
  // piece reaches Out, while it is in cache; Out need not do it again.
  // Inflate returns normally only when every byte it produced passed
  // through Out unchanged (Out raises when it must cut the output), and
  // neither of its quiet stops can happen here: no partial size, no
  // progress handler.
  C.Out.SetDecoderComputesCRC();
  C.Out.SetCRC32(Inflate(&C.In, &C.Out, &helper));
}

void DecodeBzip2(const TAbDecodeCall& C) {
  // Exactly the declared size; a stream that ends early is a read error.
  TBZDecompressionStream bz(&C.In);
  CopyStored(bz, C.Out, C.Item.UncompressedSize());
}

void DecodeLzma(const TAbDecodeCall& C) { DecodeLzmaItem(&C.In, &C.Out, C.Item.UncompressedSize()); }
void DecodeWavPack(const TAbDecodeCall& C) { DecodeWavPackItem(&C.In, &C.Out); }
void DecodePpmd(const TAbDecodeCall& C) { DecodePpmdItem(&C.In, &C.Out); }
void DecodeXz(const TAbDecodeCall& C) { DecodeXzItem(&C.In, &C.Out, C.Item.UncompressedSize()); }
void DecodeZstd(const TAbDecodeCall& C) { DecodeZstdItem(&C.In, &C.Out, C.Item.UncompressedSize()); }

// The method list. Names are those listings show (unzip's, where it has
// one); implode and deflate add their options to theirs when listed.
constexpr TAbZipMethod kZipMethods[] = {
    {cmStored, "Stored", DecodeStored, dmFixed},
    {cmShrunk, "Shrunk", DecodeLegacy, dmFixed},
    {cmReduced1, "Reduce1", DecodeLegacy, dmFixed},
    {cmReduced2, "Reduce2", DecodeLegacy, dmFixed},
    {cmReduced3, "Reduce3", DecodeLegacy, dmFixed},
    {cmReduced4, "Reduce4", DecodeLegacy, dmFixed},
    {cmImploded, "Impl", DecodeLegacy, dmFixed},
    {cmDeflated, "Defl", DecodeDeflated, dmFixed},
    {cmEnhancedDeflated, "Def64", DecodeDeflated, dmFixed},
    {cmBzip2, "BZip2", DecodeBzip2, dmFixed},
    {cmLZMA, "LZMA", DecodeLzma, dmFromHeader},
    {cmZstd, "Zstd", DecodeZstd, dmFromHeader},
    {cmXz, "XZ", DecodeXz, dmFromHeader},
    {cmWavPack, "WavPack", DecodeWavPack, dmFixed},
    {cmPPMd, "PPMd", DecodePpmd, dmFromHeader},
};

} // namespace

const TAbZipMethod* FindZipMethod(uint16_t Number) {
  for (const TAbZipMethod& m : kZipMethods)
    if (m.Number == Number) return &m;
  return nullptr;
}

void DecodeItemData(TAbZipArchive& Archive, TAbZipItem& Item, rtl::TStream& InStream, rtl::TStream& OutStream) {
  // An empty item needs no data, except that xz data is a whole stream even
  // when it holds nothing: one missing or damaged is a damaged item.
  if (Item.UncompressedSize() == 0 && Item.CompressionMethod() != cmXz) return;
  TAbUnzipOutputStream out(&OutStream);
  out.SetUncompressedSize(Item.UncompressedSize());
  out.OnProgress = Archive.OnProgress;

  // An AES item's stage knows the real method and checks the code over the
  // stored data; AE-2 stores no CRC-32, the code alone stands for it.
  auto* aes = dynamic_cast<TAbAesDecryptStream*>(&InStream);
  TAbZipAesInfo aesInfo;
  if (aes && !GetZipAesInfo(Item, aesInfo)) throw EAbZipInvalidMethod();
  const uint16_t method = aes ? aesInfo.Method : Item.CompressionMethod();
  try {
    const TAbZipMethod* decoder = FindZipMethod(method);
    if (!decoder) throw EAbZipInvalidMethod();
    decoder->Decode(TAbDecodeCall{Item, method, aes ? aes->Size() : Item.CompressedSize(), InStream, out});
  } catch (const EAbUserAbort&) {
    throw;
  } catch (...) {
    // Damaged AES data deciphers to garbage that the decoder refuses: the
    // code says which of the two it was.
    if (aes && !aes->AuthCodeMatches()) throw EAbZipBadAuthCode();
    throw;
  }
  if (aes) aes->VerifyAuthCode();

  if ((!aes || aesInfo.StoresCrc()) && Item.CRC32() != out.CRC32()) throw EAbZipBadCRC();
  // A matching CRC over fewer bytes than declared is still a short item.
  if (out.BytesWritten() != Item.UncompressedSize()) throw EAbSizeMismatch();
}

// ===========================================================================
// Hooks
// ===========================================================================

namespace {

// Extra-field records that carry exact times.
constexpr uint16_t kNtfsTimesSubfieldID = 0x000A;
constexpr uint16_t kNtfsTimesTag = 0x0001;     // modification, access, creation
constexpr uint16_t kNtfsTimesTagSize = 24;     // three 64-bit FILETIMEs
constexpr uint16_t kNtfsReservedSize = 4;
constexpr uint16_t kUnixTimeSubfieldID = 0x5455;
constexpr uint8_t kUnixTimeHasModification = 0x01;
constexpr uint16_t kUnixTimeModificationEnd = 5;  // flags byte, 32-bit time
// FILETIME counts 100 ns from 1601-01-01 UTC.
constexpr int64_t kFileTimeTicksPerSecond = 10000000;
constexpr int64_t kFileTimeEpochOffsetSeconds = 11644473600;  // 1601 to 1970
static_assert(kNtfsTimesTagSize == 3 * 8, "three FILETIMEs");
static_assert(kFileTimeEpochOffsetSeconds == (369 * 365 + 89) * 86400LL, "369 years with 89 leap days");

bool NtfsModificationTime(const TAbExtraField& Extra, rtl::TFileTime& Time) {
  const uint8_t* data;
  uint16_t size;
  if (!Extra.Get(kNtfsTimesSubfieldID, data, size) || size < kNtfsReservedSize) return false;
  TAbLEReader r(data + kNtfsReservedSize, size - kNtfsReservedSize);
  while (r.Remaining() >= 4) {
    uint16_t tag = r.U16(), tagSize = r.U16();
    if (tagSize > r.Remaining()) return false;
    if (tag == kNtfsTimesTag && tagSize >= kNtfsTimesTagSize) {
      uint64_t ticks = r.U64();
      if (ticks == 0) return false;
      Time.Seconds = static_cast<int64_t>(ticks / kFileTimeTicksPerSecond) - kFileTimeEpochOffsetSeconds;
      Time.Nanoseconds = static_cast<uint32_t>(ticks % kFileTimeTicksPerSecond) * 100u;
      return true;
    }
    r.Skip(tagSize);
  }
  return false;
}

bool UnixModificationTime(const TAbExtraField& Extra, rtl::TFileTime& Time) {
  const uint8_t* data;
  uint16_t size;
  if (!Extra.Get(kUnixTimeSubfieldID, data, size) || size < kUnixTimeModificationEnd) return false;
  if (!(data[0] & kUnixTimeHasModification)) return false;
  // Unsigned, as the writers of 64-bit systems mean it past 2038.
  Time.Seconds = AbGetLE32(data + 1);
  Time.Nanoseconds = 0;
  return true;
}

} // namespace

bool ItemModificationTime(const TAbZipItem& Item, rtl::TFileTime& Time) {
  if (NtfsModificationTime(Item.ExtraField(), Time) || UnixModificationTime(Item.ExtraField(), Time)) return true;
  rtl::TDateTime when;
  return TryUnpackDosDateTime(Item.LastModFileDate(), Item.LastModFileTime(), when) &&
         rtl::LocalTimeToFileTime(when, Time);
}

bool IsLinkItem(const TAbZipItem& Item) {
  constexpr uint32_t kUnixFileType = 0170000, kUnixLink = 0120000;
  return Item.HostSystem() == hsUnix && ((Item.ExternalFileAttributes() >> 16) & kUnixFileType) == kUnixLink;
}

namespace {

// The names the system walks in Text: "." and empty segments go nowhere.
std::vector<std::string> WalkedNames(std::string_view Text) {
  std::vector<std::string> names;
  for (size_t start = 0; start <= Text.size();) {
    size_t end = Text.find(rtl::PathDelim, start);
    if (end == std::string_view::npos) end = Text.size();
    const std::string_view part = Text.substr(start, end - start);
    if (!part.empty() && part != ".") names.emplace_back(part);
    start = end + 1;
  }
  return names;
}

} // namespace

bool LinkStaysInside(const std::string& Base, const std::string& LinkName, const std::string& Target,
                     std::vector<std::string>* PassedThrough) {
  if (Target.empty() || Target.find('\0') != std::string::npos || Target[0] == rtl::PathDelim) return false;
  const std::string base = rtl::IncludeTrailingPathDelimiter(Base);
  if (Base.empty() || LinkName.compare(0, base.size(), base) != 0) return false;
  // The link's folder below Base, as the system walks the name; a ".." (a
  // name a handler gave) could undo a folder of Base itself.
  std::vector<std::string> at = WalkedNames(std::string_view(LinkName).substr(base.size()));
  if (at.empty() || std::find(at.begin(), at.end(), "..") != at.end()) return false;
  at.pop_back();
  // The target step by step from there: a ".." may not climb above Base,
  // and a name the walk goes on from may not be a link (its own target,
  // not its name, is where the walk would go on; a ".." after it could
  // lead anywhere). Those names are given back, so that nothing this
  // extraction makes later turns one of them into a link.
  const std::vector<std::string> steps = WalkedNames(Target);
  std::vector<std::string> passed;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i] == "..") {
      if (at.empty()) return false;
      at.pop_back();
      continue;
    }
    at.push_back(steps[i]);
    if (i + 1 == steps.size()) break;
    std::string path = base;
    for (size_t k = 0; k < at.size(); ++k) path.append(k ? 1 : 0, rtl::PathDelim).append(at[k]);
    if (path == LinkName || rtl::PathKindNoFollow(path) == rtl::TPathKind::pkLink) return false;
    passed.push_back(std::move(path));
  }
  if (PassedThrough) *PassedThrough = std::move(passed);
  return true;
}

namespace {

// The same for a file item, on the file just written while it is still
// open: the result is the one the name-based calls give after closing, with
// no path looked up again.
void ApplyFileTimeAndAttributes(const TAbZipItem& Item, rtl::TReplacingFileStream& File) {
  rtl::TFileTime when;
  if (ItemModificationTime(Item, when)) rtl::FileSetTimeHandle(File.Handle(), when);
  // The file was made by this process a moment ago: its mode is known.
  const uint32_t mode = Item.HasUnixPermissions() ? Item.UnixPermissions() | rtl::kExactUnixMode : 0;
  rtl::FileSetAttrHandle(File.Handle(), Item.NativeFileAttributes(), mode, rtl::NewFileMode());
}

// Puts a file under its name. A name taken to be free without a look (in a
// folder this run made) that something took meanwhile (an earlier item
// whose name the file system does not tell apart, another program) gets
// the question it would have had before the data was written.
void CommitItemFile(TAbZipArchive& Archive, rtl::TReplacingFileStream& File, bool Unchecked) {
  if (Unchecked && !File.CommitIfFree()) {
    std::string name = File.FileName();
    bool confirm = true;
    Archive.DoConfirmOverwrite(name, confirm);
    if (!confirm) return;  // kept as it is; the new file goes
    if (name != File.FileName()) return File.CommitAs(name);
  }
  File.Commit();
}

// The longest link text a system takes (PATH_MAX less its NUL).
constexpr int64_t kMaxLinkTarget = 4095;

// A link entry becomes a link when its target stays inside the base folder;
// anything else is an unsafe name and nothing is made for it.
void ExtractLinkItem(TAbZipArchive& Archive, TAbZipItem& Item, rtl::TStream& In, const std::string& NewName) {
  if (Item.UncompressedSize() > kMaxLinkTarget) throw EAbUnsafeName(Item.FileName());
  rtl::TMemoryStream text;
  DecodeItemData(Archive, Item, In, text);
  const std::string target = text.DataString();
  // A name taken to be free without a look gets its look now (links are
  // few): one taken meanwhile is asked about, as a file's would be.
  std::string name = NewName;
  rtl::THandle folder;
  std::string leaf;
  bool unchecked = false;
  if (Archive.OutputFolderOf(NewName, folder, leaf, unchecked) && unchecked &&
      rtl::PathKindNoFollow(NewName) != rtl::TPathKind::pkMissing) {
    bool confirm = true;
    Archive.DoConfirmOverwrite(name, confirm);
    if (!confirm) return;
  }
  std::vector<std::string> passed;
  if (Archive.IsLinkPassage(name) || !LinkStaysInside(Archive.BaseDirectory(), name, target, &passed))
    throw EAbUnsafeName(Item.FileName() + " -> " + target);
  rtl::CreateSymLink(target, name);
  Archive.AddLinkPassages(passed);
  rtl::TFileTime when;
  if (ItemModificationTime(Item, when)) rtl::FileSetTime(name, when);
}

} // namespace

void ExtractItemToFile(TObject* Sender, TAbArchiveItem* AItem, const std::string& NewName) {
  auto& archive = *static_cast<TAbZipArchive*>(Sender);
  auto& item = *static_cast<TAbZipItem*>(AItem);
  if (item.IsDirectory()) {
    TAbArchive::CreateFolderPath(NewName);
    // Writing the items inside would move the folder's time again, so the
    // archive sets it once they are all written.
    if (item.HasUnixPermissions()) archive.SetFolderModeLater(NewName, item.UnixPermissions());
    rtl::TFileTime when;
    if (ItemModificationTime(item, when)) archive.SetFolderTimeLater(NewName, when);
    return;
  }
  std::unique_ptr<rtl::TStream> in = OpenItemData(archive, item);
  if (IsLinkItem(item) && rtl::SymLinksSupported()) {
    ExtractLinkItem(archive, item, *in, NewName);
    return;
  }
  // Where links cannot be made, a link entry is a file holding its text.
  // The file is made inside the folder verified for it when there is one.
  rtl::THandle folder = rtl::InvalidHandle;
  std::string leaf;
  bool unchecked = false;
  const bool inFolder = archive.OutputFolderOf(NewName, folder, leaf, unchecked);
  rtl::TReplacingFileStream out(NewName, inFolder ? folder : rtl::InvalidHandle, leaf);
  try {
    DecodeItemData(archive, item, *in, out);
  } catch (const EAbZipBadCRC&) {
    // The one rule for damaged data: a caller that listens for failed items
    // gets the damaged file to look at, under the item's name and time,
    // besides the failure; a caller that does not gets the old file back.
    if (archive.OnProcessItemFailure) {
      ApplyFileTimeAndAttributes(item, out);
      CommitItemFile(archive, out, unchecked);
    }
    throw;
  } catch (const EAbUserAbort&) {
    archive.SetStatus(asInvalid);
    throw;
  }
  // Nothing is written after this, so the time set now is the one the file
  // keeps when it is closed.
  ApplyFileTimeAndAttributes(item, out);
  CommitItemFile(archive, out, unchecked);
}

void ExtractItemToStream(TObject* Sender, TAbArchiveItem* AItem, rtl::TStream* OutStream) {
  auto& archive = *static_cast<TAbZipArchive*>(Sender);
  auto& item = *static_cast<TAbZipItem*>(AItem);
  if (!OutStream) throw EAbBadStream();
  std::unique_ptr<rtl::TStream> in = OpenItemData(archive, item);
  DecodeItemData(archive, item, *in, *OutStream);
}

void VerifyItem(TObject* Sender, TAbArchiveItem* AItem) {
  auto& archive = *static_cast<TAbZipArchive*>(Sender);
  auto& item = *static_cast<TAbZipItem*>(AItem);
  CheckVersion(item);
  CheckSizes(item);
  TAbZipLocalFileHeader lfh;
  SeekToLocalHeader(archive, item);
  lfh.LoadFromStream(*archive.Stream());

  // An item written with a data descriptor (flag bit 3) has zeros in its
  // local CRC and sizes by design: those fields are not compared then, so
  // that a good streamed item does not fail its test.
  const bool deferred = (lfh.FGeneralPurposeBitFlag & Ab_ZipFlagDataDescriptor) != 0;
  if (lfh.FVersionNeededToExtract != item.VersionNeededToExtract() ||
      lfh.FGeneralPurposeBitFlag != item.GeneralPurposeBitFlag() || lfh.FLastModFileTime != item.LastModFileTime() ||
      lfh.FLastModFileDate != item.LastModFileDate() || (!deferred && lfh.FCRC32 != item.CRC32()))
    throw EAbZipInvalidLFH();
  const uint8_t* z64;
  uint16_t z64Size;
  if (deferred) {
    // sizes come from the central directory and the data descriptor
  } else if (lfh.FExtraField.Get(Ab_Zip64SubfieldID, z64, z64Size)) {
    TAbLEReader r(z64, z64Size);
    const uint64_t usize = r.U64(), csize = r.U64();
    if (!r.Ok()) throw EAbZipInvalidLFH();
    if (static_cast<int64_t>(csize) != item.CompressedSize() || static_cast<int64_t>(usize) != item.UncompressedSize())
      throw EAbZipInvalidLFH();
  } else if (static_cast<int64_t>(lfh.FCompressedSize) != item.CompressedSize() ||
             static_cast<int64_t>(lfh.FUncompressedSize) != item.UncompressedSize()) {
    throw EAbZipInvalidLFH();
  }
  if (lfh.FFileName != item.RawFileName()) throw EAbZipInvalidLFH();
  // The data is read from the item's own start again, as on extraction.
  TAbBitBucketStream sink(0);
  ExtractItemToStream(Sender, AItem, &sink);
}

} // namespace ab
