// Text helpers shared by every subsystem: number conversions with the fixed
// conversion messages, the "0000" number pattern, UTF-8/UTF-16 conversion,
// case-insensitive comparison and XML escaping. Strings are UTF-8 inside the library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

// Decimal integer; an optional leading '-' or '+', no spaces. Raises
// "'<text>' is not a valid integer value" for anything else or on overflow.
int32_t StrToInt(std::string_view text);
int64_t StrToInt64(std::string_view text);
bool TryStrToInt(std::string_view text, int32_t& value);

// Decimal floating point with "." separator. Raises
// "'<text>' is not a valid floating point value".
long double StrToFloat(std::string_view text);

// The number pattern "0000": at least four digits, zero padded (12 -> 0012, 12345 -> 12345).
std::string FormatNumber0000(int64_t value);

std::string Trim(std::string_view text);  // strips characters <= ' ' at both ends
std::string ToLowerAscii(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);  // ASCII letters
bool StartsWith(std::string_view text, std::string_view prefix);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);
bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix);

// Unpaired surrogates and invalid UTF-8 become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);
// Number of UTF-16 code units the UTF-8 text needs.
size_t Utf16Length(std::string_view text);
// The longest prefix of |text| that fits in |units| UTF-16 code units; never
// splits a character.
std::string TruncateUtf16(std::string_view text, size_t units);

// Escapes & < > " ' for insertion into XML text or attribute values.
std::string XmlEscape(std::string_view text);

// Appends the lines of |text| to |lines|: a line ends at CR LF, CR or LF; a
// last line without an ending counts, an empty text gives none.
void AppendLines(std::string_view text, std::vector<std::string>& lines);

}  // namespace qx
