// Currency arithmetic, parsing and the amount text forms.
#include "platform/currency.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/error.h"
#include "platform/fpenv.h"

namespace qx {
namespace {

[[noreturn]] void RaiseNotFloat(std::string_view text) {
  throw Error("'" + std::string(text) + "' is not a valid floating point value");
}

// The fiscal XML form holds at most 15 significant digits.
constexpr int kFiscalDigits = 15;

[[noreturn]] void RaiseOverflow() { throw Error("Currency overflow"); }

std::string LongDoubleText(long double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.19Lg", value);
  return buffer;
}

// Rounds a count of ten-thousandths held in long double to the nearest
// integer, ties to even, checking that it fits in 64 bits. Called under a
// FloatEnvironmentGuard, so the rounding mode is round-to-nearest.
int64_t RoundScaled(long double scaled, long double original) {
  if (!std::isfinite(scaled)) RaiseNotFloat(LongDoubleText(original));
  const long double rounded = std::nearbyintl(scaled);
  // 2^63 is exact in long double; the range is [-2^63, 2^63).
  constexpr long double kLimit = 9223372036854775808.0L;
  if (rounded < -kLimit || rounded >= kLimit) RaiseNotFloat(LongDoubleText(original));
  return static_cast<int64_t>(rounded);
}

uint64_t Magnitude(int64_t raw) {
  return raw < 0 ? static_cast<uint64_t>(-(raw + 1)) + 1 : static_cast<uint64_t>(raw);
}

// |magnitude| rounded, ties to even, to at most |maxDigits| significant digits.
uint64_t RoundToSignificant(uint64_t magnitude, int maxDigits) {
  uint64_t unit = 1;
  for (uint64_t rest = magnitude; rest >= 10; rest /= 10) {
    if (maxDigits > 1) {
      --maxDigits;
    } else {
      unit *= 10;
    }
  }
  if (unit == 1) return magnitude;
  uint64_t kept = magnitude / unit;
  const uint64_t dropped = magnitude % unit;
  if (dropped > unit / 2 || (dropped == unit / 2 && kept % 2 != 0)) ++kept;
  return kept * unit;
}

// Shortest plain decimal of |raw| ten-thousandths with |separator|, at most
// |maxDigits| significant digits.
std::string FormatShortest(int64_t raw, char separator, int maxDigits = 19) {
  const uint64_t magnitude = RoundToSignificant(Magnitude(raw), maxDigits);
  std::string text = raw < 0 && magnitude != 0 ? "-" : "";
  text += std::to_string(magnitude / Currency::kScale);
  uint64_t fraction = magnitude % Currency::kScale;
  if (fraction != 0) {
    int digits = 4;
    while (fraction % 10 == 0) fraction /= 10, --digits;
    std::string frac = std::to_string(fraction);
    text += separator;
    text.append(digits - frac.size(), '0');
    text += frac;
  }
  return text;
}

}  // namespace

Currency Currency::FromUnits(int64_t units) {
  int64_t raw;
  if (__builtin_mul_overflow(units, kScale, &raw)) RaiseOverflow();
  return FromRaw(raw);
}

Currency Currency::FromLongDouble(long double value) {
  const FloatEnvironmentGuard guard;
  return FromRaw(RoundScaled(value * kScale, value));
}

Currency Currency::RoundTo2() const {
  int64_t hundredths = raw_ / 100;
  const int64_t remainder = raw_ % 100;  // carries the sign of raw_
  const int64_t absRemainder = remainder < 0 ? -remainder : remainder;
  if (absRemainder > 50 || (absRemainder == 50 && hundredths % 2 != 0)) {
    hundredths += remainder < 0 ? -1 : 1;
  }
  return FromRaw(hundredths * 100);
}

Currency Currency::operator+(Currency other) const {
  int64_t raw;
  if (__builtin_add_overflow(raw_, other.raw_, &raw)) RaiseOverflow();
  return FromRaw(raw);
}

Currency Currency::operator-(Currency other) const {
  int64_t raw;
  if (__builtin_sub_overflow(raw_, other.raw_, &raw)) RaiseOverflow();
  return FromRaw(raw);
}

Currency Currency::operator-() const {
  if (raw_ == std::numeric_limits<int64_t>::min()) RaiseOverflow();
  return FromRaw(-raw_);
}

Currency Multiply(Currency a, long double factor) {
  const FloatEnvironmentGuard guard;
  const long double scaled = static_cast<long double>(a.Raw()) * factor;
  return Currency::FromRaw(RoundScaled(scaled, scaled / Currency::kScale));
}

Currency Divide(Currency a, long double divisor) {
  if (divisor == 0) throw Error("Division by zero");
  const FloatEnvironmentGuard guard;
  const long double scaled = static_cast<long double>(a.Raw()) / divisor;
  return Currency::FromRaw(RoundScaled(scaled, scaled / Currency::kScale));
}

Currency ParseCurrency(std::string_view text) {
  // Exact decimal arithmetic on the digits: no binary rounding on the way.
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const auto isDigit = [&](size_t k) {
    return k < text.size() && text[k] >= '0' && text[k] <= '9';
  };
  constexpr uint64_t kMaxMagnitude = 9223372036854775808ull;  // 2^63
  uint64_t magnitude = 0;                                     // in ten-thousandths
  size_t digits = 0;
  for (; isDigit(i); ++i, ++digits) {
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (magnitude > kMaxMagnitude / 10) RaiseNotFloat(text);
    magnitude = magnitude * 10 + digit;
    if (magnitude > kMaxMagnitude) RaiseNotFloat(text);
  }
  if (magnitude > kMaxMagnitude / Currency::kScale) RaiseNotFloat(text);
  magnitude *= Currency::kScale;
  if (i < text.size() && text[i] == '.') {
    ++i;
    uint64_t fraction = 0;
    int kept = 0;
    int firstDropped = -1;      // the fifth decimal
    bool nonZeroAfter = false;  // any non-zero decimal after the fifth
    for (; isDigit(i); ++i, ++digits) {
      const int digit = text[i] - '0';
      if (kept < 4) {
        fraction = fraction * 10 + static_cast<uint64_t>(digit);
        ++kept;
      } else if (firstDropped < 0) {
        firstDropped = digit;
      } else if (digit != 0) {
        nonZeroAfter = true;
      }
    }
    for (; kept < 4; ++kept) fraction *= 10;
    magnitude += fraction;
    const bool roundUp = firstDropped > 5 || (firstDropped == 5 && nonZeroAfter) ||
                         (firstDropped == 5 && !nonZeroAfter && magnitude % 2 != 0);
    if (roundUp) ++magnitude;
  }
  if (digits == 0 || i != text.size()) RaiseNotFloat(text);
  if (magnitude > (negative ? kMaxMagnitude : kMaxMagnitude - 1)) RaiseNotFloat(text);
  if (negative) {
    return Currency::FromRaw(magnitude == 0 ? 0 : -static_cast<int64_t>(magnitude - 1) - 1);
  }
  return Currency::FromRaw(static_cast<int64_t>(magnitude));
}

std::string FormatFiscal(Currency value) { return FormatShortest(value.Raw(), '.', kFiscalDigits); }

std::string FormatTwoDecimals(Currency value) {
  const int64_t raw = value.RoundTo2().Raw();
  const uint64_t cents = Magnitude(raw) / 100;
  std::string text = raw < 0 ? "-" : "";
  text += std::to_string(cents / 100);
  text += '.';
  const uint64_t fraction = cents % 100;
  text += static_cast<char>('0' + fraction / 10);
  text += static_cast<char>('0' + fraction % 10);
  return text;
}

std::string FormatLocale(Currency value, char decimalSeparator) {
  return FormatShortest(value.Raw(), decimalSeparator);
}

std::string FormatLocale(Currency value) { return FormatLocale(value, LocaleDecimalSeparator()); }

}  // namespace qx
