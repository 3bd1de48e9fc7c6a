#include "rtl/DateUtils.h"

#include <cmath>
#include <ctime>

#include "rtl/SysUtils.h"

namespace rtl {

namespace {
// Days from 0001-01-01 to 1899-12-30, the runtime's day zero.
constexpr int64_t kDelta = 693594;
} // namespace

bool IsLeapYear(int Year) { return (Year % 4 == 0) && (Year % 100 != 0 || Year % 400 == 0); }

int DaysInMonth(int Year, int Month) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (Month < 1 || Month > 12) return 0;
  return days[Month - 1] + (Month == 2 && IsLeapYear(Year) ? 1 : 0);
}

bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result) {
  if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
  int64_t days = Day;
  for (int m = 1; m < Month; ++m) days += DaysInMonth(Year, m);
  int64_t y = Year - 1;
  days += y * 365 + y / 4 - y / 100 + y / 400;
  Result = static_cast<double>(days - kDelta);
  return true;
}

bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result) {
  if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 || MSec > 999) return false;
  Result = (Hour * 3600000.0 + Min * 60000.0 + Sec * 1000.0 + MSec) / 86400000.0;
  return true;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
  TDateTime r;
  if (!TryEncodeDate(Year, Month, Day, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
  TDateTime r;
  if (!TryEncodeTime(Hour, Min, Sec, MSec, r)) throw EConvertError("Invalid argument to time encode");
  return r;
}

void DecodeDate(TDateTime D, int& Year, int& Month, int& Day) {
  int64_t days = static_cast<int64_t>(std::floor(D)) + kDelta;  // days since 0001-01-01, 1-based
  if (days <= 0) { Year = Month = Day = 0; return; }
  int64_t t = days - 1;
  int64_t y = 1;
  int64_t n400 = t / 146097; t %= 146097; y += n400 * 400;
  int64_t n100 = t / 36524; if (n100 == 4) n100 = 3; t -= n100 * 36524; y += n100 * 100;
  int64_t n4 = t / 1461; t %= 1461; y += n4 * 4;
  int64_t n1 = t / 365; if (n1 == 4) n1 = 3; t -= n1 * 365; y += n1;
  Year = static_cast<int>(y);
  Month = 1;
  while (t >= DaysInMonth(Year, Month)) { t -= DaysInMonth(Year, Month); ++Month; }
  Day = static_cast<int>(t) + 1;
}

void DecodeTime(TDateTime D, int& Hour, int& Min, int& Sec, int& MSec) {
  double frac = D - std::floor(D);
  int64_t ms = static_cast<int64_t>(std::llround(frac * 86400000.0));
  if (ms >= 86400000) ms = 86399999;
  Hour = static_cast<int>(ms / 3600000); ms %= 3600000;
  Min = static_cast<int>(ms / 60000); ms %= 60000;
  Sec = static_cast<int>(ms / 1000);
  MSec = static_cast<int>(ms % 1000);
}

TDateTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm lt{};
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &lt);
  return EncodeDate(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday) +
         EncodeTime(lt.tm_hour, lt.tm_min, lt.tm_sec > 59 ? 59 : lt.tm_sec, static_cast<int>(ts.tv_nsec / 1000000));
}

std::string DateTimeToStr(TDateTime D) {
  int y, mo, d, h, mi, s, ms;
  DecodeDate(D, y, mo, d);
  DecodeTime(D, h, mi, s, ms);
  return Format("%04d-%02d-%02d %02d:%02d:%02d", y, mo, d, h, mi, s);
}

} // namespace rtl
