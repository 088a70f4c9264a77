// The user's default locale where the library shows something to a person:
// the decimal separator of amounts (declared with the currency forms in
// platform/currency.h), the short date form and the case of names. One implementation per system.
#pragma once

#include <string>

namespace qx {

// The date in the user's default locale's short date form ("10/12/2026",
// "10.12.26", ...); the C locale's form when the user's cannot be had.
std::string LocaleShortDate(int year, int month, int day);

// The text lower-cased unit by unit under the user's default locale's
// character classes; surrogates and units whose lower case lies outside the
// basic plane stay as they are.
std::u16string LocaleLowerCase(std::u16string text);

}  // namespace qx
