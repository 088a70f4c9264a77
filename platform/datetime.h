// Date and time: TDateTime counts days since 1899-12-30 00:00 as a double, the
// fraction being the time of day. Local time and its UTC offset come from the C
// library and honour TZ.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

using TDateTime = double;
using TDate = double;

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Raises "Invalid argument to date encode" for a date or time that does not
// exist (years 1 to 9999). Before 1899-12-30 the time of day is still the
// fraction's magnitude (-1.25 is 1899-12-29 06:00).
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeDateTime(const DateTimeParts& parts);
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
// Rounds to the nearest millisecond.
DateTimeParts DecodeDateTime(TDateTime value);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t year, int month, int day);
void CivilFromDays(int64_t days, int& year, int& month, int& day);

// The current local date and time, with milliseconds.
TDateTime Now();
// Milliseconds since the Unix epoch (UTC) as a local TDateTime.
TDateTime LocalFromUnixMillis(int64_t unixMillis);

// The local zone's offset from UTC in minutes (east positive) at the given
// local date and time.
int LocalOffsetMinutes(TDateTime localTime);

// Formats with a pattern: yyyy, yy, mm (month), dd, hh, nn (minute), ss, zzz
// (milliseconds), letters in either case; any other character is copied.
// "mm" right after an hh token (separators between allowed) is the minute, so
// the log stamp "yyyy-mm-dd hh:mm:ss:zzz" works as written, like "yyyymmddhhnnsszzz".
std::string FormatDateTime(std::string_view pattern, TDateTime value);

}  // namespace qx
