#include "tools/EbookMediumRules.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "rtl/Text.h"

namespace medium {

// ===========================================================================
// Findings
// ===========================================================================

void AddProblem(TFindings& F, std::string Where, std::string What, std::string Effect) {
  F.push_back({TFinding::flProblem, std::move(Where), std::move(What), std::move(Effect)});
}

void AddWarning(TFindings& F, std::string Where, std::string What, std::string Effect) {
  F.push_back({TFinding::flWarning, std::move(Where), std::move(What), std::move(Effect)});
}

void AddNote(TFindings& F, std::string Where, std::string What) {
  F.push_back({TFinding::flNote, std::move(Where), std::move(What), {}});
}

std::string FormatFinding(const TFinding& F) {
  std::string line = F.Level == TFinding::flWarning ? "warning: " : F.Level == TFinding::flNote ? "note: " : "";
  line += F.Where + ": " + F.What;
  if (!F.Effect.empty()) line += "; " + F.Effect;
  return line;
}

bool HasProblems(const TFindings& F) {
  return std::any_of(F.begin(), F.end(), [](const TFinding& f) { return f.Level == TFinding::flProblem; });
}

// ===========================================================================
// Names and paths
// ===========================================================================

size_t Utf16Length(const std::string& Utf8) { return rtl::Utf8ToUtf16(Utf8).size(); }

std::string WindowsPath(const std::string& Path) {
  std::string s = Path;
  std::replace(s.begin(), s.end(), '/', '\\');
  return s;
}

std::vector<std::string> PathParts(const std::string& Path) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : Path) {
    if (c == '/' || c == '\\') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  return parts;
}

std::string WindowsNameProblem(const std::string& Name) {
  if (Name.empty()) return "an empty name";
  for (unsigned char c : Name) {
    if (c < 0x20) return "a control character in the name";
    if (std::string_view("<>:\"/\\|?*").find(static_cast<char>(c)) != std::string_view::npos)
      return std::string("the character '") + static_cast<char>(c) + "', which Windows forbids in names";
  }
  if (Name.back() == '.' || Name.back() == ' ') return "a name ending in a dot or a space, which Windows drops";
  // Device names are reserved with any extension and trailing blanks.
  std::string base = Name.substr(0, Name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  base = rtl::AsciiUpper(base);
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  bool reserved = std::find(std::begin(kDevices), std::end(kDevices), base) != std::end(kDevices);
  if (base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] >= '0' && base[3] <= '9')
    reserved = true;
  // COM and LPT with a superscript digit (UTF-8 C2 B9, C2 B2, C2 B3).
  if (base.size() == 5 && (base.starts_with("COM") || base.starts_with("LPT")) && base[3] == '\xC2' &&
      (base[4] == '\xB9' || base[4] == '\xB2' || base[4] == '\xB3'))
    reserved = true;
  if (reserved) return "the reserved Windows device name " + base;
  return {};
}

namespace {

// Rules every setting shares: what the profile reader would change or cut.
std::string ValueProblem(const std::string& V) {
  for (unsigned char c : V)
    if (c < 0x20 || c == 0x7F) return "it holds a control character or a line break";
  if (!V.empty() && (std::isspace(static_cast<unsigned char>(V.front())) ||
                     std::isspace(static_cast<unsigned char>(V.back()))))
    return "it begins or ends with a blank, which the settings reader drops";
  if (V.size() >= 2 && (V.front() == '"' || V.front() == '\'') && V.back() == V.front())
    return "it is enclosed in quotes, which the settings reader drops";
  if (Utf16Length(V) > kMaxSettingValue) return "it is longer than the 2047 characters the settings reader keeps";
  return {};
}

std::string PathValueProblem(const std::string& V, const char* What) {
  if (!V.empty() && (V.front() == '\\' || V.front() == '/')) return std::string(What) + " begins with a separator";
  for (const std::string& part : PathParts(V)) {
    if (part == "." || part == "..") return std::string(What) + " holds \".\" or \"..\"";
    if (std::string p = WindowsNameProblem(part); !p.empty()) return std::string(What) + " has " + p;
  }
  return {};
}

} // namespace

std::string ShortcutName(const std::string& Title) {
  const size_t at = Title.find_last_of(".\\:");
  if (at != std::string::npos && Title[at] == '.') return Title.substr(0, at) + ".lnk";
  return Title + ".lnk";
}

void WarnShortcutName(const std::string& Title, const std::string& Where, TFindings& F) {
  const std::string link = ShortcutName(Title);
  if (link != Title + ".lnk")
    AddWarning(F, Where, "the title has a dot: the shortcuts are named \"" + link.substr(0, link.size() - 4) + "\"",
               "the part after the last dot is not shown under the icons");
}

std::string TitleProblem(const std::string& Title) {
  if (Title.empty()) return "the title is empty, so the shortcuts would have no name";
  if (std::string p = ValueProblem(Title); !p.empty()) return "the title: " + p;
  for (char c : Title)
    if (std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos)
      return std::string("the title holds '") + c + "', which a shortcut's file name cannot";
  const std::string link = ShortcutName(Title);
  if (link == ".lnk") return "the title leaves nothing before its last dot for the shortcut's name";
  if (std::string p = WindowsNameProblem(link); !p.empty()) return "the shortcut's name \"" + link + "\" has " + p;
  if (Utf16Length(std::string(kLongDesktop) + "\\" + link) > kMaxPath)
    return "the title is too long for a shortcut on the desktop";
  return {};
}

std::string TargetProblem(const std::string& Target) {
  if (Target.empty()) return "the installation folder name is empty";
  if (std::string p = ValueProblem(Target); !p.empty()) return "the installation folder name: " + p;
  if (std::string p = PathValueProblem(Target, "the installation folder name"); !p.empty()) return p;
  if (Utf16Length(InstallFolder(Target)) > kMaxPath) return "the installation folder's path is too long for Windows";
  return {};
}

std::string ExeProblem(const std::string& Exe) {
  if (Exe.empty()) return "the program to start is empty";
  if (std::string p = ValueProblem(Exe); !p.empty()) return "the program to start: " + p;
  if (Exe.find(':') != std::string::npos) return "the program to start is not a path inside the installation folder";
  return PathValueProblem(Exe, "the program's path");
}

// ===========================================================================
// The settings file
// ===========================================================================

std::string EncodeSettings(const std::string& Title, const std::string& Exe, const std::string& Target,
                           int AnsiCodePage) {
  std::string text = "[";
  text += kSection;
  text += "]\r\ntitle=" + Title + "\r\nexe=" + Exe + "\r\ntarget=" + Target + "\r\n";
  if (AnsiCodePage) {
    std::string bytes = rtl::Utf8ToCodePage(text, AnsiCodePage);
    return rtl::CodePageToUtf8(bytes, AnsiCodePage) == text ? bytes : std::string();
  }
  return Utf16LeWithMark(text);
}

std::string Utf16LeWithMark(const std::string& Utf8) {
  std::string out = "\xFF\xFE";
  for (char16_t u : rtl::Utf8ToUtf16(Utf8)) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  }
  return out;
}

namespace {

bool HasMark(const std::string& B, const char* Mark) { return B.compare(0, std::strlen(Mark), Mark) == 0; }

std::string Utf16ToText(const std::string& B, size_t From, bool BigEndian) {
  std::u16string u;
  for (size_t i = From; i + 1 < B.size(); i += 2) {
    const auto lo = static_cast<uint8_t>(B[i + (BigEndian ? 1 : 0)]), hi = static_cast<uint8_t>(B[i + (BigEndian ? 0 : 1)]);
    u += static_cast<char16_t>(lo | (hi << 8));
  }
  return rtl::Utf16ToUtf8(u);
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

// The profile format as both readers take it: the first section of the name
// counts, the first key of a name in it, names in any letter case, blanks
// and one pair of quotes around a value dropped, the value cut to the
// reader's buffer.
TSettings ParseSettings(const std::string& Text) {
  TSettings s;
  static const char* const kKeys[] = {"title", "exe", "target"};
  std::string* values[] = {&s.Title, &s.Exe, &s.Target};
  enum { before, inside, after } state = before;
  size_t at = 0;
  while (at <= Text.size() && state != after) {
    size_t end = Text.find('\n', at);
    if (end == std::string::npos) end = Text.size();
    std::string line = Text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = Trim(line);
    if (!line.empty() && line.front() == '[') {
      const size_t close = line.find(']');
      const bool ours = close != std::string::npos && rtl::SameTextAscii(Trim(line.substr(1, close - 1)), kSection);
      if (state == inside) state = after;
      else if (ours) state = inside;
      continue;
    }
    const size_t eq = line.find('=');
    if (state != inside || eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq));
    for (int k = 0; k < 3; ++k) {
      if (s.Found[k] || !rtl::SameTextAscii(key, kKeys[k])) continue;
      std::string v = Trim(line.substr(eq + 1));
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
      std::u16string u = rtl::Utf8ToUtf16(v);
      if (u.size() > kMaxSettingValue) v = rtl::Utf16ToUtf8(u.substr(0, kMaxSettingValue));
      *values[k] = v;
      s.Found[k] = true;
    }
    if (state == inside) s.SectionFound = true;
  }
  if (state != before) s.SectionFound = true;
  return s;
}

bool IsUtf8(const std::string& B) { return rtl::SanitizeUtf8(B) == B; }

} // namespace

TSettings ReadSettingsAsWindows(const std::string& Bytes, int AnsiCodePage) {
  if (HasMark(Bytes, "\xFF\xFE")) return ParseSettings(Utf16ToText(Bytes, 2, false));
  return ParseSettings(rtl::CodePageToUtf8(Bytes, AnsiCodePage));
}

TSettings ReadSettingsAsLinux(const std::string& Bytes) {
  if (HasMark(Bytes, "\xFF\xFE")) return ParseSettings(Utf16ToText(Bytes, 2, false));
  if (HasMark(Bytes, "\xFE\xFF")) return ParseSettings(Utf16ToText(Bytes, 2, true));
  if (HasMark(Bytes, "\xEF\xBB\xBF")) return ParseSettings(Bytes.substr(3));
  return ParseSettings(IsUtf8(Bytes) ? Bytes : rtl::CodePageToUtf8(Bytes, 949));
}

std::string DescribeEncoding(const std::string& Bytes) {
  if (HasMark(Bytes, "\xFF\xFE")) return "UTF-16LE with a byte-order mark";
  if (HasMark(Bytes, "\xFE\xFF")) return "UTF-16BE with a byte-order mark";
  if (HasMark(Bytes, "\xEF\xBB\xBF")) return "UTF-8 with a byte-order mark";
  if (std::all_of(Bytes.begin(), Bytes.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; })) return "ASCII";
  if (IsUtf8(Bytes)) return "UTF-8 without a byte-order mark";
  return "a legacy code page (read as Korean, 949)";
}

std::string ShownTitle(const TSettings& S) { return S.Found[0] ? S.Title : kDefaultTitle; }
std::string ShownExe(const TSettings& S) { return S.Found[1] ? S.Exe : kDefaultExe; }

// ===========================================================================
// Trees
// ===========================================================================

namespace {

// Windows compares names with a case mapping of its own; the locale's
// upper case of each UTF-16 unit is that mapping for every script a medium
// is likely to hold.
std::u16string CaseKey(const std::string& Path) {
  std::u16string u = rtl::Utf8ToUtf16(WindowsPath(Path));
  for (char16_t& c : u) c = rtl::UpperChar16(c);
  return u;
}

} // namespace

void CheckNames(const std::vector<TTreeEntry>& Tree, const std::string& Where, TFindings& F) {
  std::map<std::u16string, std::string> seen;
  for (const TTreeEntry& e : Tree) {
    const std::string name = PathParts(e.Path).back();
    const std::string at = Where + e.Path;
    if (std::string p = WindowsNameProblem(name); !p.empty())
      AddProblem(F, at, p, "Windows cannot copy or extract it, and the e-book misses it");
    if (name.size() > kMaxLinuxName)
      AddProblem(F, at, "a name longer than 255 bytes", "a Linux computer cannot copy or extract it");
    auto [it, fresh] = seen.emplace(CaseKey(e.Path), e.Path);
    if (!fresh && it->second != e.Path)
      AddProblem(F, at, "differs from \"" + it->second + "\" only in letter case",
                 "on Windows one of the two replaces the other");
  }
}

void CheckPathLengths(const std::vector<TTreeEntry>& Tree, const std::string& Folder, const std::string& Where,
                      const std::string& Effect, TFindings& F) {
  for (const TTreeEntry& e : Tree) {
    const std::string full = Folder + "\\" + WindowsPath(e.Path);
    if (const size_t n = Utf16Length(full); n > kMaxPath)
      AddProblem(F, Where + e.Path,
                 "becomes " + full + " (" + std::to_string(n) + " characters, Windows takes " +
                     std::to_string(kMaxPath) + ")",
                 Effect);
  }
}

} // namespace medium
