// Reading the texts of server replies; see uRTSEPS20_ReplyText.h.
#include "rtserver/uRTSEPS20_ReplyText.h"

#include <algorithm>

#include "platform/error.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20.h"

namespace qx {

namespace {

// The digits of an exact-width numeric slice; raises the conversion error
// named by |kind| otherwise.
std::string DigitSlice(std::string_view text, size_t first, size_t count, const char* kind) {
  std::string slice = kEPSRTServer_Api::CopyText(text, first, count);
  bool digits = slice.size() == count && std::all_of(slice.begin(), slice.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
  if (!digits) throw Error("'" + slice + "' is not a valid " + kind + " value");
  return slice;
}

bool IsAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string CopyChars(std::string_view text, size_t first, size_t count) {
  if (IsAscii(text)) return kEPSRTServer_Api::CopyText(text, first, count);
  std::u16string wide = Utf8ToUtf16(text);
  if (first < 1) first = 1;
  if (first > wide.size()) return std::string();
  return Utf16ToUtf8(std::u16string_view(wide).substr(first - 1, count));
}

int32_t SliceToInt(std::string_view text, size_t first, size_t count) {
  return StrToInt(DigitSlice(text, first, count, "integer"));
}

Currency SliceToHundredths(std::string_view text, size_t first, size_t count) {
  int64_t hundredths = StrToInt64(DigitSlice(text, first, count, "floating point"));
  return Currency::FromRaw(hundredths * (Currency::kScale / 100));
}

std::string ReplaceChar(std::string_view text, char from, char to) {
  std::string result(text);
  std::replace(result.begin(), result.end(), from, to);
  return result;
}

std::string RemoveChar(std::string_view text, char c) {
  std::string result;
  result.reserve(text.size());
  for (char ch : text)
    if (ch != c) result.push_back(ch);
  return result;
}

Currency ReportAmountToCurrency(std::string_view text) {
  return ParseCurrency(ReplaceChar(text, ',', '.'));
}

int32_t CountFromText(std::string_view text) {
  return StrToInt(RemoveChar(RemoveChar(Trim(text), '\n'), '\t'));
}

bool IsElementNode(XmlElement node) { return node.Native().type() == pugi::node_element; }

}  // namespace qx
