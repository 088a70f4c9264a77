// The check of a host's UTF-16 text that every system's BSTR shares: a text
// holding half of a surrogate pair is refused as sent, never repaired into a
// replacement character and signed.
#include <string>
#include <string_view>

#include "host/QXRS_VURUV90_20_Strings.h"

namespace qx {

std::string UnpairedSurrogateProblemIn(std::u16string_view aText) {
  size_t line = 1;
  size_t column = 1;
  for (size_t i = 0; i < aText.size(); ++i) {
    const char16_t unit = aText[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (high && i + 1 < aText.size() && aText[i + 1] >= 0xDC00 && aText[i + 1] <= 0xDFFF) {
      ++i;  // a pair: one character
    } else if (high || low) {
      static const char kHex[] = "0123456789ABCDEF";
      std::string code = "U+";
      for (int shift = 12; shift >= 0; shift -= 4) code += kHex[(unit >> shift) & 0xF];
      return "XML parse error: not well-formed (unpaired surrogate " + code + ") at line " +
             std::to_string(line) + ", column " + std::to_string(column);
    }
    if (unit == u'\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::string();
}

}  // namespace qx
