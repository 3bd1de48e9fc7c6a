// Choosing items: unzip's patterns, the -x exclusions, and the names of
// legacy items read in a code page the user names.
//
// The engine's own masks (DOS rules, case-insensitive, "*" stopping at a
// separator) are what the launcher relies on and stay as they are; a user
// of this tool types patterns as for unzip, where "dir/*" is the whole tree.
//
// A stored name without the UTF-8 flag or a Unicode extra field is bytes in
// the code page of the system that made the archive. The engine guesses it
// from the locale; -O (for DOS and Windows makers) and -I (Unix and the
// rest) name it instead, by the charset names iconv knows (rtl's
// CharsetToUtf8). The names are re-read once after loading and the items
// renamed, so that matching, listing and the output names all use the same
// text.
#include "archive/AbExcept.h"
#include "archive/AbUnzper.h"
#include "archive/AbZipConst.h"
#include "archive/AbZipTyp.h"
#include "rtl/FileSys.h"
#include "rtl/Masks.h"
#include "rtl/Text.h"
#include "tools/ArveloCommands.h"
#include "tools/Console.h"

namespace arvelo {

namespace {

char Fold(char c, bool IgnoreCase) { return IgnoreCase && c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Length of the UTF-8 character at s[i] (1 for a stray byte), so that "?"
// takes a whole character.
size_t CharLength(const std::string& s, size_t i) {
  const auto c = static_cast<uint8_t>(s[i]);
  size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  if (i + n > s.size()) return 1;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<uint8_t>(s[i + k]) & 0xC0) != 0x80) return 1;
  return n;
}

// Matches the set starting at p[pi] ("[" already seen) against c; moves pi
// past "]". False with pi unchanged when the set is not closed (then "["
// is an ordinary character).
bool MatchSet(const std::string& p, size_t& pi, char c, bool IgnoreCase, bool& matched) {
  size_t i = pi + 1;
  bool negate = i < p.size() && (p[i] == '!' || p[i] == '^');
  if (negate) ++i;
  bool hit = false;
  bool first = true;
  for (; i < p.size() && (first || p[i] != ']'); first = false) {
    char lo = p[i];
    if (lo == '\\' && i + 1 < p.size()) lo = p[++i];
    ++i;
    char hi = lo;
    if (i + 1 < p.size() && p[i] == '-' && p[i + 1] != ']') {
      hi = p[++i];
      if (hi == '\\' && i + 1 < p.size()) hi = p[++i];
      ++i;
    }
    const char f = Fold(c, IgnoreCase);
    if ((c >= lo && c <= hi) || (f >= Fold(lo, IgnoreCase) && f <= Fold(hi, IgnoreCase))) hit = true;
  }
  if (i >= p.size()) return false;
  pi = i + 1;
  matched = hit != negate;
  return true;
}

// One element of an unzip pattern other than "*": "?" (one character), a
// set, an escaped or a plain character.
bool MatchElement(const std::string& s, size_t& si, const std::string& p, size_t& pi, bool IgnoreCase) {
  const char pc = p[pi];
  if (pc == '?') {
    si += CharLength(s, si);
    ++pi;
    return true;
  }
  if (pc == '[') {
    bool matched = false;
    size_t next = pi;
    if (MatchSet(p, next, s[si], IgnoreCase, matched)) {
      if (!matched) return false;
      pi = next;
      ++si;
      return true;
    }
  }
  size_t at = pi;
  char lit = pc;
  if (pc == '\\' && at + 1 < p.size()) lit = p[++at];
  if (Fold(lit, IgnoreCase) != Fold(s[si], IgnoreCase)) return false;
  pi = at + 1;
  ++si;
  return true;
}

// Names from DOS tools may use "\" as separator; patterns are written
// with "/".
std::string MatchableName(const ab::TAbZipItem& Item) {
  std::string name = Item.FileName();
  if (Item.BackslashSeparates())
    for (char& c : name)
      if (c == '\\') c = '/';
  return name;
}

bool HasUnicodeMarker(const ab::TAbZipItem& Item) {
  return (Item.GeneralPurposeBitFlag() & ab::Ab_ZipFlagUTF8) != 0 ||
         Item.ExtraField().Has(ab::Ab_InfoZipUnicodePathSubfieldID) ||
         Item.ExtraField().Has(ab::Ab_XceedUnicodePathSubfieldID);
}

bool RedecodeNames(ab::TAbZipArchive& Zip, const Options& Opt) {
  std::string probe;
  for (const std::string* charset : {&Opt.dosCharset, &Opt.unixCharset})
    if (!charset->empty() && !rtl::CharsetToUtf8("", *charset, probe)) {
      Err("arvelo: unknown charset: " + Printable(*charset) + "\n");
      return false;
    }
  for (int i = 0; i < Zip.Count(); ++i) {
    ab::TAbZipItem& item = *Zip.GetItem(i);
    if (HasUnicodeMarker(item)) continue;
    const std::string& charset = item.MadeOnDos() ? Opt.dosCharset : Opt.unixCharset;
    if (charset.empty()) continue;
    std::string name;
    rtl::CharsetToUtf8(std::string(item.RawFileName()), charset, name);
    Zip.ItemList().Rename(&item, name);
    std::string disk = name;
    rtl::ToNativeSeparators(disk);
    item.SetDiskFileName(disk);
  }
  return true;
}

bool IsDoubleByteCodePage(int page) { return page == 932 || page == 936 || page == 949 || page == 950; }

// Bytes of 0x80 and up only in pairs, and at least one pair: how the East
// Asian code pages write most of their characters, and rare in the
// single-byte ones, where an accented letter stands between plain ones.
bool LooksDoubleByte(std::string_view Raw) {
  size_t run = 0;
  bool pairs = false;
  for (const char c : Raw) {
    if (static_cast<uint8_t>(c) >= 0x80) {
      ++run;
      continue;
    }
    if (run % 2) return false;
    pairs = pairs || run > 0;
    run = 0;
  }
  return run % 2 == 0 && (pairs || run > 0);
}

// One line on stderr when names without a UTF-8 marker look like double-byte
// text that this locale's single-byte code page cannot have meant (Korean
// names under C.UTF-8 come out as CP437 letters): -O or -I is the remedy.
void HintAtLegacyNames(ab::TAbZipArchive& Zip, const Options& Opt) {
  for (int i = 0; i < Zip.Count(); ++i) {
    const ab::TAbZipItem& item = *Zip.GetItem(i);
    const bool dos = item.MadeOnDos();
    const int page = dos ? rtl::OemCodePage() : rtl::AnsiCodePage();
    if (HasUnicodeMarker(item) || !(dos ? Opt.dosCharset : Opt.unixCharset).empty() || IsDoubleByteCodePage(page)) continue;
    const std::string raw(item.RawFileName());
    if (!LooksDoubleByte(raw) || rtl::SanitizeUtf8(raw) == raw) continue;
    Err(std::string("arvelo: note: names look like double-byte text this locale reads as CP") + std::to_string(page) +
        "; " + (dos ? "-O" : "-I") + " CP949 (Korean), CP932 (Japanese), CP936 or CP950 (Chinese) reads them\n");
    return;
  }
}

} // namespace

bool MatchUnzipPattern(const std::string& Name, const std::string& Pattern, bool IgnoreCase) {
  return rtl::MatchWildcard(Name, Pattern, '*', [&](size_t& si, size_t& pi) {
    return MatchElement(Name, si, Pattern, pi, IgnoreCase);
  });
}

TItemSelection::TItemSelection(const Options& Opt)
    : FOpt(Opt), FPatternUsed(Opt.patterns.size()), FExclusionUsed(Opt.exclusions.size()) {}

bool TItemSelection::Selects(const ab::TAbZipItem& Item) {
  const std::string name = MatchableName(Item);
  bool chosen = FOpt.patterns.empty();
  for (size_t i = 0; i < FOpt.patterns.size(); ++i)
    if (MatchUnzipPattern(name, FOpt.patterns[i], FOpt.ignoreCase)) chosen = FPatternUsed[i] = true;
  if (!chosen) return false;
  for (size_t i = 0; i < FOpt.exclusions.size(); ++i)
    if (MatchUnzipPattern(name, FOpt.exclusions[i], FOpt.ignoreCase)) chosen = false, FExclusionUsed[i] = true;
  return chosen;
}

bool TItemSelection::ReportUnmatched() const {
  bool any = false;
  for (size_t i = 0; i < FPatternUsed.size(); ++i)
    if (!FPatternUsed[i]) {
      Err("caution: filename not matched: " + Printable(FOpt.patterns[i]) + "\n");
      any = true;
    }
  for (size_t i = 0; i < FExclusionUsed.size(); ++i)
    if (!FExclusionUsed[i]) {
      Err("caution: excluded filename not matched: " + Printable(FOpt.exclusions[i]) + "\n");
    }
  return any;
}

namespace {

// The engine's word on an archive it could not open, or a plainer one
// (File is what was opened: the archive, or the copy of a pipe).
int Unreadable(const Options& Opt, const std::string& File, const std::string& EngineText) {
  const std::string plain = DescribeUnreadable(File);
  Err("arvelo: " + Printable(Opt.archive) + ": " + Printable(plain.empty() ? EngineText : plain) + "\n");
  return esArchiveUnreadable;
}

} // namespace

int OpenArchive(const Options& Opt, ab::TAbUnZipper& Unzipper) {
  const std::string shown = Printable(Opt.archive);
  if (rtl::DirectoryExists(Opt.archive)) {
    Err("arvelo: " + shown + ": a folder, not an archive\n");
    return esArchiveNotFound;
  }
  std::string file = Opt.archive;
  if (ArchiveNeedsSpooling(file))
    if (int status = SpoolArchive(Opt.archive, file)) return status;
  Unzipper.SetReadLocalHeaders(true);
  try {
    Unzipper.SetFileName(file);
  } catch (const ab::EAbFileNotFound& e) {
    Err("arvelo: " + shown + ": " + Printable(e.what()) + "\n");
    return esArchiveNotFound;
  } catch (const std::exception& e) {
    return Unreadable(Opt, file, e.what());
  }
  if (!Unzipper.ZipArchive()) return Unreadable(Opt, file, ab::AbResString::UnhandledType);
  ReportLocalHeaderReading(shown, file, *Unzipper.ZipArchive());
  if (!RedecodeNames(*Unzipper.ZipArchive(), Opt)) return esBadCommandLine;
  HintAtLegacyNames(*Unzipper.ZipArchive(), Opt);
  return esSuccess;
}

bool OpenArchiveAgain(const Options& Opt, const std::string& File, ab::TAbZipArchive& Opened,
                      ab::TAbUnZipper& Unzipper) {
  try {
    Unzipper.SetFileName(File);
  } catch (const std::exception&) {
    return false;
  }
  ab::TAbZipArchive* zip = Unzipper.ZipArchive();
  if (!zip || zip->Count() != Opened.Count() || !RedecodeNames(*zip, Opt)) return false;
  for (int i = 0; i < zip->Count(); ++i) {
    const ab::TAbZipItem& a = *zip->GetItem(i);
    const ab::TAbZipItem& b = *Opened.GetItem(i);
    if (a.FileName() != b.FileName() || a.RelativeOffset() != b.RelativeOffset() || a.CRC32() != b.CRC32()) return false;
  }
  return true;
}

std::string ShownName(const ab::TAbZipItem& Item) {
  const bool flagged = (Item.GeneralPurposeBitFlag() & ab::Ab_ZipFlagUTF8) != 0;
  return Printable(flagged ? Item.RawFileName() : Item.FileName());
}

} // namespace arvelo
