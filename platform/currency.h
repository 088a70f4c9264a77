// Currency: a signed 64-bit count of ten-thousandths of the currency unit.
// Sums are exact; products and quotients go through long double (64-bit
// mantissa) and are rounded back ties-to-even. Overflow raises qx::Error.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

class Currency {
 public:
  static constexpr int64_t kScale = 10000;

  constexpr Currency() = default;
  static constexpr Currency FromRaw(int64_t raw) {
    Currency c;
    c.raw_ = raw;
    return c;
  }
  // Whole units (e.g. 12 -> 12.0000). Raises on overflow.
  static Currency FromUnits(int64_t units);
  // Rounds |value| (in currency units) to four decimals, ties to even.
  // Raises "'<value>' is not a valid floating point value" when it does not fit.
  static Currency FromLongDouble(long double value);

  constexpr int64_t Raw() const { return raw_; }
  long double ToLongDouble() const { return static_cast<long double>(raw_) / kScale; }

  // Rounded to two decimals, ties to even (0.125 -> 0.12, 0.135 -> 0.14).
  Currency RoundTo2() const;

  // Exact; raise on overflow.
  Currency operator+(Currency other) const;
  Currency operator-(Currency other) const;
  Currency operator-() const;
  Currency& operator+=(Currency other) { return *this = *this + other; }
  Currency& operator-=(Currency other) { return *this = *this - other; }

  constexpr bool operator==(const Currency&) const = default;
  constexpr auto operator<=>(const Currency&) const = default;

 private:
  int64_t raw_ = 0;
};

// Product and quotient in long double, rounded to four decimals ties-to-even.
Currency Multiply(Currency a, long double factor);
// Raises when |divisor| is zero.
Currency Divide(Currency a, long double divisor);

// Parses a "." decimal text ("12", "-3.5", "0.66275"). More than four decimals
// are rounded to four, ties to even. Empty text, grouping, garbage and values
// that do not fit raise "'<text>' is not a valid floating point value".
Currency ParseCurrency(std::string_view text);

// Fiscal XML form: shortest plain decimal, "." separator, no trailing zeros
// (20, 11.25, 0.5, 0.6627, -3.2, 0), rounded ties-to-even to at most 15
// significant digits (123456789012.3456 -> 123456789012.346).
std::string FormatFiscal(Currency value);
// Counters-file form: exactly two decimals, rounded ties-to-even (12.50, -0.50, 0.00).
std::string FormatTwoDecimals(Currency value);
// Host form: like the fiscal form but with the given decimal separator.
std::string FormatLocale(Currency value, char decimalSeparator);
// Host form with the decimal separator of the process locale (see LocaleDecimalSeparator).
std::string FormatLocale(Currency value);

// Decimal separator of the user's default locale (LC_ALL, else LC_NUMERIC,
// else LANG), resolved once on first use. Unset, C or POSIX gives '.'.
char LocaleDecimalSeparator();
// Decimal separator of a named locale; '.' when the locale is not installed.
char DecimalSeparatorOfLocale(const char* localeName);

}  // namespace qx
