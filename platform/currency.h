// Currency: a signed 64-bit count of ten-thousandths of the currency unit.
// Sums are exact; products and quotients are evaluated in Extended, binary
// floating point with a 64-bit mantissa done in integer arithmetic, and
// rounded back ties-to-even. Overflow raises qx::Error.
#pragma once

#include <compare>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qx {

// A binary floating-point number with a 64-bit mantissa, computed in
// software. Each sum, difference, product and quotient is the exact result
// rounded once to 64 significant bits, to nearest with ties to even: the
// figures an x87 unit at extended precision gives, on every processor and
// whatever floating-point state the host has set (none is read or changed).
// Integers convert exactly; no floating-point type converts at all, so no
// figure can pass through the processor's own arithmetic on its way in. The
// exponent is not bounded: quantities of money never come near the range
// where an x87 unit would overflow or lose bits to denormals.
class Extended {
 public:
  constexpr Extended() = default;  // zero
  template <std::signed_integral T>
  constexpr Extended(T value) {  // NOLINT: an integer is exactly an Extended
    if (value == 0) return;
    negative_ = value < 0;
    mantissa_ = negative_ ? static_cast<uint64_t>(-(static_cast<int64_t>(value) + 1)) + 1
                          : static_cast<uint64_t>(value);
    while ((mantissa_ >> 63) == 0) mantissa_ <<= 1, --exponent_;
  }

  friend Extended operator+(Extended a, Extended b);
  friend Extended operator-(Extended a, Extended b) { return a + -b; }
  friend Extended operator*(Extended a, Extended b);
  // Raises "Division by zero" when |b| is zero.
  friend Extended operator/(Extended a, Extended b);
  Extended operator-() const {
    Extended negated = *this;
    if (mantissa_ != 0) negated.negative_ = !negative_;
    return negated;
  }

  // Nearest integer, ties to even; none when it lies outside int64_t.
  std::optional<int64_t> RoundToInteger() const;

  friend bool operator==(Extended a, Extended b) = default;

 private:
  // Rounded before: the mantissa is zero or has its top bit set.
  static Extended Make(bool negative, uint64_t mantissa, int exponent) {
    Extended value;
    if (mantissa == 0) return value;
    value.negative_ = negative;
    value.mantissa_ = mantissa;
    value.exponent_ = exponent;
    return value;
  }

  // Zero is the all-zero value; otherwise the mantissa's top bit is set and
  // the value is mantissa × 2^exponent.
  bool negative_ = false;
  uint64_t mantissa_ = 0;
  int exponent_ = 0;
};

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

  constexpr int64_t Raw() const { return raw_; }
  // The value in currency units, the count divided by 10000 in Extended.
  Extended ToExtended() const { return Extended(raw_) / kScale; }

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

// Product and quotient evaluated in Extended, rounded to four decimals
// ties-to-even; a result outside Currency raises "Currency overflow".
Currency Multiply(Currency a, Extended factor);
// Raises "Division by zero" when |divisor| is zero.
Currency Divide(Currency a, Extended divisor);

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
