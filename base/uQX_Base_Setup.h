// Named settings of the application: an ordered list of name/value pairs,
// looked up case-insensitively, each keeping the name it was first given.
#pragma once

#include <any>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qx {

// A setting's value: empty, or a value of any copyable type.
using tQX_Value = std::any;

class tQX_SetupEntry {
 public:
  tQX_SetupEntry(std::string_view aName, tQX_Value aValue)
      : fName(aName), fValue(std::move(aValue)) {}

  const std::string& Name() const { return fName; }
  void SetName(std::string_view value) { fName = value; }
  const tQX_Value& Value() const { return fValue; }
  void SetValue(tQX_Value value) { fValue = std::move(value); }

 private:
  std::string fName;
  tQX_Value fValue;
};

class tQX_Setup {
 public:
  tQX_Setup();
  ~tQX_Setup();
  tQX_Setup(const tQX_Setup&) = delete;
  tQX_Setup& operator=(const tQX_Setup&) = delete;

  // Creates the setting with an empty value, or empties an existing one in place.
  void Define(std::string_view aName);
  // A copy of the value, or the empty value for a name never set.
  tQX_Value GetValue(std::string_view aName) const;
  // Replaces the value of the setting of that name (its name stays as first
  // given), or appends a new setting.
  void SetValue(std::string_view aName, tQX_Value aValue);

  // The settings in the order their names were first set.
  const std::vector<std::unique_ptr<tQX_SetupEntry>>& List() const { return fList; }

 private:
  // The first entry whose name equals |name| once both are lower-cased under
  // the user's locale; null when none does.
  tQX_SetupEntry* FindEntry(std::string_view name) const;
  std::u16string Lower(std::string_view text) const;

  std::vector<std::unique_ptr<tQX_SetupEntry>> fList;
};

}  // namespace qx
