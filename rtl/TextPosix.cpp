#include "rtl/Text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <utility>

namespace rtl {

// ---------------------------------------------------------------------------
// Code pages
// ---------------------------------------------------------------------------

namespace {

struct LocalePages { int ansi, oem; };

LocalePages gFallbackPages{1252, 437};

LocalePages PagesFromLocale() {
  const char* lang = nullptr;
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) { lang = v; break; }
  }
  std::string l = lang ? lang : "";
  auto starts = [&](const char* p) { return l.rfind(p, 0) == 0; };
  if (starts("ko")) return {949, 949};
  if (starts("ja")) return {932, 932};
  if (starts("zh_TW") || starts("zh_HK")) return {950, 950};
  if (starts("zh")) return {936, 936};
  if (starts("ru") || starts("uk") || starts("be") || starts("bg")) return {1251, 866};
  return gFallbackPages;
}

std::string IconvName(int codePage) {
  switch (codePage) {
    case 65001: return "UTF-8";
    case 936: return "GBK";
    case 950: return "BIG5";
    case 20866: return "KOI8-R";
    case 28591: return "ISO-8859-1";
    default: return "CP" + std::to_string(codePage);
  }
}

// Converts with iconv; on an invalid or incomplete sequence one input byte is
// replaced by `bad` and conversion goes on. False, out untouched, when iconv
// does not know one of the charsets.
bool Convert(const std::string& in, const std::string& from, const std::string& to, const std::string& bad,
             std::string& result) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string out;
  out.reserve(in.size() * 2);
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  char buf[4096];
  while (left > 0) {
    char* dst = buf;
    size_t room = sizeof buf;
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out.append(buf, static_cast<size_t>(dst - buf));
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL: skip one byte of input.
      out += bad;
      ++src;
      --left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buf;
  size_t room = sizeof buf;
  iconv(cd, nullptr, nullptr, &dst, &room);
  out.append(buf, static_cast<size_t>(dst - buf));
  iconv_close(cd);
  result = std::move(out);
  return true;
}

// As Convert; a charset iconv does not know leaves the bytes as they are.
std::string ConvertOrKeep(const std::string& in, const std::string& from, const std::string& to, const std::string& bad) {
  std::string out;
  return Convert(in, from, to, bad, out) ? out : in;
}

} // namespace

int AnsiCodePage() { return CodePageFromEnvironment("ARVELO_ANSI_CODEPAGE", PagesFromLocale().ansi); }
int OemCodePage() { return CodePageFromEnvironment("ARVELO_OEM_CODEPAGE", PagesFromLocale().oem); }

void SetFallbackCodePages(int Ansi, int Oem) { gFallbackPages = {Ansi, Oem}; }

std::string CodePageToUtf8(const std::string& bytes, int codePage) {
  if (codePage == 65001) return SanitizeUtf8(bytes);
  bool ascii = true;
  for (char c : bytes) if (static_cast<uint8_t>(c) >= 0x80) { ascii = false; break; }
  if (ascii) return bytes;
  return ConvertOrKeep(bytes, IconvName(codePage), "UTF-8", "\xEF\xBF\xBD");
}

std::string Utf8ToCodePage(const std::string& text, int codePage) {
  if (codePage == 65001) return text;
  return ConvertOrKeep(SanitizeUtf8(text), "UTF-8", IconvName(codePage), "?");
}

bool CharsetToUtf8(const std::string& Raw, const std::string& Charset, std::string& Out) {
  return Convert(Raw, Charset, "UTF-8", "\xEF\xBF\xBD", Out);
}

char16_t UpperChar16(char16_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  wint_t u = std::towupper(static_cast<wint_t>(c));
  return u <= 0xFFFF ? static_cast<char16_t>(u) : c;
}

} // namespace rtl
