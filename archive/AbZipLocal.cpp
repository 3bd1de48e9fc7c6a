// AbZipLocal: reading a ZIP archive without its central directory.
//
// A download cut short, or a directory overwritten, leaves the items
// themselves readable: each starts with a local header that repeats most of
// its central entry. This reader walks them front to back and builds the
// same item list the directory would have given, so that listing, testing
// and extraction run through the one item pipeline unchanged. It is used
// only when a caller asks for it (SetReadLocalHeaders) and the directory
// cannot be read; the directory, when readable, always wins, as it alone
// holds the host system, the attributes and the comments.
//
// Where an item's data ends:
// - the local header's compressed size, unless the header defers its sizes
//   to a data descriptor (flag bit 3) and leaves them zero;
// - otherwise the data descriptor after the data. It may carry its
//   signature or not, and 32-bit or (for Zip64 items) 64-bit sizes. A
//   descriptor is taken at the first place where its stated compressed size
//   equals the distance from the data's start, and for stored data (whose
//   end nothing else marks) also where the uncompressed size equals it and
//   the CRC of the bytes before it matches. A descriptor without its
//   signature must be followed by the next record's signature. The search
//   costs one pass over the data, with the CRC of stored data computed on
//   the way.
//
// Entry assumptions: the stream is one seekable file (spanned sets are
// never read this way), positioned anywhere; nothing of an earlier attempt
// to read the directory is kept.
#include <algorithm>
#include <cstring>
#include <vector>

#include "archive/AbEndian.h"
#include "archive/AbExcept.h"
#include "archive/AbUtils.h"
#include "archive/AbZipConst.h"
#include "archive/AbZipTyp.h"
#include "rtl/Classes.h"

namespace ab {

using rtl::TStream;
using rtl::soBeginning;

namespace {

constexpr int kDescriptor32 = 12;  // CRC, compressed and uncompressed size
constexpr int kDescriptor64 = 20;  // the same with 64-bit sizes
constexpr int kSignature = 4;
// The window the search reads at a time, and what it keeps of the previous
// one: a descriptor with its signature and 64-bit sizes, and the signature
// of the record after it.
constexpr int64_t kSearchChunk = 1 << 20;
constexpr int64_t kSearchKeep = kSignature + kDescriptor64 + kSignature;
static_assert(kSearchChunk > 2 * kSearchKeep, "the window must hold more than what it keeps");

bool IsRecordSignature(uint32_t S) {
  return S == Ab_ZipLocalFileHeaderSignature || S == Ab_ZipCentralDirectorySignature ||
         S == Ab_ZipEndCentralDirectorySignature || S == Ab_Zip64EndCentralDirectorySignature ||
         S == Ab_ZipDataDescriptorSignature;
}

struct TDescriptor {
  int64_t DataEnd = -1;  // where the data ends and the descriptor starts
  int64_t Next = -1;     // where the descriptor ends
  uint32_t Crc = 0;
  int64_t CompressedSize = 0, UncompressedSize = 0;
};

// Finds the data descriptor of the item whose data starts at DataStart; see
// above. False when the file ends first.
bool FindDescriptor(TStream& S, int64_t DataStart, bool Stored, bool Zip64, TDescriptor& Out) {
  const int64_t size = S.Size();
  std::vector<uint8_t> buf;
  int64_t bufAt = DataStart;  // file offset of buf[0]
  int64_t next = DataStart;   // first file offset not yet read
  uint32_t crc = 0xFFFFFFFF;  // CRC of the stored data up to crcAt
  int64_t crcAt = DataStart;  // bufAt, for stored data
  // Candidate descriptors start at p; the bytes from p on are in buf.
  int64_t p = DataStart;
  auto at = [&](int64_t off) { return buf.data() + (off - bufAt); };
  auto take = [&](int64_t DataEnd, int Length, bool Wide, const uint8_t* d) {
    const uint32_t c = AbGetLE32(d);
    const int64_t cs = Wide ? static_cast<int64_t>(AbGetLE64(d + 4)) : AbGetLE32(d + 4);
    const int64_t us = Wide ? static_cast<int64_t>(AbGetLE64(d + 12)) : AbGetLE32(d + 8);
    if (cs != DataEnd - DataStart) return false;
    if (Stored) {
      // crcAt is the window's start, which is never past a candidate.
      if (us != cs) return false;
      uint32_t whole = crc;
      UpdateCrc32(whole, at(crcAt), DataEnd - crcAt);
      if ((whole ^ 0xFFFFFFFF) != c) return false;
    }
    Out.DataEnd = DataEnd;
    Out.Next = DataEnd + Length;
    Out.Crc = c;
    Out.CompressedSize = cs;
    Out.UncompressedSize = us;
    return true;
  };
  for (;;) {
    // Keep what a candidate at p needs, then read on.
    if (p - bufAt > kSearchKeep) {
      const int64_t drop = p - bufAt - kSearchKeep;
      if (Stored) {  // the CRC runs up to what is dropped
        const int64_t upTo = bufAt + drop;
        if (upTo > crcAt) {
          UpdateCrc32(crc, at(crcAt), upTo - crcAt);
          crcAt = upTo;
        }
      }
      buf.erase(buf.begin(), buf.begin() + drop);
      bufAt += drop;
    }
    const int64_t want = std::min(kSearchChunk, size - next);
    if (want > 0) {
      const size_t old = buf.size();
      buf.resize(old + static_cast<size_t>(want));
      S.Seek(next, soBeginning);
      S.ReadBuffer(buf.data() + old, want);
      next += want;
    }
    const int64_t end = bufAt + static_cast<int64_t>(buf.size());
    const bool last = next >= size;
    // Every candidate whose bytes are all in the window.
    for (; p + kSignature <= end; ++p) {
      const uint8_t* b = at(p);
      if (b[0] != 'P' || b[1] != 'K') continue;
      const uint32_t sig = AbGetLE32(b);
      if (!last && p + kSearchKeep > end) break;  // wait for the rest
      // The sizes are 64-bit for an item with a Zip64 field, whose low
      // half would also pass as a 32-bit size; that form is tried first.
      for (const bool wide : {Zip64, !Zip64}) {
        const int length = wide ? kDescriptor64 : kDescriptor32;
        if (sig == Ab_ZipDataDescriptorSignature && p + kSignature + length <= end &&
            take(p, kSignature + length, wide, b + kSignature))
          return true;
        if (IsRecordSignature(sig) && p - length >= DataStart && take(p - length, length, wide, at(p - length)))
          return true;
      }
    }
    if (last) {
      // A descriptor without signature at the very end of a file that has
      // nothing after it (a writer that stopped after the last item).
      for (const bool wide : {Zip64, !Zip64}) {
        const int length = wide ? kDescriptor64 : kDescriptor32;
        if (size - length >= DataStart && size - length >= bufAt && take(size - length, length, wide, at(size - length)))
          return true;
      }
      return false;
    }
  }
}

// A central header for an item known only from its local header, so that
// the item is read by the one routine that reads items: the sizes and CRC
// found, the offset, and the local extra field with its Zip64 field
// replaced by the central form when a value needs it. No host system is
// known: the entry says MS-DOS, as the local header's version does.
std::string CentralRecordFor(const TAbZipLocalFileHeader& H, int64_t Offset, uint32_t Crc, int64_t CompressedSize,
                             int64_t UncompressedSize) {
  TAbExtraField extra;
  extra.Assign(H.FExtraField);
  extra.Delete(Ab_Zip64SubfieldID);
  const bool wide = CompressedSize >= Ab_Zip64Escape32 || UncompressedSize >= Ab_Zip64Escape32 ||
                    Offset >= static_cast<int64_t>(Ab_Zip64Escape32);
  if (wide) {
    uint8_t z[24];
    AbPutLE64(z, static_cast<uint64_t>(UncompressedSize));
    AbPutLE64(z + 8, static_cast<uint64_t>(CompressedSize));
    AbPutLE64(z + 16, static_cast<uint64_t>(Offset));
    extra.Put(Ab_Zip64SubfieldID, z, sizeof z);
  }
  const std::string name = H.FFileName.Str(), more = extra.Buffer();
  std::string r(Ab_ZipCentralDirectoryHeaderSize, '\0');
  auto* b = reinterpret_cast<uint8_t*>(r.data());
  AbPutLE32(b, Ab_ZipCentralDirectorySignature);
  AbPutLE16(b + 4, static_cast<uint16_t>(H.FVersionNeededToExtract & 0xFF));
  AbPutLE16(b + 6, H.FVersionNeededToExtract);
  AbPutLE16(b + 8, H.FGeneralPurposeBitFlag);
  AbPutLE16(b + 10, H.FCompressionMethod);
  AbPutLE16(b + 12, H.FLastModFileTime);
  AbPutLE16(b + 14, H.FLastModFileDate);
  AbPutLE32(b + 16, Crc);
  AbPutLE32(b + 20, wide ? Ab_Zip64Escape32 : static_cast<uint32_t>(CompressedSize));
  AbPutLE32(b + 24, wide ? Ab_Zip64Escape32 : static_cast<uint32_t>(UncompressedSize));
  AbPutLE16(b + 28, static_cast<uint16_t>(name.size()));
  AbPutLE16(b + 30, static_cast<uint16_t>(more.size()));
  // comment length, disk, internal and external attributes stay 0
  AbPutLE32(b + 42, wide ? Ab_Zip64Escape32 : static_cast<uint32_t>(Offset));
  return r + name + more;
}

} // namespace

void TAbZipArchive::ReadLocalHeaders(const std::string& Why) {
  FItemList->Clear();
  FLocalHeaders.clear();
  FOffsetCorrection = 0;
  FStubSize = 0xFFFFFFFF;
  TLocalHeaderReading& r = FLocalHeaderReading;
  r = TLocalHeaderReading();
  r.Used = true;
  r.Why = Why;
  r.FileSize = FStream->Size();

  // The first local header: at the start, or after a stub in front.
  int64_t at = 0;
  {
    std::vector<uint8_t> head(static_cast<size_t>(std::min<int64_t>(r.FileSize, kSearchChunk)));
    FStream->Seek(0, soBeginning);
    FStream->ReadBuffer(head.data(), static_cast<int64_t>(head.size()));
    at = -1;
    for (size_t i = 0; i + 4 <= head.size(); ++i)
      if (head[i] == 'P' && AbGetLE32(&head[i]) == Ab_ZipLocalFileHeaderSignature) {
        at = static_cast<int64_t>(i);
        break;
      }
    if (at < 0) throw EAbZipInvalid();
    if (at > 0) FStubSize = static_cast<uint32_t>(std::min<int64_t>(at, 0xFFFFFFFE));
  }

  bool abort = false;
  while (at + Ab_ZipLocalFileHeaderSize <= r.FileSize && HasSignatureAt(at, Ab_ZipLocalFileHeaderSignature)) {
    // The name and the extra field as declared: a header the file ends
    // inside is a cut item.
    uint8_t fixed[Ab_ZipLocalFileHeaderSize];
    FStream->Seek(at, soBeginning);
    FStream->ReadBuffer(fixed, sizeof fixed);
    const int64_t dataStart = at + Ab_ZipLocalFileHeaderSize + AbGetLE16(fixed + Ab_ZipLocalNameLengthOffset) +
                              AbGetLE16(fixed + Ab_ZipLocalNameLengthOffset + 2);
    if (dataStart > r.FileSize) {
      r.CutAt = at;
      break;
    }
    TAbZipLocalFileHeader h;
    FStream->Seek(at, soBeginning);
    h.LoadFromStream(*FStream);
    int64_t compressed = h.FCompressedSize, uncompressed = h.FUncompressedSize;
    const uint8_t* z64;
    uint16_t z64Size;
    if (h.FExtraField.Get(Ab_Zip64SubfieldID, z64, z64Size)) {
      TAbLEReader z(z64, z64Size);
      if (h.FUncompressedSize == Ab_Zip64Escape32) uncompressed = static_cast<int64_t>(z.U64());
      if (h.FCompressedSize == Ab_Zip64Escape32) compressed = static_cast<int64_t>(z.U64());
      if (!z.Ok() || compressed < 0 || uncompressed < 0) break;  // not an item: the end of what can be read
    }
    uint32_t crc = h.FCRC32;
    int64_t dataEnd, following;
    const bool deferred = (h.FGeneralPurposeBitFlag & Ab_ZipFlagDataDescriptor) != 0;
    if (deferred && compressed == 0) {
      TDescriptor d;
      if (!FindDescriptor(*FStream, dataStart, h.FCompressionMethod == cmStored,
                          h.FExtraField.Has(Ab_Zip64SubfieldID), d)) {
        r.CutAt = at;
        break;
      }
      dataEnd = d.DataEnd;
      following = d.Next;
      crc = d.Crc;
      compressed = d.CompressedSize;
      uncompressed = d.UncompressedSize;
    } else {
      if (compressed > r.FileSize - dataStart) {
        r.CutAt = at;
        break;
      }
      dataEnd = dataStart + compressed;
      following = dataEnd;
      // A descriptor after data whose sizes the header already gave is
      // stepped over: with its signature, or as the bytes before the next
      // record.
      if (deferred) {
        if (HasSignatureAt(following, Ab_ZipDataDescriptorSignature)) following += kSignature;
        for (int length : {kDescriptor32, kDescriptor64})
          if (!HasSignatureAt(following, Ab_ZipLocalFileHeaderSignature) &&
              HasSignatureAt(following + length, Ab_ZipLocalFileHeaderSignature)) {
            following += length;
            break;
          }
      }
    }
    rtl::TMemoryStream central;
    const std::string record = CentralRecordFor(h, at, crc, compressed, uncompressed);
    central.WriteBuffer(record.data(), static_cast<int64_t>(record.size()));
    central.Seek(0, soBeginning);
    auto item = std::make_unique<TAbZipItem>();
    item->LoadFromStream(central);
    item->SetAction(aaNone);
    FItemList->Add(item.release());
    r.ItemsEnd = dataEnd;
    at = following;
    DoArchiveProgress(AbPercentage(at, r.FileSize), abort);
    if (abort) {
      FStatus = asInvalid;
      throw EAbUserAbort();
    }
  }
  if (Count() == 0 && r.CutAt < 0) throw EAbZipInvalid();
  // The items' data is bounded by where the reading stopped, as by the
  // directory's start when there is one.
  FInfo->FDirectoryOffset = static_cast<uint64_t>(std::max(at, r.ItemsEnd));
  FInfo->FTotalEntries = static_cast<uint64_t>(Count());
  FSpanned = false;
  IndexLocalHeaders();
  bool ignored = false;
  DoArchiveProgress(100, ignored);
  FIsDirty = false;
}

} // namespace ab
