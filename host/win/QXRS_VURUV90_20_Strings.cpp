// The OLE strings through oleaut32: every string handed to the host is made
// by the system's SysAllocStringLen, so the host frees it with its own
// SysFreeString, whatever language or runtime it is written in.
#include "host/QXRS_VURUV90_20_Strings.h"

#include <limits>

#include "platform/error.h"
#include "platform/strings.h"

namespace qx {

std::string FromBstr(BSTR aString) {
  if (aString == nullptr) return std::string();
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(aString), SysStringLen(aString)));
}

std::string UnpairedSurrogateProblem(BSTR aString) {
  if (aString == nullptr) return std::string();
  return UnpairedSurrogateProblemIn(
      std::u16string_view(reinterpret_cast<const char16_t*>(aString), SysStringLen(aString)));
}

BSTR ToBstr(const std::string& aText) {
  const std::u16string wide = Utf8ToUtf16(aText);
  if (wide.size() > std::numeric_limits<UINT>::max() / sizeof(char16_t) - 4) {
    throw Error("Out of memory");
  }
  BSTR result = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                                  static_cast<UINT>(wide.size()));
  if (result == nullptr) throw Error("Out of memory");
  return result;
}

}  // namespace qx
