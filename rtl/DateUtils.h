// DateUtils: calendar timestamps in the Windows runtime's form.
//
// A TDateTime is a double: whole days since 1899-12-30 plus the fraction of
// the day. Encoding a date or time that does not exist raises EConvertError
// with the runtime's own texts, which callers (and tests) rely on.
#pragma once

#include <cstdint>
#include <string>

namespace rtl {

using TDateTime = double;

TDateTime EncodeDate(int Year, int Month, int Day);                   // "Invalid argument to date encode"
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);           // "Invalid argument to time encode"
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Result);
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Result);
void DecodeDate(TDateTime D, int& Year, int& Month, int& Day);
void DecodeTime(TDateTime D, int& Hour, int& Min, int& Sec, int& MSec);
bool IsLeapYear(int Year);
int DaysInMonth(int Year, int Month);

TDateTime Now();
// The locale's short date and long time, as the log of processed items uses.
std::string DateTimeToStr(TDateTime D);

} // namespace rtl
