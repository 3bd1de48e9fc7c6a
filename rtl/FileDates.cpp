// The calendar-time forms of the file time calls, the same on every system:
// the local timestamp is read by the time zone rules (LocalTimeToFileTime,
// which each system's FileSys source supplies) and set exactly.
#include "rtl/FileSys.h"

namespace rtl {

bool FileSetDate(const std::string& Name, TDateTime LocalTime) {
  TFileTime t;
  return LocalTimeToFileTime(LocalTime, t) && FileSetTime(Name, t);
}

bool FileSetDateHandle(THandle Handle, TDateTime LocalTime) {
  TFileTime t;
  return LocalTimeToFileTime(LocalTime, t) && FileSetTimeHandle(Handle, t);
}

} // namespace rtl
