// The system clock and the local time zone, as the date and time service
// needs them. One implementation per system; the TDateTime arithmetic built
// on top of them is the same everywhere.
#pragma once

#include <cstdint>

#include "platform/datetime.h"

namespace qx {

// Milliseconds since the Unix epoch (UTC), now.
int64_t UnixMillisNow();

// The local calendar date and time of day of a moment given in whole seconds
// since the Unix epoch. Only the date and hour..second fields are filled.
DateTimeParts LocalPartsOfUnixSeconds(int64_t unixSeconds);

// The local zone's offset from UTC in minutes (east positive) in force at a
// local date and time; 0 when it cannot be told.
int LocalOffsetMinutesAt(const DateTimeParts& local);

}  // namespace qx
