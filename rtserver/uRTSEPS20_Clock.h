// Two single values of the RT server's fiscal printer side, read with direct
// commands: its clock (4201) and its current Z-report number (2050).
#pragma once

#include <cstdint>

#include "platform/datetime.h"
#include "rtserver/uRTSEPS20.h"

namespace qx {

// The server's date and time, to the minute.
class kEPSRTServer_DateTime : public kEPSRTServer_Api {
 public:
  // The reply packs day, month, two-digit year, hour and minute, two digits
  // each, from the first character on; the year is 2000 + the digits.
  static constexpr int kCentury = 2000;

  explicit kEPSRTServer_DateTime(kEPSRTServer& aServer);

  // Reads the clock. False (value unchanged) when the exchange fails; a reply
  // without responseData, too short, with non-digits in a field or with values
  // that form no date and time raises and leaves the value unchanged.
  bool Get() override;

  TDateTime DateTime() const { return fDateTime; }
  void SetDateTime(TDateTime aValue) { fDateTime = aValue; }

 private:
  TDateTime fDateTime = 0;
};

// The server's current Z-report number.
class kEPSRTServer_ZrepNumber : public kEPSRTServer_Api {
 public:
  // The number is characters 16 to 24 of the reply.
  static constexpr size_t kNumberFirst = 16, kNumberLength = 9;

  explicit kEPSRTServer_ZrepNumber(kEPSRTServer& aServer);

  // Reads the number. False (value unchanged) when the exchange fails; a reply
  // without responseData or whose number slice is short or not all digits raises.
  bool Get() override;

  int32_t Number() const { return fNumber; }
  void SetNumber(int32_t aValue) { fNumber = aValue; }

 private:
  int32_t fNumber = 0;
};

}  // namespace qx
