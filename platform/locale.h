// The user's default locale where the library shows something to a person:
// the decimal separator of amounts (declared with the currency forms in
// platform/currency.h) and the short date form. One implementation per system.
#pragma once

#include <string>

namespace qx {

// The date in the user's default locale's short date form ("10/12/2026",
// "10.12.26", ...); the C locale's form when the user's cannot be had.
std::string LocaleShortDate(int year, int month, int day);

}  // namespace qx
