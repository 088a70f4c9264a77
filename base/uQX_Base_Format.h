// Checked printf-style formatting of message texts. Every placeholder is
// matched against the value it consumes; a placeholder without a value, or a
// value of the wrong kind, raises qx::Error instead of reading past the values.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace qx {

// One value for a placeholder: an integer, a floating point number or a text.
using tQX_FormatValue = std::variant<int64_t, double, std::string>;

// Placeholders: "%" [index ":"] ["-"] [width] ["." precision] type, where
// index, width and precision are decimal numbers or "*" (taken from the next
// integer value), and type is one of
//   d  decimal integer (precision: minimum digits)   u  unsigned decimal
//   x  upper-case hexadecimal (precision: minimum digits)
//   e  scientific, f  fixed (precision 2 unless given), g  shortest general,
//   n  fixed with thousands grouping                  (floating point values)
//   s  text (precision: maximum characters)
// "%%" is a literal percent sign. An index selects the value (from 0) and the
// following placeholders go on after it. The decimal separator follows the
// user's locale. Raises "No argument for format '<pattern>'" when values run
// out and "Format '<pattern>' invalid or incompatible with argument" for a
// malformed placeholder or a value of another kind.
std::string FormatText(std::string_view pattern, std::span<const tQX_FormatValue> values);

}  // namespace qx
