// Named settings with case-insensitive names under the user's locale.
#include "base/uQX_Base_Setup.h"

#include <wctype.h>

#include "platform/strings.h"

namespace qx {

namespace {

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

}  // namespace

tQX_Setup::tQX_Setup() {
  // "" resolves LC_ALL, then LC_CTYPE, then LANG; an unknown locale falls back to C.
  fLocale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (fLocale == static_cast<locale_t>(0)) {
    fLocale = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  }
}

tQX_Setup::~tQX_Setup() {
  if (fLocale != static_cast<locale_t>(0)) freelocale(fLocale);
}

std::u16string tQX_Setup::Lower(std::string_view text) const {
  std::u16string units = Utf8ToUtf16(text);
  for (char16_t& unit : units) {
    if (IsSurrogate(unit)) continue;
    const wint_t lower =
        fLocale != static_cast<locale_t>(0) ? towlower_l(unit, fLocale) : towlower(unit);
    if (lower <= 0xFFFF && !IsSurrogate(static_cast<char16_t>(lower))) {
      unit = static_cast<char16_t>(lower);
    }
  }
  return units;
}

tQX_SetupEntry* tQX_Setup::FindEntry(std::string_view name) const {
  const std::u16string wanted = Lower(name);
  for (const auto& entry : fList) {
    if (Lower(entry->Name()) == wanted) return entry.get();
  }
  return nullptr;
}

void tQX_Setup::Define(std::string_view aName) { SetValue(aName, tQX_Value()); }

tQX_Value tQX_Setup::GetValue(std::string_view aName) const {
  const tQX_SetupEntry* entry = FindEntry(aName);
  return entry != nullptr ? entry->Value() : tQX_Value();
}

void tQX_Setup::SetValue(std::string_view aName, tQX_Value aValue) {
  if (tQX_SetupEntry* entry = FindEntry(aName)) {
    entry->SetValue(std::move(aValue));
  } else {
    fList.push_back(std::make_unique<tQX_SetupEntry>(aName, std::move(aValue)));
  }
}

}  // namespace qx
