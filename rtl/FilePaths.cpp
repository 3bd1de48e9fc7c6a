// The path helpers, one set for both systems: only which characters break
// a path differs (rtl::IsPathDelimiter, rtl::PathBreaks).
#include <cctype>

#include "rtl/FileSys.h"

namespace rtl {

bool IsAbsolutePath(const std::string& Name) {
  if (!Name.empty() && IsPathDelimiter(Name[0])) return true;
  return DriveLetters && Name.size() >= 2 && Name[1] == ':' && std::isalpha(static_cast<unsigned char>(Name[0]));
}

bool IsFullPath(const std::string& Name) {
  if (!DriveLetters) return IsAbsolutePath(Name);
  if (Name.size() > 1 && IsPathDelimiter(Name[0]) && IsPathDelimiter(Name[1])) return true;
  return Name.size() > 2 && std::isalpha(static_cast<unsigned char>(Name[0])) && Name[1] == ':' &&
         IsPathDelimiter(Name[2]);
}

std::string ExtractFilePath(const std::string& Name) {
  size_t p = Name.find_last_of(PathBreaks);
  return p == std::string::npos ? std::string() : Name.substr(0, p + 1);
}

std::string ExtractFileName(const std::string& Name) {
  size_t p = Name.find_last_of(PathBreaks);
  return p == std::string::npos ? Name : Name.substr(p + 1);
}

std::string ExtractFileExt(const std::string& Name) {
  size_t p = Name.find_last_of(std::string(".") + PathBreaks);
  if (p == std::string::npos || Name[p] != '.') return "";
  return Name.substr(p);
}

std::string IncludeTrailingPathDelimiter(const std::string& S) {
  if (!S.empty() && IsPathDelimiter(S.back())) return S;
  return S + PathDelim;
}

std::string ExcludeTrailingPathDelimiter(const std::string& S) {
  if (S.size() > 1 && IsPathDelimiter(S.back())) return S.substr(0, S.size() - 1);
  return S;
}

} // namespace rtl
