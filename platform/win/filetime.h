// The Windows file time (100-nanosecond ticks since 1601-01-01 UTC) and its
// conversion to the Unix clock the rest of the library counts in. For the
// Windows implementations in this folder only.
#pragma once

#include <windows.h>

#include <cstdint>

namespace qx::win {

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
inline constexpr int64_t kUnixEpochTicks = 116444736000000000LL;

inline int64_t TicksOf(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

inline FILETIME FileTimeOf(int64_t ticks) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return time;
}

inline int64_t UnixMillisOf(const FILETIME& time) {
  return (TicksOf(time) - kUnixEpochTicks) / 10000;
}

}  // namespace qx::win
