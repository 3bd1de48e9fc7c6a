// Charset conversion on Windows: the charset name becomes a code page and
// rtl's code-page conversion (MultiByteToWideChar) reads the bytes.
//
// Names are compared without case, "-" and "_", so "Shift_JIS", "shift-jis"
// and "SHIFTJIS" are one. "CP<n>", "IBM<n>", "WINDOWS-<n>" and a bare
// number name code page n directly; the others are the usual aliases of the
// East Asian, Cyrillic and ISO pages. A code page the system does not have
// is an unknown charset, as iconv would say.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cctype>

#include "rtl/Text.h"
#include "tools/Charset.h"

namespace arvelo {

namespace {

constexpr int kIso8859Base = 28590;  // ISO-8859-n is code page 28590 + n
constexpr int kUtf8 = 65001;

struct TAlias {
  const char* Name;
  int CodePage;
};

constexpr TAlias kAliases[] = {
    {"UTF8", kUtf8},        {"EUCKR", 949},    {"UHC", 949},       {"KSC5601", 949}, {"SHIFTJIS", 932},
    {"SJIS", 932},          {"MSKANJI", 932},  {"GBK", 936},       {"GB2312", 936},  {"EUCCN", 936},
    {"BIG5", 950},          {"BIG5HKSCS", 950}, {"KOI8R", 20866},  {"KOI8U", 21866}, {"ASCII", 20127},
    {"USASCII", 20127},     {"LATIN1", 28591},  {"LATIN2", 28592}, {"CYRILLIC", 28595},
};

std::string Folded(const std::string& Name) {
  std::string s;
  for (char c : Name)
    if (c != '-' && c != '_') s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The number after Prefix, or 0 when S is not Prefix and digits.
int NumberAfter(const std::string& S, const std::string& Prefix) {
  if (S.size() <= Prefix.size() || S.compare(0, Prefix.size(), Prefix) != 0 || S.size() - Prefix.size() > 5) return 0;
  int n = 0;
  for (size_t i = Prefix.size(); i < S.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(S[i]))) return 0;
    n = n * 10 + (S[i] - '0');
  }
  return n;
}

int CodePageOf(const std::string& Charset) {
  const std::string s = Folded(Charset);
  for (const TAlias& a : kAliases)
    if (s == a.Name) return a.CodePage;
  if (int n = NumberAfter(s, "ISO8859"); n >= 1 && n <= 16) return kIso8859Base + n;
  for (const char* prefix : {"CP", "IBM", "WINDOWS", ""})
    if (int n = NumberAfter(s, prefix)) return n;
  return 0;
}

} // namespace

bool CharsetToUtf8(const std::string& Raw, const std::string& Charset, std::string& Out) {
  const int page = CodePageOf(Charset);
  if (page == 0 || (page != kUtf8 && !IsValidCodePage(static_cast<UINT>(page)))) return false;
  Out = rtl::CodePageToUtf8(Raw, page);
  return true;
}

} // namespace arvelo
