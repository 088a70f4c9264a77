// Named settings with case-insensitive names under the user's locale.
#include "base/uQX_Base_Setup.h"

#include "platform/locale.h"
#include "platform/strings.h"

namespace qx {

tQX_Setup::tQX_Setup() = default;

tQX_Setup::~tQX_Setup() = default;

std::u16string tQX_Setup::Lower(std::string_view text) const {
  return LocaleLowerCase(Utf8ToUtf16(text));
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
