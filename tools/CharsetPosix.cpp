// Charset conversion with iconv: every charset name the C library knows.
#include <iconv.h>

#include <cerrno>

#include "tools/Charset.h"

namespace arvelo {

bool CharsetToUtf8(const std::string& Raw, const std::string& Charset, std::string& Out) {
  iconv_t cd = iconv_open("UTF-8", Charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  Out.clear();
  std::string in = Raw;
  char* ip = in.data();
  size_t il = in.size();
  char buf[256];
  while (il > 0) {
    char* op = buf;
    size_t ol = sizeof buf;
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    Out.append(buf, static_cast<size_t>(op - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      Out += "\xEF\xBF\xBD";
      ++ip;
      --il;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  iconv_close(cd);
  return true;
}

} // namespace arvelo
