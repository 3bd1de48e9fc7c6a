// Text on Windows: the system's own ANSI and OEM code pages (GetACP,
// GetOEMCP) and its conversions (MultiByteToWideChar, WideCharToMultiByte),
// so that names and passwords read exactly as other programs on the same
// system read them. The environment overrides of Text.h apply here too,
// which lets tests pin a code page under any system locale. The UTF-8 and
// UTF-16 conversions of WinText.h live here too, with the console
// programs' entry that uses them.
#include "rtl/Text.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "rtl/WinText.h"

namespace rtl {

namespace {

constexpr int kUtf8 = 65001;

std::u16string ToUtf16(const std::wstring& w) { return std::u16string(w.begin(), w.end()); }

} // namespace

std::wstring WideText(const std::string& Utf8) {
  std::u16string u = Utf8ToUtf16(Utf8);
  return std::wstring(u.begin(), u.end());
}

std::string NarrowText(const wchar_t* Wide, size_t Length) {
  return Utf16ToUtf8(std::u16string(Wide, Wide + Length));
}

std::wstring WidePath(const std::string& Utf8Name) {
  std::wstring w = WideText(Utf8Name);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  // Below the limit, or already prefixed: as it is.
  if (w.size() < MAX_PATH - 12 || w.rfind(L"\\\\?\\", 0) == 0) return w;
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
  full.resize(n);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

namespace {

// A system set to UTF-8 throughout ("Beta: Use Unicode UTF-8") names no
// legacy code page of its own: there the fallback pair stands in.
int gFallbackAnsi = 1252;
int gFallbackOem = 437;

int SystemPage(UINT Page, int Fallback) { return Page == kUtf8 ? Fallback : static_cast<int>(Page); }

} // namespace

int AnsiCodePage() { return CodePageFromEnvironment("ARVELO_ANSI_CODEPAGE", SystemPage(GetACP(), gFallbackAnsi)); }
int OemCodePage() { return CodePageFromEnvironment("ARVELO_OEM_CODEPAGE", SystemPage(GetOEMCP(), gFallbackOem)); }

void SetFallbackCodePages(int Ansi, int Oem) {
  gFallbackAnsi = Ansi;
  gFallbackOem = Oem;
}

// MB_ERR_INVALID_CHARS is not asked for: the system maps what it cannot
// read to U+FFFD (or the code page's default character) itself.
std::string CodePageToUtf8(const std::string& bytes, int codePage) {
  if (codePage == kUtf8) return SanitizeUtf8(bytes);
  bool ascii = true;
  for (char c : bytes)
    if (static_cast<uint8_t>(c) >= 0x80) {
      ascii = false;
      break;
    }
  if (ascii) return bytes;
  int n = MultiByteToWideChar(static_cast<UINT>(codePage), 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return SanitizeUtf8(bytes);  // a code page the system does not have: keep what reads
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(static_cast<UINT>(codePage), 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), n);
  return Utf16ToUtf8(ToUtf16(w));
}

std::string Utf8ToCodePage(const std::string& text, int codePage) {
  if (codePage == kUtf8) return text;
  std::wstring w = WideText(text);
  if (w.empty()) return "";
  int n = WideCharToMultiByte(static_cast<UINT>(codePage), 0, w.data(), static_cast<int>(w.size()), nullptr, 0, "?",
                              nullptr);
  if (n <= 0) return SanitizeUtf8(text);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(static_cast<UINT>(codePage), 0, w.data(), static_cast<int>(w.size()), out.data(), n, "?", nullptr);
  return out;
}

// Charset names become code pages. Names are compared without case, "-" and
// "_", so "Shift_JIS", "shift-jis" and "SHIFTJIS" are one. "CP<n>",
// "IBM<n>", "WINDOWS-<n>" and a bare number name code page n directly; the
// others are the usual aliases of the East Asian, Cyrillic and ISO pages. A
// code page the system does not have is an unknown charset, as iconv would
// say.
namespace {

constexpr int kIso8859Base = 28590;  // ISO-8859-n is code page 28590 + n

struct TCharsetAlias {
  const char* Name;
  int CodePage;
};

constexpr TCharsetAlias kCharsetAliases[] = {
    {"UTF8", kUtf8},        {"EUCKR", 949},    {"UHC", 949},       {"KSC5601", 949}, {"SHIFTJIS", 932},
    {"SJIS", 932},          {"MSKANJI", 932},  {"GBK", 936},       {"GB2312", 936},  {"EUCCN", 936},
    {"BIG5", 950},          {"BIG5HKSCS", 950}, {"KOI8R", 20866},  {"KOI8U", 21866}, {"ASCII", 20127},
    {"USASCII", 20127},     {"LATIN1", 28591},  {"LATIN2", 28592}, {"CYRILLIC", 28595},
};

std::string FoldedCharsetName(const std::string& Name) {
  std::string s;
  for (char c : Name)
    if (c != '-' && c != '_') s += c;
  return AsciiUpper(s);
}

// The number after Prefix, or 0 when S is not Prefix and digits.
int NumberAfter(const std::string& S, const std::string& Prefix) {
  if (S.size() <= Prefix.size() || S.compare(0, Prefix.size(), Prefix) != 0 || S.size() - Prefix.size() > 5) return 0;
  int n = 0;
  for (size_t i = Prefix.size(); i < S.size(); ++i) {
    if (S[i] < '0' || S[i] > '9') return 0;
    n = n * 10 + (S[i] - '0');
  }
  return n;
}

int CodePageOfCharset(const std::string& Charset) {
  const std::string s = FoldedCharsetName(Charset);
  for (const TCharsetAlias& a : kCharsetAliases)
    if (s == a.Name) return a.CodePage;
  if (int n = NumberAfter(s, "ISO8859"); n >= 1 && n <= 16) return kIso8859Base + n;
  for (const char* prefix : {"CP", "IBM", "WINDOWS", ""})
    if (int n = NumberAfter(s, prefix)) return n;
  return 0;
}

} // namespace

bool CharsetToUtf8(const std::string& Raw, const std::string& Charset, std::string& Out) {
  const int page = CodePageOfCharset(Charset);
  if (page == 0 || (page != kUtf8 && !IsValidCodePage(static_cast<UINT>(page)))) return false;
  Out = CodePageToUtf8(Raw, page);
  return true;
}

char16_t UpperChar16(char16_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  wchar_t w[2] = {static_cast<wchar_t>(c), 0};
  CharUpperBuffW(w, 1);
  return static_cast<char16_t>(w[0]);
}

int RunWithUtf8Arguments(int argc, wchar_t** argv, int (*Main)(int, char**)) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> Args;
  Args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) Args.push_back(NarrowText(argv[i], wcslen(argv[i])));
  std::vector<char*> Argv;
  for (std::string& A : Args) Argv.push_back(A.data());
  Argv.push_back(nullptr);
  return Main(argc, Argv.data());
}

} // namespace rtl
