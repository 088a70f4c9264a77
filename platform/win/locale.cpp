// The user's default locale through the Windows national language support:
// the user's own settings (Control Panel, Region) rather than the environment.
#include "platform/locale.h"

#include <windows.h>

#include "platform/currency.h"
#include "platform/win/wide.h"

namespace qx {
namespace {

// The one-character decimal separator of a locale, '.' when it has none of
// one character or the locale is unknown.
char DecimalSeparatorOf(const wchar_t* locale) {
  wchar_t separator[8] = {};
  const int length = GetLocaleInfoEx(locale, LOCALE_SDECIMAL, separator, 8);
  if (length != 2 || separator[0] == 0 || separator[0] > 0x7F) return '.';
  return static_cast<char>(separator[0]);
}

}  // namespace

char LocaleDecimalSeparator() {
  static const char separator = DecimalSeparatorOf(LOCALE_NAME_USER_DEFAULT);
  return separator;
}

// A POSIX-style name ("it_IT.UTF-8", "de_DE@euro") is taken as the Windows
// locale name of its language and territory ("it-IT").
char DecimalSeparatorOfLocale(const char* localeName) {
  if (localeName == nullptr) return '.';
  std::string name(localeName);
  name = name.substr(0, name.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return '.';
  for (char& c : name) {
    if (c == '_') c = '-';
  }
  const std::wstring wide = win::Wide(name);
  if (!IsValidLocaleName(wide.c_str())) return '.';
  return DecimalSeparatorOf(wide.c_str());
}

std::string LocaleShortDate(int year, int month, int day) {
  SYSTEMTIME date{};
  date.wYear = static_cast<WORD>(year);
  date.wMonth = static_cast<WORD>(month);
  date.wDay = static_cast<WORD>(day);
  wchar_t buffer[128] = {};
  int length = GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &date, nullptr, buffer,
                               128, nullptr);
  if (length <= 0) {
    length = GetDateFormatEx(LOCALE_NAME_INVARIANT, DATE_SHORTDATE, &date, nullptr, buffer, 128,
                             nullptr);
  }
  return length > 0 ? win::Narrow(std::wstring_view(buffer, static_cast<size_t>(length - 1)))
                    : std::string();
}

std::u16string LocaleLowerCase(std::u16string units) {
  if (units.empty()) return units;
  // Linguistic casing off: unit for unit, as the other systems do it.
  std::u16string lower(units.size(), u'\0');
  const int length = LCMapStringEx(
      LOCALE_NAME_USER_DEFAULT, LCMAP_LOWERCASE, reinterpret_cast<LPCWSTR>(units.data()),
      static_cast<int>(units.size()), reinterpret_cast<LPWSTR>(lower.data()),
      static_cast<int>(lower.size()), nullptr, nullptr, 0);
  return length == static_cast<int>(units.size()) ? lower : units;
}

}  // namespace qx
