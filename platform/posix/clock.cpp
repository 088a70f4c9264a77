// The clock and the local time zone through the C library, honouring TZ.
#include "platform/clock.h"

#include <time.h>

namespace qx {

int64_t UnixMillisNow() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

DateTimeParts LocalPartsOfUnixSeconds(int64_t unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm local {};
  localtime_r(&t, &local);
  DateTimeParts parts;
  parts.year = local.tm_year + 1900;
  parts.month = local.tm_mon + 1;
  parts.day = local.tm_mday;
  parts.hour = local.tm_hour;
  parts.minute = local.tm_min;
  parts.second = local.tm_sec;
  return parts;
}

int LocalOffsetMinutesAt(const DateTimeParts& p) {
  struct tm local {};
  local.tm_year = p.year - 1900;
  local.tm_mon = p.month - 1;
  local.tm_mday = p.day;
  local.tm_hour = p.hour;
  local.tm_min = p.minute;
  local.tm_sec = p.second;
  local.tm_isdst = -1;
  if (mktime(&local) == static_cast<time_t>(-1)) return 0;
  return static_cast<int>(local.tm_gmtoff / 60);
}

}  // namespace qx
