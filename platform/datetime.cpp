// Date and time: TDateTime encoding and decoding, local time and its offset,
// and pattern formatting.
#include "platform/datetime.h"

#include <cmath>
#include <cstdio>

#include "platform/clock.h"
#include "platform/error.h"

namespace qx {
namespace {

constexpr int64_t kMillisPerDay = 86400000;

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool IsValidDate(int year, int month, int day) {
  return year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
         day <= DaysInMonth(year, month);
}

bool IsValidTime(const DateTimeParts& p) {
  return p.hour >= 0 && p.hour < 24 && p.minute >= 0 && p.minute < 60 && p.second >= 0 &&
         p.second < 60 && p.millisecond >= 0 && p.millisecond < 1000;
}

// Days between 1970-01-01 and the TDateTime epoch 1899-12-30.
const int64_t kEpochOffsetDays = DaysFromCivil(1899, 12, 30);

[[noreturn]] void RaiseInvalidDate() { throw Error("Invalid argument to date encode"); }

// A day number plus a time of day, keeping the convention that the fraction
// is the time of day also for days before the epoch.
TDateTime Combine(TDateTime date, int64_t millisOfDay) {
  const double time = static_cast<double>(millisOfDay) / kMillisPerDay;
  return date < 0 ? date - time : date + time;
}

void AppendNumber(std::string& out, int value, int width) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*d", width, value);
  out += buffer;
}

bool TokenAt(std::string_view pattern, size_t i, std::string_view token) {
  if (pattern.size() - i < token.size()) return false;
  for (size_t k = 0; k < token.size(); ++k) {
    char c = pattern[i + k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != token[k]) return false;
  }
  return true;
}

}  // namespace

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (!IsValidDate(year, month, day)) return false;
  result = static_cast<double>(DaysFromCivil(year, month, day) - kEpochOffsetDays);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime result;
  if (!TryEncodeDate(year, month, day, result)) RaiseInvalidDate();
  return result;
}

TDateTime EncodeDateTime(const DateTimeParts& parts) {
  const TDateTime date = EncodeDate(parts.year, parts.month, parts.day);
  if (!IsValidTime(parts)) RaiseInvalidDate();
  const int64_t millis =
      ((parts.hour * 60 + parts.minute) * 60 + parts.second) * 1000LL + parts.millisecond;
  return Combine(date, millis);
}

DateTimeParts DecodeDateTime(TDateTime value) {
  DateTimeParts parts;
  if (!std::isfinite(value) || std::fabs(value) > 3e6) return parts;
  int64_t days = static_cast<int64_t>(std::trunc(value));
  int64_t millis = std::llround(std::fabs(value - std::trunc(value)) * kMillisPerDay);
  if (millis >= kMillisPerDay) {
    // Rounded up to midnight: the next calendar day.
    millis -= kMillisPerDay;
    days += 1;
  }
  CivilFromDays(days + kEpochOffsetDays, parts.year, parts.month, parts.day);
  parts.millisecond = static_cast<int>(millis % 1000);
  parts.second = static_cast<int>(millis / 1000 % 60);
  parts.minute = static_cast<int>(millis / 60000 % 60);
  parts.hour = static_cast<int>(millis / 3600000);
  return parts;
}

TDateTime LocalFromUnixMillis(int64_t unixMillis) {
  int64_t seconds = unixMillis / 1000;
  int64_t millis = unixMillis % 1000;
  if (millis < 0) millis += 1000, seconds -= 1;
  const DateTimeParts local = LocalPartsOfUnixSeconds(seconds);
  const TDateTime date =
      static_cast<double>(DaysFromCivil(local.year, local.month, local.day) - kEpochOffsetDays);
  const int64_t ofDay = ((local.hour * 60LL + local.minute) * 60 + local.second) * 1000 + millis;
  return Combine(date, ofDay);
}

TDateTime Now() { return LocalFromUnixMillis(UnixMillisNow()); }

int LocalOffsetMinutes(TDateTime localTime) {
  return LocalOffsetMinutesAt(DecodeDateTime(localTime));
}

std::string FormatDateTime(std::string_view pattern, TDateTime value) {
  const DateTimeParts p = DecodeDateTime(value);
  std::string out;
  bool afterHour = false;  // "mm" right after an hour token means minutes
  size_t i = 0;
  while (i < pattern.size()) {
    if (TokenAt(pattern, i, "yyyy")) {
      AppendNumber(out, p.year, 4), i += 4, afterHour = false;
    } else if (TokenAt(pattern, i, "yy")) {
      AppendNumber(out, p.year % 100, 2), i += 2, afterHour = false;
    } else if (TokenAt(pattern, i, "mm")) {
      AppendNumber(out, afterHour ? p.minute : p.month, 2), i += 2, afterHour = false;
    } else if (TokenAt(pattern, i, "dd")) {
      AppendNumber(out, p.day, 2), i += 2, afterHour = false;
    } else if (TokenAt(pattern, i, "hh")) {
      AppendNumber(out, p.hour, 2), i += 2, afterHour = true;
    } else if (TokenAt(pattern, i, "nn")) {
      AppendNumber(out, p.minute, 2), i += 2, afterHour = false;
    } else if (TokenAt(pattern, i, "ss")) {
      AppendNumber(out, p.second, 2), i += 2, afterHour = false;
    } else if (TokenAt(pattern, i, "zzz")) {
      AppendNumber(out, p.millisecond, 3), i += 3, afterHour = false;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

}  // namespace qx
