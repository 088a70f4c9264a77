// The user's default locale through the C library: the environment's locale
// (LC_ALL, else the category's own variable, else LANG) as newlocale resolves it.
#include "platform/locale.h"

#include <langinfo.h>
#include <locale.h>
#include <wctype.h>

#include <ctime>

#include "platform/currency.h"

namespace qx {
namespace {

char RadixOf(locale_t locale) {
  if (locale == static_cast<locale_t>(0)) return '.';
  const char* radix = nl_langinfo_l(RADIXCHAR, locale);
  const char separator =
      (radix != nullptr && radix[0] != '\0' && radix[1] == '\0') ? radix[0] : '.';
  freelocale(locale);
  return separator;
}

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

}  // namespace

char LocaleDecimalSeparator() {
  // newlocale with "" resolves LC_ALL, then LC_NUMERIC, then LANG, like setlocale.
  static const char separator = RadixOf(newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0)));
  return separator;
}

char DecimalSeparatorOfLocale(const char* localeName) {
  if (localeName == nullptr) return '.';
  return RadixOf(newlocale(LC_NUMERIC_MASK, localeName, static_cast<locale_t>(0)));
}

std::string LocaleShortDate(int year, int month, int day) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  locale_t locale = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) {
    locale = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  }
  char buffer[128] = {};
  if (locale != static_cast<locale_t>(0)) {
    strftime_l(buffer, sizeof buffer, nl_langinfo_l(D_FMT, locale), &tm, locale);
    freelocale(locale);
  }
  return buffer;
}

std::u16string LocaleLowerCase(std::u16string units) {
  // "" resolves LC_ALL, then LC_CTYPE, then LANG; an unknown locale falls back
  // to C. Read once and kept for the life of the process.
  static const locale_t locale = [] {
    locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    return user != static_cast<locale_t>(0)
               ? user
               : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  }();
  for (char16_t& unit : units) {
    if (IsSurrogate(unit)) continue;
    const wint_t lower =
        locale != static_cast<locale_t>(0) ? towlower_l(unit, locale) : towlower(unit);
    if (lower <= 0xFFFF && !IsSurrogate(static_cast<char16_t>(lower))) {
      unit = static_cast<char16_t>(lower);
    }
  }
  return units;
}

}  // namespace qx
