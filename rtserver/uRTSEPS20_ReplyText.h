// Reading the texts of RT server replies: values packed at fixed positions
// (day tokens, direct-command replies), the counts written beside the entries
// they count, and the edits amount and rate texts need before conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/currency.h"
#include "platform/xml.h"

namespace qx {

// Up to |count| characters (UTF-16 code units, the server's own unit) of
// |text| from the 1-based position |first|. Unlike a byte copy it never cuts
// a letter such as "è" in half, so header lines stay valid text.
std::string CopyChars(std::string_view text, size_t first, size_t count);

// The slice of exactly |count| decimal digits at the 1-based position |first|
// as an integer. A slice that is shorter than |count| (the text ends early) or
// holds anything but digits raises "'<slice>' is not a valid integer value".
int32_t SliceToInt(std::string_view text, size_t first, size_t count);

// The same slice read as hundredths of the currency unit (000012345 is
// 123.45). A bad slice raises "'<slice>' is not a valid floating point value".
Currency SliceToHundredths(std::string_view text, size_t first, size_t count);

// |text| with every |from| replaced by |to|.
std::string ReplaceChar(std::string_view text, char from, char to);
// |text| without any |c|.
std::string RemoveChar(std::string_view text, char c);

// An amount as the server writes it in reports: "," or "." as the decimal
// separator. Raises "'<text>' is not a valid floating point value".
Currency ReportAmountToCurrency(std::string_view text);

// A count the server writes as a text child of the element that also holds
// the counted entries: surrounding blanks and control characters, and line
// feeds and tabs inside, are dropped. Raises the integer conversion error.
int32_t CountFromText(std::string_view text);

// True for an element node (not text, comment or processing instruction).
bool IsElementNode(XmlElement node);

}  // namespace qx
