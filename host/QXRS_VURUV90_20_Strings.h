// The OLE strings (BSTR) of the host boundary: conversion between them and the
// library's UTF-8 strings. Where the system has OLE Automation its string
// functions make them; elsewhere the library's own do, in the same layout.
#pragma once

#include <string>
#include <string_view>

#include "include/QXRS_VURUV90_20.h"

namespace qx {

// The text of a BSTR as UTF-8; its length is taken from the prefix. Null is
// the empty string; unpaired surrogates become U+FFFD.
std::string FromBstr(BSTR aString);

// Empty when the BSTR holds no unpaired surrogate; otherwise the refusal of a
// text that is not well-formed, with the line and column (in characters) of
// the first one, so that no text is changed before it is checked and signed.
std::string UnpairedSurrogateProblem(BSTR aString);
// The same check over UTF-16 text, shared by every system's BSTR.
std::string UnpairedSurrogateProblemIn(std::u16string_view aText);

// A new BSTR holding the UTF-8 text, owned by the receiver. Raises qx::Error
// when memory runs out or the text is too long for a BSTR.
BSTR ToBstr(const std::string& aText);

}  // namespace qx
