// Text helpers: number conversions with the fixed conversion messages, UTF-8
// and UTF-16 conversion, ASCII case handling and XML escaping.
#include "platform/strings.h"

#include <charconv>
#include <cstdint>
#include <limits>

#include "platform/error.h"

namespace qx {
namespace {

[[noreturn]] void RaiseNotInteger(std::string_view text) {
  throw Error("'" + std::string(text) + "' is not a valid integer value");
}

[[noreturn]] void RaiseNotFloat(std::string_view text) {
  throw Error("'" + std::string(text) + "' is not a valid floating point value");
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Parses [+-]digits into |value| within [min, max]; false on anything else.
bool ParseInteger(std::string_view text, int64_t min, int64_t max, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  // Magnitude accumulated as unsigned so that the most negative value fits.
  const uint64_t limit =
      negative ? static_cast<uint64_t>(-(min + 1)) + 1 : static_cast<uint64_t>(max);
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return false;
    const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  if (negative) {
    value = magnitude == 0 ? 0 : -static_cast<int64_t>(magnitude - 1) - 1;
  } else {
    value = static_cast<int64_t>(magnitude);
  }
  return true;
}

// Decodes one UTF-8 sequence at |i|; returns U+FFFD for an invalid one and
// advances past at least one byte.
char32_t DecodeUtf8(std::string_view text, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int extra;
  char32_t cp;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return 0xFFFD;
  }
  size_t k = i + 1;
  for (int n = 0; n < extra; ++n, ++k) {
    if (k >= text.size() || (byte(k) & 0xC0) != 0x80) {
      i = k;
      return 0xFFFD;
    }
    cp = (cp << 6) | (byte(k) & 0x3F);
  }
  i = k;
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t Utf16Units(char32_t cp) { return cp >= 0x10000 ? 2 : 1; }

char ToLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

int32_t StrToInt(std::string_view text) {
  int64_t value;
  if (!ParseInteger(text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                    value)) {
    RaiseNotInteger(text);
  }
  return static_cast<int32_t>(value);
}

int64_t StrToInt64(std::string_view text) {
  int64_t value;
  if (!ParseInteger(text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                    value)) {
    RaiseNotInteger(text);
  }
  return value;
}

bool TryStrToInt(std::string_view text, int32_t& value) {
  int64_t parsed;
  if (!ParseInteger(text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                    parsed)) {
    return false;
  }
  value = static_cast<int32_t>(parsed);
  return true;
}

long double StrToFloat(std::string_view text) {
  // Grammar checked here so that "inf", "nan", hexadecimal forms and blanks
  // are refused: [+-] digits [. digits] [(e|E) [+-] digits], one digit at least.
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const size_t start = i;
  size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) RaiseNotFloat(text);
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    size_t expDigits = 0;
    while (i < text.size() && IsDigit(text[i])) ++i, ++expDigits;
    if (expDigits == 0) RaiseNotFloat(text);
  }
  if (i != text.size()) RaiseNotFloat(text);
  long double value = 0;
  const auto result = std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) RaiseNotFloat(text);
  return negative ? -value : value;
}

std::string FormatNumber0000(int64_t value) {
  const bool negative = value < 0;
  const uint64_t magnitude =
      negative ? static_cast<uint64_t>(-(value + 1)) + 1 : static_cast<uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

std::string Trim(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return std::string(text.substr(begin, end - begin));
}

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ToLower(c);
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToLower(a[i]) != ToLower(b[i])) return false;
  }
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const char32_t cp = DecodeUtf8(text, i);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out += static_cast<char16_t>(0xD800 + (v >> 10));
      out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    char32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

size_t Utf16Length(std::string_view text) {
  size_t units = 0;
  size_t i = 0;
  while (i < text.size()) units += Utf16Units(DecodeUtf8(text, i));
  return units;
}

std::string TruncateUtf16(std::string_view text, size_t units) {
  size_t used = 0;
  size_t i = 0;
  while (i < text.size()) {
    size_t next = i;
    const size_t need = Utf16Units(DecodeUtf8(text, next));
    if (used + need > units) break;
    used += need;
    i = next;
  }
  return std::string(text.substr(0, i));
}

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void AppendLines(std::string_view text, std::vector<std::string>& lines) {
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
}

}  // namespace qx
