#include "archive/AbTarTyp.h"

#include <cstring>
#include <ctime>
#include <vector>

#include "archive/AbBrowse.h"
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

void TAbStreamFormatArchive::ExtractItemAt(int, const std::string&) { throw EAbZipNoExtraction(); }
void TAbStreamFormatArchive::ExtractItemToStreamAt(int, rtl::TStream*) { throw EAbZipNoExtraction(); }
void TAbStreamFormatArchive::TestItemAt(int) { throw EAbZipNoExtraction(); }
void TAbStreamFormatArchive::SaveArchive() { rtl::Assert("TAbArchive.SaveArchive: writing archives is not supported"); }

void TAbTarArchive::LoadArchive() {
  const int64_t size = FStream->Size();
  int64_t pos = 0;
  uint8_t h[512];
  std::string longName;
  while (pos + 512 <= size) {
    FStream->Seek(pos, soBeginning);
    FStream->ReadBuffer(h, 512);
    bool zero = true;
    for (uint8_t b : h)
      if (b) { zero = false; break; }
    if (zero || !IsTarHeader(h, 512)) break;
    int64_t dataSize = ParseOctal(h + 124, 12);
    char type = static_cast<char>(h[156]);
    int64_t next = pos + 512 + ((dataSize + 511) / 512) * 512;
    if (dataSize < 0 || next > size + 511) break;
    if (type == 'L') {  // GNU long name for the next member
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
      std::string prefix(reinterpret_cast<const char*>(h + 345), strnlen(reinterpret_cast<const char*>(h + 345), 155));
      name.assign(reinterpret_cast<const char*>(h), strnlen(reinterpret_cast<const char*>(h), 100));
      if (std::memcmp(h + 257, "ustar", 5) == 0 && !prefix.empty()) name = prefix + "/" + name;
    }
    item->SetFileName(name);
    item->SetDiskFileName(name);
    item->FIsDirectory = type == '5' || (!name.empty() && name.back() == '/');
    item->SetUncompressedSize(dataSize);
    item->SetCompressedSize(dataSize);
    item->FDataOffset = pos + 512;
    SetItemTime(*item, ParseOctal(h + 136, 12));
    FItemList->Add(item.release());
    pos = next;
  }
  bool abort = false;
  DoArchiveProgress(100, abort);
}

void TAbGzipArchive::LoadArchive() {
  uint8_t h[10];
  FStream->Seek(0, soBeginning);
  FStream->ReadBuffer(h, 10);
  if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 8) throw EAbUnhandledType();
  uint8_t flags = h[3];
  std::string name;
  if (flags & 0x04) {  // FEXTRA
    uint8_t x[2];
    FStream->ReadBuffer(x, 2);
    FStream->Seek(AbGetLE16(x), soCurrent);
  }
  if (flags & 0x08) {  // FNAME, zero-terminated
    char c;
    while (FStream->Read(&c, 1) == 1 && c != 0 && name.size() < 4096) name += c;
  }
  auto item = std::make_unique<TAbTarItem>();
  if (name.empty()) name = BaseNameWithoutExt(FArchiveName);
  item->SetFileName(name);
  item->SetDiskFileName(name);
  int64_t size = FStream->Size();
  if (size >= 18) {  // ISIZE: the size modulo 2^32, in the trailer
    uint8_t t[8];
    FStream->Seek(size - 8, soBeginning);
    FStream->ReadBuffer(t, 8);
    item->SetCRC32(AbGetLE32(t));
    item->SetUncompressedSize(AbGetLE32(t + 4));
  }
  item->SetCompressedSize(size);
  SetItemTime(*item, AbGetLE32(h + 4));
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
  uint8_t h[10];
  Stream.Seek(0, soBeginning);
  Stream.ReadBuffer(h, 10);
  if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 8) throw rtl::EReadError();
  const uint8_t flags = h[3];
  if (flags & 0x04) {  // FEXTRA: a length and that many bytes
    uint8_t x[2];
    Stream.ReadBuffer(x, 2);
    Stream.Seek(AbGetLE16(x), soCurrent);
  }
  // FNAME, FCOMMENT. A name or comment longer than this is no gzip member
  // anyone wrote; without the cap a large file that starts like one would be
  // read byte by byte to its end just to recognise it.
  constexpr int kMaxHeaderText = 65536;
  for (uint8_t zeroTerminated : {uint8_t{0x08}, uint8_t{0x10}}) {
    if (!(flags & zeroTerminated)) continue;
    char c = 1;
    for (int n = 0; c != 0; ++n) {
      if (n == kMaxHeaderText) throw rtl::EReadError();
      Stream.ReadBuffer(&c, 1);
    }
  }
  if (flags & 0x02) Stream.Seek(2, soCurrent);  // FHCRC
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
