#include "rtl/SysUtils.h"

#include <cstdarg>
#include <cstdio>

namespace rtl {

EListError::EListError(int64_t index)
    : Exception(Format("List index out of bounds (%lld)", static_cast<long long>(index))) {}

void RaiseLastOSError(const std::string& what) { RaiseOSError(LastOSError(), what); }

void RaiseOSError(int code, const std::string& what) {
  std::string msg = SysErrorMessage(code);
  if (!what.empty()) msg = what + ": " + msg;
  throw EInOutError(msg, code);
}

void Assert(const std::string& text) { throw EAssertionFailed(text); }

std::string Format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n));
    std::vsnprintf(out.data(), out.size() + 1, fmt, ap2);
  }
  va_end(ap2);
  return out;
}

} // namespace rtl
