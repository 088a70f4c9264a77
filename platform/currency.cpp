// Currency arithmetic, parsing and the amount text forms.
#include "platform/currency.h"

#include <cstdio>
#include <limits>
#include <utility>

#include "platform/error.h"

namespace qx {
namespace {

[[noreturn]] void RaiseNotFloat(std::string_view text) {
  throw Error("'" + std::string(text) + "' is not a valid floating point value");
}

// The fiscal XML form holds at most 15 significant digits.
constexpr int kFiscalDigits = 15;

[[noreturn]] void RaiseOverflow() { throw Error("Currency overflow"); }

// An unsigned 128-bit integer for the exact intermediates of Extended, in
// plain 64-bit halves: 32-bit targets have no wider native integer.
struct Wide {
  uint64_t high = 0;
  uint64_t low = 0;

  bool operator==(const Wide&) const = default;
  bool operator<(Wide other) const {
    return high != other.high ? high < other.high : low < other.low;
  }
  Wide operator+(Wide other) const {
    const Wide sum{high + other.high, low + other.low};
    return sum.low < low ? Wide{sum.high + 1, sum.low} : sum;
  }
  Wide operator-(Wide other) const {
    return Wide{high - other.high - (low < other.low ? 1 : 0), low - other.low};
  }
  // 0 <= |n| < 128.
  Wide operator<<(int n) const {
    if (n == 0) return *this;
    if (n >= 64) return Wide{low << (n - 64), 0};
    return Wide{(high << n) | (low >> (64 - n)), low << n};
  }
  Wide operator>>(int n) const {
    if (n == 0) return *this;
    if (n >= 64) return Wide{0, high >> (n - 64)};
    return Wide{high >> n, (low >> n) | (high << (64 - n))};
  }
  int BitLength() const {
    if (high != 0) return 128 - __builtin_clzll(high);
    return low == 0 ? 0 : 64 - __builtin_clzll(low);
  }
};

Wide Product(uint64_t a, uint64_t b) {
  const uint64_t aLow = a & 0xffffffffu, aHigh = a >> 32;
  const uint64_t bLow = b & 0xffffffffu, bHigh = b >> 32;
  const uint64_t low = aLow * bLow, middle1 = aHigh * bLow, middle2 = aLow * bHigh;
  const uint64_t high = aHigh * bHigh;
  return Wide{high, low} + (Wide{0, middle1} << 32) + (Wide{0, middle2} << 32);
}

struct Rounded {
  uint64_t mantissa = 0;  // zero, or with its top bit set
  int exponent = 0;
};

// |magnitude| × 2^|exponent|, plus a part below its last bit that is more
// than zero and less than one when |sticky|, rounded to 64 bits, to nearest
// with ties to even.
Rounded RoundTo64(Wide magnitude, int exponent, bool sticky) {
  if (magnitude == Wide{}) return {};
  const int length = magnitude.BitLength();
  if (length <= 64) {
    // Exact. A caller that drops a part below the last bit passes at least 66
    // bits, so that part never reaches this branch.
    const int shift = 64 - length;
    return {magnitude.low << shift, exponent - shift};
  }
  const int shift = length - 64;
  const Wide kept = magnitude >> shift;
  const Wide rest = magnitude - (kept << shift);
  const Wide half = Wide{0, 1} << (shift - 1);
  Rounded result{kept.low, exponent + shift};
  if (half < rest || (rest == half && (sticky || (kept.low & 1) != 0))) {
    if (++result.mantissa == 0) {  // carried into a 65th bit
      result.mantissa = uint64_t{1} << 63;
      ++result.exponent;
    }
  }
  return result;
}

// A count of ten-thousandths in Extended rounded to a Currency, ties to even.
Currency FromScaledCount(Extended scaled) {
  const std::optional<int64_t> raw = scaled.RoundToInteger();
  if (!raw) RaiseOverflow();
  return Currency::FromRaw(*raw);
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

// ---------------------------------------------------------------------------
// Extended

Extended operator+(Extended a, Extended b) {
  if (a.mantissa_ == 0) return b;
  if (b.mantissa_ == 0) return a;
  if (a.exponent_ < b.exponent_ || (a.exponent_ == b.exponent_ && a.mantissa_ < b.mantissa_)) {
    std::swap(a, b);
  }
  // |a| >= |b|. Both mantissas are placed 62 bits up, which leaves room for
  // the carry of a sum and keeps at least 124 bits after a cancellation with
  // a dropped part; what falls below the last bit of b's shifted copy is only
  // known to be there (sticky).
  const Wide big = Wide{0, a.mantissa_} << 62;
  const int gap = a.exponent_ - b.exponent_;
  Wide small;
  bool sticky = true;
  if (gap < 126) {
    const Wide shifted = Wide{0, b.mantissa_} << 62;
    small = shifted >> gap;
    sticky = !((small << gap) == shifted);
  }
  // A dropped part of b is subtracted as one unit more and a part above zero
  // added back; an exact cancellation gives zero.
  const Wide magnitude = a.negative_ == b.negative_
                             ? big + small
                             : big - small - Wide{0, static_cast<uint64_t>(sticky ? 1 : 0)};
  const Rounded sum = RoundTo64(magnitude, a.exponent_ - 62, sticky);
  return Extended::Make(a.negative_, sum.mantissa, sum.exponent);
}

Extended operator*(Extended a, Extended b) {
  if (a.mantissa_ == 0 || b.mantissa_ == 0) return Extended();
  const Rounded product =
      RoundTo64(Product(a.mantissa_, b.mantissa_), a.exponent_ + b.exponent_, false);
  return Extended::Make(a.negative_ != b.negative_, product.mantissa, product.exponent);
}

Extended operator/(Extended a, Extended b) {
  if (b.mantissa_ == 0) throw Error("Division by zero");
  if (a.mantissa_ == 0) return Extended();
  // Both mantissas have their top bit set, so a / b lies between 1/2 and 2:
  // 67 quotient bits by long division hold at least 66 significant ones, and
  // whether a remainder is left decides a tie.
  uint64_t remainder = a.mantissa_;
  Wide quotient;
  for (int bit = 66; bit >= 0; --bit) {
    if (bit != 66) {
      const bool carry = (remainder >> 63) != 0;
      remainder <<= 1;
      if (!carry && remainder < b.mantissa_) continue;
    } else if (remainder < b.mantissa_) {
      continue;
    }
    remainder -= b.mantissa_;  // modulo 2^64: the true difference is below b
    quotient = quotient + (Wide{0, 1} << bit);
  }
  const Rounded result = RoundTo64(quotient, a.exponent_ - b.exponent_ - 66, remainder != 0);
  return Extended::Make(a.negative_ != b.negative_, result.mantissa, result.exponent);
}

std::optional<int64_t> Extended::RoundToInteger() const {
  if (mantissa_ == 0) return 0;
  if (exponent_ > 0) return std::nullopt;  // 2^64 or more
  uint64_t magnitude = 0;                  // below one half when exponent_ < -64
  if (exponent_ == 0) {
    magnitude = mantissa_;
  } else if (exponent_ >= -64) {
    const int shift = -exponent_;
    const Wide whole = Wide{0, mantissa_} >> shift;
    const Wide rest = Wide{0, mantissa_} - (whole << shift);
    const Wide half = Wide{0, 1} << (shift - 1);
    magnitude = whole.low;
    if (half < rest || (rest == half && (magnitude & 1) != 0)) ++magnitude;
  }
  constexpr uint64_t kTwoTo63 = uint64_t{1} << 63;
  if (magnitude > (negative_ ? kTwoTo63 : kTwoTo63 - 1)) return std::nullopt;
  if (!negative_) return static_cast<int64_t>(magnitude);
  return magnitude == 0 ? 0 : -static_cast<int64_t>(magnitude - 1) - 1;
}

// ---------------------------------------------------------------------------
// Currency

Currency Currency::FromUnits(int64_t units) {
  int64_t raw;
  if (__builtin_mul_overflow(units, kScale, &raw)) RaiseOverflow();
  return FromRaw(raw);
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

Currency Multiply(Currency a, Extended factor) { return FromScaledCount(a.Raw() * factor); }

Currency Divide(Currency a, Extended divisor) { return FromScaledCount(a.Raw() / divisor); }

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
