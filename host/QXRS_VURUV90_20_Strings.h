// The OLE strings (BSTR) of the host boundary: allocation in the layout hosts
// expect, and conversion between them and the library's UTF-8 strings.
#pragma once

#include <string>

#include "include/QXRS_VURUV90_20.h"

namespace qx {

// The text of a BSTR as UTF-8; its length is taken from the prefix. Null is
// the empty string; unpaired surrogates become U+FFFD.
std::string FromBstr(const char16_t* aString);

// A new BSTR holding the UTF-8 text, owned by the receiver. Raises qx::Error
// when memory runs out or the text is too long for a BSTR.
BSTR ToBstr(const std::string& aText);

}  // namespace qx
