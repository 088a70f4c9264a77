// The clock and the local time zone through the Windows time functions; the
// zone is the system's, with its daylight-saving rules for the date asked.
#include "platform/clock.h"

#include <windows.h>

#include "platform/win/filetime.h"

namespace qx {
using win::FileTimeOf;
using win::kUnixEpochTicks;
using win::TicksOf;

namespace {
using SystemTimeFunction = VOID(WINAPI*)(LPFILETIME);

// The precise clock exists from Windows 8 on; Windows 7 has only the one that
// advances with the timer tick, which is looked up in its place so the library
// still loads there.
SystemTimeFunction SystemTimeReader() {
  static const SystemTimeFunction reader = [] {
    const auto precise = reinterpret_cast<SystemTimeFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
    return precise != nullptr ? precise : &GetSystemTimeAsFileTime;
  }();
  return reader;
}
}  // namespace

int64_t UnixMillisNow() {
  FILETIME now;
  SystemTimeReader()(&now);
  return (TicksOf(now) - kUnixEpochTicks) / 10000;
}

DateTimeParts LocalPartsOfUnixSeconds(int64_t unixSeconds) {
  const FILETIME utc = FileTimeOf(unixSeconds * 10000000 + kUnixEpochTicks);
  SYSTEMTIME utcParts{}, local{};
  DateTimeParts parts;
  if (!FileTimeToSystemTime(&utc, &utcParts) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utcParts, &local)) {
    return parts;
  }
  parts.year = local.wYear;
  parts.month = local.wMonth;
  parts.day = local.wDay;
  parts.hour = local.wHour;
  parts.minute = local.wMinute;
  parts.second = local.wSecond;
  return parts;
}

int LocalOffsetMinutesAt(const DateTimeParts& p) {
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(p.year);
  local.wMonth = static_cast<WORD>(p.month);
  local.wDay = static_cast<WORD>(p.day);
  local.wHour = static_cast<WORD>(p.hour);
  local.wMinute = static_cast<WORD>(p.minute);
  local.wSecond = static_cast<WORD>(p.second);
  SYSTEMTIME utc{};
  FILETIME localTime, utcTime;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) ||
      !SystemTimeToFileTime(&local, &localTime) || !SystemTimeToFileTime(&utc, &utcTime)) {
    return 0;
  }
  return static_cast<int>((TicksOf(localTime) - TicksOf(utcTime)) / (60LL * 10000000));
}

}  // namespace qx
