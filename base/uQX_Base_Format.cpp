// Checked message formatting: a small parser for the placeholder syntax that
// converts each value itself, so no value is ever read as another kind.
#include "base/uQX_Base_Format.h"

#include <cstdio>
#include <cstdlib>

#include "platform/currency.h"
#include "platform/error.h"
#include "platform/strings.h"

namespace qx {

namespace {

// Widths and precisions beyond this are refused rather than allocated.
constexpr int kMaxFieldSize = 4096;

template <typename... Args>
std::string PrintC(const char* format, Args... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  if (size <= 0) return std::string();
  std::string text(static_cast<size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), format, args...);
  text.pop_back();
  return text;
}

std::string ZeroPadded(std::string digits, int minimum) {
  if (minimum > 0 && digits.size() < static_cast<size_t>(minimum)) {
    digits.insert(0, static_cast<size_t>(minimum) - digits.size(), '0');
  }
  return digits;
}

// Scientific form with at least three exponent digits: 1.50000000000000E+000.
std::string Scientific(double value, int precision) {
  std::string text = PrintC("%.*E", precision - 1, value);
  const size_t e = text.find('E');
  if (e == std::string::npos || e + 2 > text.size()) return text;  // inf, nan
  std::string exponent = text.substr(e + 2);
  if (exponent.size() < 3) exponent.insert(0, 3 - exponent.size(), '0');
  return text.substr(0, e + 2) + exponent;
}

// A fixed form with thousands separators in its integer part and the given
// decimal separator.
std::string Grouped(const std::string& fixed, char thousands, char decimal) {
  const size_t begin = (!fixed.empty() && fixed[0] == '-') ? 1 : 0;
  size_t end = fixed.find('.');
  if (end == std::string::npos) end = fixed.size();
  std::string result = fixed.substr(0, begin);
  for (size_t i = begin; i < end; ++i) {
    result += fixed[i];
    const size_t remaining = end - i - 1;
    if (remaining > 0 && remaining % 3 == 0) result += thousands;
  }
  if (end < fixed.size()) result += decimal + fixed.substr(end + 1);
  return result;
}

std::string WithLocaleSeparator(std::string text) {
  const char separator = LocaleDecimalSeparator();
  if (separator != '.') {
    for (char& c : text) {
      if (c == '.') c = separator;
    }
  }
  return text;
}

class Formatter {
 public:
  Formatter(std::string_view pattern, std::span<const tQX_FormatValue> values)
      : pattern_(pattern), values_(values) {}

  std::string Run() {
    while (pos_ < pattern_.size()) {
      const char c = pattern_[pos_++];
      if (c != '%') {
        out_ += c;
        continue;
      }
      if (At() == '%') {
        out_ += '%';
        ++pos_;
        continue;
      }
      Placeholder();
    }
    return std::move(out_);
  }

 private:
  [[noreturn]] void Invalid() const {
    throw Error("Format '" + std::string(pattern_) + "' invalid or incompatible with argument");
  }

  char At() const { return pos_ < pattern_.size() ? pattern_[pos_] : '\0'; }

  const tQX_FormatValue& NextValue() {
    if (next_ >= values_.size()) {
      throw Error("No argument for format '" + std::string(pattern_) + "'");
    }
    return values_[next_++];
  }

  int64_t NextInteger() {
    const auto* value = std::get_if<int64_t>(&NextValue());
    if (value == nullptr) Invalid();
    return *value;
  }

  // A decimal number or "*"; false when there is neither.
  bool Number(int& result) {
    if (At() == '*') {
      ++pos_;
      const int64_t value = NextInteger();
      if (value < 0 || value > kMaxFieldSize) Invalid();
      result = static_cast<int>(value);
      return true;
    }
    if (At() < '0' || At() > '9') return false;
    int64_t value = 0;
    while (At() >= '0' && At() <= '9') {
      value = value * 10 + (pattern_[pos_++] - '0');
      if (value > kMaxFieldSize) Invalid();
    }
    result = static_cast<int>(value);
    return true;
  }

  void Placeholder() {
    int first = -1;
    int width = -1;
    int precision = -1;
    bool left = false;
    bool haveWidth = Number(first);
    if (haveWidth && At() == ':') {
      ++pos_;
      next_ = static_cast<size_t>(first);
      haveWidth = false;
    }
    if (haveWidth) {
      width = first;
    } else {
      if (At() == '-') {
        left = true;
        ++pos_;
      }
      Number(width);
    }
    if (At() == '.') {
      ++pos_;
      if (!Number(precision)) Invalid();
    }
    const char type = At();
    if (type == '\0') Invalid();
    ++pos_;
    Pad(Convert(type, precision), width, left);
  }

  std::string Convert(char type, int precision) {
    switch (type) {
      case 'd':
      case 'D': {
        const int64_t value = NextInteger();
        const uint64_t magnitude =
            value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        std::string text = value < 0 ? "-" : "";
        return text.append(ZeroPadded(std::to_string(magnitude), precision));
      }
      case 'u':
      case 'U':
        return ZeroPadded(std::to_string(static_cast<uint64_t>(NextInteger())), precision);
      case 'x':
      case 'X':
        return ZeroPadded(
            PrintC("%llX", static_cast<unsigned long long>(static_cast<uint64_t>(NextInteger()))),
            precision);
      case 'e':
      case 'E':
        return WithLocaleSeparator(Scientific(NextFloat(), precision < 1 ? 15 : precision));
      case 'f':
      case 'F':
        return WithLocaleSeparator(PrintC("%.*f", precision < 0 ? 2 : precision, NextFloat()));
      case 'g':
      case 'G':
        return WithLocaleSeparator(PrintC("%.*G", precision < 1 ? 15 : precision, NextFloat()));
      case 'n':
      case 'N': {
        const std::string fixed = PrintC("%.*f", precision < 0 ? 2 : precision, NextFloat());
        const char decimal = LocaleDecimalSeparator();
        return Grouped(fixed, decimal == ',' ? '.' : ',', decimal);
      }
      case 's':
      case 'S': {
        const auto* value = std::get_if<std::string>(&NextValue());
        if (value == nullptr) Invalid();
        return precision < 0 ? *value : TruncateUtf16(*value, static_cast<size_t>(precision));
      }
      default:
        Invalid();
    }
  }

  double NextFloat() {
    const auto* value = std::get_if<double>(&NextValue());
    if (value == nullptr) Invalid();
    return *value;
  }

  void Pad(const std::string& text, int width, bool left) {
    const size_t length = Utf16Length(text);
    const size_t fill =
        width > 0 && length < static_cast<size_t>(width) ? static_cast<size_t>(width) - length : 0;
    if (!left) out_.append(fill, ' ');
    out_ += text;
    if (left) out_.append(fill, ' ');
  }

  std::string_view pattern_;
  std::span<const tQX_FormatValue> values_;
  size_t pos_ = 0;
  size_t next_ = 0;
  std::string out_;
};

}  // namespace

std::string FormatText(std::string_view pattern, std::span<const tQX_FormatValue> values) {
  return Formatter(pattern, values).Run();
}

}  // namespace qx
