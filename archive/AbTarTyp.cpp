#include "archive/AbTarTyp.h"

#include <bzlib.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "archive/AbDfBase.h"
#include "archive/AbDfDec.h"
#include "archive/AbEndian.h"
#include "archive/AbExcept.h"
#include "archive/AbUtils.h"
#include "rtl/FileSys.h"

namespace ab {

namespace {

int64_t ParseOctal(const uint8_t* f, int n) {
  int64_t v = 0;
  int i = 0;
  while (i < n && (f[i] == ' ' || f[i] == 0)) ++i;
  for (; i < n && f[i] >= '0' && f[i] <= '7'; ++i) v = v * 8 + (f[i] - '0');
  return v;
}

// A Unix time as the two DOS words, in local time.
void SetItemTime(TAbArchiveItem& item, int64_t unixTime) {
  time_t t = static_cast<time_t>(unixTime);
  tm lt{};
  if (!localtime_r(&t, &lt)) return;
  rtl::TDateTime d, tt;
  if (rtl::TryEncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, d) &&
      rtl::TryEncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec > 59 ? 59 : lt.tm_sec, 0, tt))
    item.SetLastModTimeAsDateTime(d + tt);
}

std::string BaseNameWithoutExt(const std::string& name) {
  std::string base = rtl::ExtractFileName(name);
  size_t dot = base.rfind('.');
  return dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
}

} // namespace

// ===========================================================================
// Content checks
// ===========================================================================

bool IsGzipHeader(const uint8_t* Head) {
  return Head[0] == Ab_GzipId1 && Head[1] == Ab_GzipId2 && Head[2] == Ab_GzipMethodDeflate;
}

bool IsTarHeader(const uint8_t* Block, int64_t Size) {
  if (Size < Ab_TarBlockSize) return false;
  // The checksum field sums the header's bytes with the field itself taken
  // as blanks.
  constexpr int from = Ab_TarChecksumOffset, to = Ab_TarChecksumOffset + Ab_TarChecksumSize;
  uint32_t sum = 0;
  for (int i = 0; i < Ab_TarBlockSize; ++i) sum += (i >= from && i < to) ? ' ' : Block[i];
  const uint8_t* f = Block + from;
  int i = 0;
  while (i < Ab_TarChecksumSize && f[i] == ' ') ++i;
  if (i == Ab_TarChecksumSize || f[i] < '0' || f[i] > '7') return false;
  uint32_t stored = 0;
  for (; i < Ab_TarChecksumSize && f[i] >= '0' && f[i] <= '7'; ++i) stored = stored * 8 + (f[i] - '0');
  for (; i < Ab_TarChecksumSize; ++i)
    if (f[i] != ' ' && f[i] != 0) return false;
  return stored == sum;
}

namespace {

// The frame of a content check: the stream goes back where it was, and a
// read error means "not this kind".
template <class TCheck>
TAbArchiveType Checked(rtl::TStream& Stream, TCheck&& Check) {
  rtl::TStreamPositionKeeper keep(Stream);
  try {
    return Check();
  } catch (const rtl::EReadError&) {
    return atUnknown;
  }
}

struct TBzEnd {
  void operator()(bz_stream* bz) const { BZ2_bzDecompressEnd(bz); }
};

// The first bytes of a bzip2 stream's data, or fewer when the stream ends
// before them; Complete tells whether it ended properly.
std::string Bzip2Peek(rtl::TStream& Stream, size_t MaxBytes, bool& Complete) {
  bz_stream bz{};
  Complete = false;
  if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) return {};
  std::unique_ptr<bz_stream, TBzEnd> end(&bz);
  std::vector<char> in(4096);
  std::string out(MaxBytes, '\0');
  bz.next_out = out.data();
  bz.avail_out = static_cast<unsigned>(MaxBytes);
  int rc = BZ_OK;
  while (bz.avail_out > 0 && rc == BZ_OK) {
    if (bz.avail_in == 0) {
      int64_t n = Stream.ReadUpTo(in.data(), static_cast<int64_t>(in.size()));
      if (n <= 0) break;
      bz.next_in = in.data();
      bz.avail_in = static_cast<unsigned>(n);
    }
    rc = BZ2_bzDecompress(&bz);
  }
  Complete = rc == BZ_STREAM_END;
  out.resize(MaxBytes - bz.avail_out);
  return out;
}

bool StartsWithTarHeader(const std::string& Data) {
  return IsTarHeader(reinterpret_cast<const uint8_t*>(Data.data()), static_cast<int64_t>(Data.size()));
}

// A bzip2 stream's data goes this far before it must hold a tar header.
constexpr size_t kBzip2Probe = 1024;

} // namespace

TAbArchiveType DetectTar(rtl::TStream& Stream) {
  return Checked(Stream, [&] {
    uint8_t block[Ab_TarBlockSize];
    return IsTarHeader(block, Stream.ReadUpTo(block, Ab_TarBlockSize)) ? atTar : atUnknown;
  });
}

TAbArchiveType DetectGzip(rtl::TStream& Stream) {
  return Checked(Stream, [&] {
    uint8_t head[Ab_GzipHeaderSize];
    Stream.Seek(0, soBeginning);
    if (Stream.ReadUpTo(head, Ab_GzipHeaderSize) < Ab_GzipHeaderSize || !IsGzipHeader(head)) return atUnknown;
    return StartsWithTarHeader(GzipPeek(Stream, Ab_TarBlockSize)) ? atGzippedTar : atGzip;
  });
}

TAbArchiveType DetectBzip2(rtl::TStream& Stream) {
  return Checked(Stream, [&] {
    uint8_t head[Ab_Bzip2HeaderSize];
    Stream.Seek(0, soBeginning);
    if (Stream.ReadUpTo(head, Ab_Bzip2HeaderSize) < Ab_Bzip2HeaderSize || std::memcmp(head, Ab_Bzip2StreamMagic, 3) != 0 ||
        head[3] < '1' || head[3] > '9' || std::memcmp(head + 4, Ab_Bzip2BlockMagic, 6) != 0)
      return atUnknown;
    // Exactly kBzip2Probe bytes of data, or it is not usable.
    Stream.Seek(0, soBeginning);
    bool complete = false;
    const std::string first = Bzip2Peek(Stream, kBzip2Probe, complete);
    // A complete stream shorter than that is still bzip2 (too short for a
    // tar inside); only data that breaks off early is not.
    if (first.size() < kBzip2Probe) return complete ? atBzip2 : atUnknown;
    return StartsWithTarHeader(first) ? atBzippedTar : atBzip2;
  });
}

// ===========================================================================
// Archives
// ===========================================================================

void TAbStreamFormatArchive::ExtractItemAt(int, const std::string&) { throw EAbZipNoExtraction(); }
void TAbStreamFormatArchive::ExtractItemToStreamAt(int, rtl::TStream*) { throw EAbZipNoExtraction(); }
void TAbStreamFormatArchive::TestItemAt(int) { throw EAbZipNoExtraction(); }
void TAbStreamFormatArchive::SaveArchive() { rtl::Assert("TAbArchive.SaveArchive: writing archives is not supported"); }

void TAbTarArchive::LoadArchive() {
  const int64_t size = FStream->Size();
  int64_t pos = 0;
  uint8_t h[Ab_TarBlockSize];
  std::string longName;
  while (pos + Ab_TarBlockSize <= size) {
    FStream->Seek(pos, soBeginning);
    FStream->ReadBuffer(h, Ab_TarBlockSize);
    bool zero = true;
    for (uint8_t b : h)
      if (b) { zero = false; break; }
    if (zero || !IsTarHeader(h, Ab_TarBlockSize)) break;
    int64_t dataSize = ParseOctal(h + Ab_TarSizeOffset, Ab_TarNumberSize);
    char type = static_cast<char>(h[Ab_TarTypeOffset]);
    int64_t next = pos + Ab_TarBlockSize + ((dataSize + Ab_TarBlockSize - 1) / Ab_TarBlockSize) * Ab_TarBlockSize;
    if (dataSize < 0 || next > size + Ab_TarBlockSize - 1) break;
    if (type == Ab_TarTypeLongName) {
      std::string n(static_cast<size_t>(std::min<int64_t>(dataSize, 65536)), '\0');
      FStream->ReadBuffer(n.data(), static_cast<int64_t>(n.size()));
      longName = n.c_str();
      pos = next;
      continue;
    }
    auto item = std::make_unique<TAbTarItem>();
    std::string name = longName;
    longName.clear();
    if (name.empty()) {
      const char* prefixAt = reinterpret_cast<const char*>(h + Ab_TarPrefixOffset);
      const char* nameAt = reinterpret_cast<const char*>(h + Ab_TarNameOffset);
      std::string prefix(prefixAt, strnlen(prefixAt, Ab_TarPrefixSize));
      name.assign(nameAt, strnlen(nameAt, Ab_TarNameSize));
      if (std::memcmp(h + Ab_TarMagicOffset, Ab_TarUstarMagic, 5) == 0 && !prefix.empty()) name = prefix + "/" + name;
    }
    item->SetFileName(name);
    item->SetDiskFileName(name);
    item->FIsDirectory = type == Ab_TarTypeFolder || (!name.empty() && name.back() == '/');
    item->SetUncompressedSize(dataSize);
    item->SetCompressedSize(dataSize);
    item->FDataOffset = pos + Ab_TarBlockSize;
    SetItemTime(*item, ParseOctal(h + Ab_TarMTimeOffset, Ab_TarNumberSize));
    FItemList->Add(item.release());
    pos = next;
  }
  bool abort = false;
  DoArchiveProgress(100, abort);
}

void TAbGzipArchive::LoadArchive() {
  uint8_t h[Ab_GzipHeaderSize];
  FStream->Seek(0, soBeginning);
  FStream->ReadBuffer(h, Ab_GzipHeaderSize);
  if (!IsGzipHeader(h)) throw EAbUnhandledType();
  uint8_t flags = h[Ab_GzipFlagsOffset];
  std::string name;
  if (flags & Ab_GzipFlagExtra) {
    uint8_t x[2];
    FStream->ReadBuffer(x, 2);
    FStream->Seek(AbGetLE16(x), soCurrent);
  }
  if (flags & Ab_GzipFlagName) {  // zero-terminated
    char c;
    while (FStream->Read(&c, 1) == 1 && c != 0 && name.size() < 4096) name += c;
  }
  auto item = std::make_unique<TAbTarItem>();
  if (name.empty()) name = BaseNameWithoutExt(FArchiveName);
  item->SetFileName(name);
  item->SetDiskFileName(name);
  int64_t size = FStream->Size();
  if (size >= Ab_GzipHeaderSize + Ab_GzipTrailerSize) {
    uint8_t t[Ab_GzipTrailerSize];
    FStream->Seek(size - Ab_GzipTrailerSize, soBeginning);
    FStream->ReadBuffer(t, Ab_GzipTrailerSize);
    item->SetCRC32(AbGetLE32(t));
    item->SetUncompressedSize(AbGetLE32(t + 4));
  }
  item->SetCompressedSize(size);
  SetItemTime(*item, AbGetLE32(h + Ab_GzipMTimeOffset));
  FItemList->Add(item.release());
  bool abort = false;
  DoArchiveProgress(100, abort);
}

void TAbBzip2Archive::LoadArchive() {
  auto item = std::make_unique<TAbTarItem>();
  std::string name = BaseNameWithoutExt(FArchiveName);
  item->SetFileName(name);
  item->SetDiskFileName(name);
  item->SetCompressedSize(FStream->Size());
  FItemList->Add(item.release());
  bool abort = false;
  DoArchiveProgress(100, abort);
}

} // namespace ab

namespace ab {

std::string GzipPeek(rtl::TStream& Stream, int64_t MaxBytes) {
  uint8_t h[Ab_GzipHeaderSize];
  Stream.Seek(0, soBeginning);
  Stream.ReadBuffer(h, Ab_GzipHeaderSize);
  if (!IsGzipHeader(h)) throw rtl::EReadError();
  const uint8_t flags = h[Ab_GzipFlagsOffset];
  if (flags & Ab_GzipFlagExtra) {  // a length and that many bytes
    uint8_t x[2];
    Stream.ReadBuffer(x, 2);
    Stream.Seek(AbGetLE16(x), soCurrent);
  }
  // Name and comment. A name or comment longer than this is no gzip member
  // anyone wrote; without the cap a large file that starts like one would be
  // read byte by byte to its end just to recognise it.
  constexpr int kMaxHeaderText = 65536;
  for (uint8_t zeroTerminated : {Ab_GzipFlagName, Ab_GzipFlagComment}) {
    if (!(flags & zeroTerminated)) continue;
    char c = 1;
    for (int n = 0; c != 0; ++n) {
      if (n == kMaxHeaderText) throw rtl::EReadError();
      Stream.ReadBuffer(&c, 1);
    }
  }
  if (flags & Ab_GzipFlagHeaderCRC) Stream.Seek(2, soCurrent);
  rtl::TMemoryStream out;
  TAbDeflateHelper helper;
  helper.SetPartialSize(MaxBytes);
  try {
    Inflate(&Stream, &out, &helper);
  } catch (const EAbInflateError&) {
    // Damaged data: what came out before the damage is still worth a look.
  }
  return out.DataString().substr(0, static_cast<size_t>(MaxBytes));
}

} // namespace ab
