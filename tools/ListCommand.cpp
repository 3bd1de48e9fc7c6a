// arvelo list: unzip's two tables (the short one by default, -v the verbose
// one with method, packed size, ratio and CRC-32), -1 the names alone, -z
// the archive comment alone. Every table column of sizes is as wide as its
// largest value needs, so that a Zip64 archive's sizes stay aligned.
//
// The packed size of an encrypted item counts only the compressed data: the
// 12-byte header of traditional encryption, or the salt, check value and
// authentication code of AES, are not part of what compression achieved,
// and an AES item shows the method its extra field names.
//
// A table is made in two passes over the archive's own items, the first for
// the totals that set the column widths, the second printing each row, and
// goes out in pieces: listing half a million items costs no more memory than
// the directory itself.
#include <cctype>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "archive/AbUnzPrc.h"
#include "archive/AbUnzper.h"
#include "archive/AbZipAes.h"
#include "archive/AbZipTyp.h"
#include "rtl/Classes.h"
#include "rtl/Text.h"
#include "tools/ArveloCommands.h"
#include "tools/Console.h"

namespace arvelo {

namespace {

constexpr int64_t kTraditionalHeaderSize = 12;

std::string MethodName(int method, const ab::TAbZipItem& item) {
  switch (method) {
    case ab::cmImploded: return item.DictionarySize() == ab::ds8K ? "Impl:8K" : "Impl:4K";
    case ab::cmDeflated: {
      // Read from the flag bits: the header of a WinZip AES item names
      // method 99, so the header's own reading of them has nothing to say.
      static const char* const opt[] = {"Defl:N", "Defl:X", "Defl:F", "Defl:S"};
      static_assert(sizeof opt / sizeof opt[0] == ab::Ab_ZipFlagDeflateOptionMask + 1);
      return opt[(item.GeneralPurposeBitFlag() >> ab::Ab_ZipFlagDeflateOptionShift) & ab::Ab_ZipFlagDeflateOptionMask];
    }
    default: {
      const ab::TAbZipMethod* known = ab::FindZipMethod(static_cast<uint16_t>(method));
      return known ? known->Name : "Unk:" + std::to_string(method);
    }
  }
}

// What one table row shows of an item, worked out again for each pass
// over the directory rather than kept: a table of half a million items
// costs no more than the archive's own list.
struct TRow {
  int method;
  int64_t size, packed;
};

TRow RowOf(const ab::TAbZipItem& item) {
  TRow r{item.CompressionMethod(), item.UncompressedSize(), item.CompressedSize()};
  if (item.IsEncrypted()) {
    ab::TAbZipAesInfo aes;
    if (r.method == ab::cmAES && ab::GetZipAesInfo(item, aes)) {
      r.method = aes.Method;
      r.packed -= aes.Overhead();
    } else if (r.method != ab::cmAES) {
      r.packed -= kTraditionalHeaderSize;
    }
    if (r.packed < 0) r.packed = 0;
  }
  return r;
}

// The table text goes out in pieces of this size, so that only one piece
// is ever held.
constexpr size_t kOutChunk = 64 * 1024;

class TChunkedOut {
 public:
  ~TChunkedOut() { Flush(); }
  TChunkedOut& operator<<(std::string_view s) {
    FText += s;
    if (FText.size() >= kOutChunk) Flush();
    return *this;
  }
  void Flush() {
    if (!FText.empty()) Out(FText);
    FText.clear();
  }

 private:
  std::string FText;
};

// The items a listing shows, in archive order.
class TListed {
 public:
  TListed(ab::TAbZipArchive& zip, TItemSelection& selection) : FZip(zip), FChosen(static_cast<size_t>(zip.Count())) {
    for (int i = 0; i < zip.Count(); ++i)
      if (selection.Selects(*zip.GetItem(i))) FChosen[static_cast<size_t>(i)] = true, ++FCount;
  }
  size_t Count() const { return FCount; }
  template <typename F> void ForEach(F&& f) const {
    for (int i = 0; i < FZip.Count(); ++i)
      if (FChosen[static_cast<size_t>(i)]) f(*FZip.GetItem(i));
  }

 private:
  ab::TAbZipArchive& FZip;
  std::vector<bool> FChosen;
  size_t FCount = 0;
};

// unzip's rounding: the saving in tenths of a percent, rounded half up.
int Ratio(int64_t size, int64_t packed) {
  if (size <= 0) return 0;
  long double saved = static_cast<long double>(size - packed) * 100.0L / static_cast<long double>(size);
  return static_cast<int>(saved >= 0 ? saved + 0.5L : saved - 0.5L);
}

int Digits(int64_t v) { return static_cast<int>(std::to_string(v).size()); }

std::string Pad(const std::string& s, int width, bool left = false) {
  if (static_cast<int>(s.size()) >= width) return s;
  std::string fill(static_cast<size_t>(width) - s.size(), ' ');
  return left ? s + fill : fill + s;
}

// The time extraction gives the file, in local time, as unzip shows it: an
// exact stored time (which zip rounds differently from the DOS time at the
// end of a minute) wins over the DOS fields, which are shown as stored when
// nothing better converts.
std::string DateTime(const ab::TAbZipItem& item) {
  char buf[64];
  rtl::TFileTime exact;
  if (ab::ItemModificationTime(item, exact)) {
    const std::time_t when = static_cast<std::time_t>(exact.Seconds);
    if (const std::tm* tm = std::localtime(&when)) {
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday,
                    tm->tm_hour, tm->tm_min);
      return buf;
    }
  }
  const uint16_t d = item.LastModFileDate(), t = item.LastModFileTime();
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", 1980 + (d >> 9), (d >> 5) & 0x0F, d & 0x1F, t >> 11,
                (t >> 5) & 0x3F);
  return buf;
}

std::string FileCount(size_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

// Bare: the rows alone, without the column heads and the totals (-qq).
void ShortTable(const TListed& listed, bool bare, TChunkedOut& out) {
  int64_t total = 0;
  listed.ForEach([&](const ab::TAbZipItem& item) { total += item.UncompressedSize(); });
  const int w = std::max(9, Digits(total));
  const std::string rule(static_cast<size_t>(w), '-');
  if (!bare) out << Pad("Length", w - 1) << "      Date    Time    Name\n" << rule << "  ---------- -----   ----\n";
  listed.ForEach([&](const ab::TAbZipItem& item) {
    out << Pad(std::to_string(item.UncompressedSize()), w) << "  "
        << DateTime(item) << "   " << ShownName(item) << "\n";
  });
  if (bare) return;
  out << rule << "                     -------\n";
  out << Pad(std::to_string(total), w) << "                     " << FileCount(listed.Count()) << "\n";
}

void VerboseTable(const TListed& listed, bool bare, TChunkedOut& out) {
  int64_t total = 0, totalPacked = 0;
  listed.ForEach([&](const ab::TAbZipItem& item) {
    const TRow r = RowOf(item);
    total += r.size, totalPacked += r.packed;
  });
  const int ws = std::max(8, Digits(total)), wp = std::max(7, Digits(totalPacked)) + 1;
  const std::string rs(static_cast<size_t>(ws), '-'), rp(static_cast<size_t>(wp - 1), '-');
  const std::string gap(28, ' ');
  if (!bare)
    out << Pad("Length", ws - 1) << "   Method" << Pad("Size", wp)
        << "  Cmpr    Date    Time   CRC-32   Name\n" << rs << "  ------ " << Pad(rp, wp)
        << " ---- ---------- ----- --------  ----\n";
  char crc[16];
  listed.ForEach([&](const ab::TAbZipItem& item) {
    const TRow r = RowOf(item);
    std::snprintf(crc, sizeof crc, "%08x", item.CRC32());
    out << Pad(std::to_string(r.size), ws) << "  "
        << Pad(MethodName(r.method, item) + (item.IsEncrypted() ? "*" : ""), 7, true)
        << Pad(std::to_string(r.packed), wp) << " " << Pad(std::to_string(Ratio(r.size, r.packed)), 3) << "% "
        << DateTime(item) << " " << crc << "  " << ShownName(item) << "\n";
  });
  if (bare) return;
  out << rs << "         " << Pad(rp, wp) << "  ---" << gap << "-------\n";
  out << Pad(std::to_string(total), ws) << "         " << Pad(std::to_string(totalPacked), wp) << " "
      << Pad(std::to_string(Ratio(total, totalPacked)), 3) << "%" << gap << FileCount(listed.Count()) << "\n";
}

// zipinfo's short listing (-Z): one "ls -l" like line per item, with the
// system that made it, text or binary, and the packed size's share.

std::string ZipInfoMethod(int method, const ab::TAbZipItem& item) {
  static const char* const kDeflate = "NXFS";
  const int option = (item.GeneralPurposeBitFlag() >> ab::Ab_ZipFlagDeflateOptionShift) & ab::Ab_ZipFlagDeflateOptionMask;
  switch (method) {
    case ab::cmStored: return "stor";
    case ab::cmShrunk: return "shrk";
    case ab::cmReduced1: case ab::cmReduced2: case ab::cmReduced3: case ab::cmReduced4:
      return "re:" + std::to_string(method - ab::cmReduced1 + 1);
    case ab::cmImploded:
      return std::string("i") + (item.DictionarySize() == ab::ds8K ? "8" : "4") + ":" +
             std::to_string(item.ShannonFanoTreeCount());
    case ab::cmTokenized: return "tokn";
    case ab::cmDeflated: return std::string("def") + kDeflate[option];
    case ab::cmEnhancedDeflated: return std::string("d64") + kDeflate[option];
    case ab::cmDCLImploded: return "dcli";
    case ab::cmBzip2: return "bzp2";
    case ab::cmLZMA: return "lzma";
    case ab::cmWavPack: return "wavp";
    case ab::cmPPMd: return "ppmd";
    default: {
      char buf[8];
      std::snprintf(buf, sizeof buf, "u%03d", method & 0xFF);
      return buf;
    }
  }
}

std::string ZipInfoHost(uint8_t host) {
  static const char* const kHosts[] = {"fat", "ami", "vms", "unx", "cms", "atr", "hpf", "mac", "zzz", "cpm",
                                       "t20", "ntf", "qds", "aco", "vft", "mvs", "be ", "nsk", "ths", "osx"};
  return host < sizeof kHosts / sizeof kHosts[0] ? kHosts[host] : "???";
}

// "-rw-r--r--" from a Unix mode, "-rw-a--" from DOS attributes.
std::string ZipInfoMode(const ab::TAbZipItem& item) {
  const uint32_t ext = item.ExternalFileAttributes();
  if (item.HostSystem() == ab::hsUnix || (ext >> 16) != 0) {
    const uint32_t m = ext >> 16;
    const uint32_t type = m & 0170000;
    std::string s(1, type == 0040000 ? 'd' : type == 0120000 ? 'l' : type == 0010000 ? 'p' : type == 0140000 ? 's'
                                             : type == 0060000 ? 'b' : type == 0020000 ? 'c' : '-');
    static const char kRwx[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) s += (m & (0400u >> i)) ? kRwx[i] : '-';
    if (m & 04000) s[3] = (m & 0100) ? 's' : 'S';
    if (m & 02000) s[6] = (m & 0010) ? 's' : 'S';
    if (m & 01000) s[9] = (m & 0001) ? 't' : 'T';
    return s;
  }
  std::string name = item.FileName(), ext4 = name.size() >= 4 ? name.substr(name.size() - 4) : "";
  for (char& c : ext4) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool runs = ext4 == ".exe" || ext4 == ".com" || ext4 == ".bat" || ext4 == ".cmd" || ext4 == ".btm";
  std::string s = item.IsDirectory() ? "dr" : "-r";
  s += (ext & 0x01) ? '-' : 'w';
  s += runs ? 'x' : '-';
  s += (ext & 0x20) ? 'a' : '-';
  s += (ext & 0x02) ? 'h' : '-';
  s += (ext & 0x04) ? 's' : '-';
  return s;
}

// The saving in tenths of a percent, rounded half away from zero.
std::string PerMille(int64_t size, int64_t packed) {
  long double saved = size > 0 ? static_cast<long double>(size - packed) * 1000.0L / static_cast<long double>(size) : 0;
  const long long pm = static_cast<long long>(saved >= 0 ? saved + 0.5L : saved - 0.5L);
  return std::string(pm < 0 ? "-" : "") + std::to_string(std::llabs(pm) / 10) + "." + std::to_string(std::llabs(pm) % 10);
}

std::string ZipInfoDate(const ab::TAbZipItem& item) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::string d = DateTime(item);  // YYYY-MM-DD HH:MM
  const int month = std::stoi(d.substr(5, 2));
  return d.substr(2, 2) + "-" + (month >= 1 && month <= 12 ? kMonths[month - 1] : "???") + "-" + d.substr(8);
}

void ZipInfoTable(const TListed& listed, const Options& opt, const ab::TAbZipArchive& zip, TChunkedOut& out) {
  if (opt.quiet < 2) {
    const int64_t size = zip.Stream() ? zip.Stream()->Size() : 0;
    out << "Archive:  " << Printable(opt.archive) << "\n"
        << "Zip file size: " << std::to_string(size) << " bytes, number of entries: "
        << std::to_string(zip.Count()) << "\n";
  }
  int64_t total = 0, totalPacked = 0;
  listed.ForEach([&](const ab::TAbZipItem& item) {
    const TRow r = RowOf(item);
    total += r.size, totalPacked += r.packed;
    const uint16_t flags = item.GeneralPurposeBitFlag();
    char kind[3] = {(item.InternalFileAttributes() & 1) ? 't' : 'b', '-', 0};
    if (item.IsEncrypted()) kind[0] = static_cast<char>(std::toupper(kind[0]));
    const bool descriptor = (flags & ab::Ab_ZipFlagDataDescriptor) != 0, extra = item.ExtraField().Count() > 0;
    kind[1] = descriptor && extra ? 'X' : descriptor ? 'l' : extra ? 'x' : '-';
    const uint16_t made = item.VersionMadeBy() & 0xFF;
    out << Pad(ZipInfoMode(item), 10, true) << "  " << std::to_string(made / 10) << "." << std::to_string(made % 10)
        << " " << ZipInfoHost(item.HostSystem()) << " " << Pad(std::to_string(r.size), 8) << " " << kind << " "
        << ZipInfoMethod(r.method, item) << " " << ZipInfoDate(item) << " " << ShownName(item) << "\n";
  });
  if (opt.quiet >= 1) return;
  out << FileCount(listed.Count()) << ", " << std::to_string(total) << " bytes uncompressed, "
      << std::to_string(totalPacked) << " bytes compressed:  " << PerMille(total, totalPacked) << "%\n";
}

std::string CommentText(const ab::TAbZipArchive& zip) {
  // Comments carry no UTF-8 marker: UTF-8 when they read as such, else the
  // OEM code page, as DOS tools wrote them.
  std::string c = zip.ZipfileComment();
  std::string text = rtl::SanitizeUtf8(c) == c ? c : rtl::CodePageToUtf8(c, rtl::OemCodePage());
  // Line ends stay line ends; every other control character is shown.
  std::string shown;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\n') {
      std::string line = text.substr(start, i - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      shown += Printable(line) + (i == text.size() ? "" : "\n");
      start = i + 1;
    }
  }
  if (!shown.empty() && shown.back() != '\n') shown += '\n';
  return shown;
}

// ---- --json: one object per line, for programs ---------------------------

void JsonString(std::string_view s, TChunkedOut& out) {
  static const char* const kHex = "0123456789abcdef";
  std::string q = "\"";
  for (const char c : s) {
    const auto u = static_cast<uint8_t>(c);
    if (c == '"' || c == '\\') q += '\\', q += c;
    else if (u < 0x20) q += "\\u00", q += kHex[u >> 4], q += kHex[u & 15];
    else q += c;
  }
  out << q << "\"";
}

std::string Hex(std::string_view bytes) {
  static const char* const kHex = "0123456789abcdef";
  std::string h;
  for (const char c : bytes) h += kHex[static_cast<uint8_t>(c) >> 4], h += kHex[static_cast<uint8_t>(c) & 15];
  return h;
}

// "2024-03-09T12:34:56Z", or empty when the item has no real time.
std::string UtcTime(const ab::TAbZipItem& item) {
  rtl::TFileTime t;
  if (!ab::ItemModificationTime(item, t)) return {};
  // Days since 1970 to a civil date (proleptic Gregorian).
  int64_t days = t.Seconds / 86400, secs = t.Seconds % 86400;
  if (secs < 0) secs += 86400, --days;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097, doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365, doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153, d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2);
  char buf[96];  // room for any 64-bit year the compiler can imagine
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(y),
                static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(secs / 3600),
                static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  return buf;
}

// A link entry's target: its data, read as the extraction would (null when
// it cannot be read, e.g. encrypted without the password).
bool LinkTarget(ab::TAbZipArchive& zip, ab::TAbZipItem& item, std::string& target) {
  try {
    rtl::TMemoryStream text;
    ab::ExtractItemToStream(&zip, &item, &text);
    target = text.DataString();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The fields are documented in the README (one schema line).
void JsonLines(const TListed& listed, ab::TAbZipArchive& zip, TChunkedOut& out) {
  listed.ForEach([&](const ab::TAbZipItem& cItem) {
    auto& item = const_cast<ab::TAbZipItem&>(cItem);
    const TRow r = RowOf(item);
    const bool link = ab::IsLinkItem(item);
    out << "{\"name\": ";
    JsonString(rtl::SanitizeUtf8(item.FileName()), out);
    const std::string_view raw = item.RawFileName();
    if (rtl::SanitizeUtf8(std::string(raw)) != raw) out << ", \"raw_name_hex\": \"" << Hex(raw) << "\"";
    out << ", \"type\": \"" << (link ? "link" : item.IsDirectory() ? "folder" : "file") << "\"";
    out << ", \"size\": " << std::to_string(item.UncompressedSize()) << ", \"packed\": " << std::to_string(r.packed);
    out << ", \"method\": \"" << MethodName(r.method, item) << "\", \"method_id\": " << std::to_string(item.CompressionMethod());
    out << ", \"encrypted\": " << (item.IsEncrypted() ? "true" : "false");
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(item.CRC32()));
    out << ", \"crc32\": \"" << crc << "\"";
    const std::string when = UtcTime(item);
    out << ", \"modified\": " << (when.empty() ? "null" : "\"" + when + "\"");
    if (item.HasUnixPermissions()) {
      char mode[16];
      std::snprintf(mode, sizeof mode, "\"%04o\"", static_cast<unsigned>(item.UnixPermissions() & 07777));
      out << ", \"mode\": " << mode;
    } else {
      out << ", \"mode\": null";
    }
    std::string target;
    if (link && LinkTarget(zip, item, target)) {
      out << ", \"link_target\": ";
      JsonString(rtl::SanitizeUtf8(target), out);
    }
    out << ", \"offset\": " << std::to_string(item.RelativeOffset()) << "}\n";
  });
}

} // namespace

int List(const Options& opt) {
  ab::TAbUnZipper unzipper;
  if (int status = OpenArchive(opt, unzipper)) return status;
  ab::TAbZipArchive& zip = *unzipper.ZipArchive();
  if (opt.listStyle == TListStyle::lsCommentOnly) {
    Out(CommentText(zip));
    return esSuccess;
  }
  // An archive without items is a warning, as with unzip: a script that
  // lists to find what to extract learns there is nothing.
  if (zip.Count() == 0) {
    if (opt.listStyle != TListStyle::lsNamesOnly && opt.listStyle != TListStyle::lsJson && opt.quiet == 0)
      Out("Archive:  " + Printable(opt.archive) + "\n" + CommentText(zip));
    Err("arvelo: " + Printable(opt.archive) + ": " + DescribeEmpty(opt.archive) + "\n");
    return FoldArchiveStatus(esWarning, zip);
  }
  TItemSelection selection(opt);
  const TListed listed(zip, selection);
  {
    TChunkedOut out;
    if (opt.listStyle == TListStyle::lsNamesOnly) {
      listed.ForEach([&](const ab::TAbZipItem& item) { out << ShownName(item) << "\n"; });
    } else if (opt.listStyle == TListStyle::lsJson) {
      JsonLines(listed, zip, out);
    } else if (opt.listStyle == TListStyle::lsZipInfo) {
      ZipInfoTable(listed, opt, zip, out);
    } else {
      // As unzip: -q leaves out the archive's name and comment, -qq the
      // column heads and totals too.
      if (opt.quiet == 0) out << "Archive:  " << Printable(opt.archive) << "\n" << CommentText(zip);
      if (opt.listStyle == TListStyle::lsVerbose)
        VerboseTable(listed, opt.quiet > 1, out);
      else
        ShortTable(listed, opt.quiet > 1, out);
    }
  }
  return FoldArchiveStatus(selection.ReportUnmatched() ? esNoMatch : esSuccess, zip);
}

} // namespace arvelo
