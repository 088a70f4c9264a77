// Currency: exact sums, rounded products, ties-to-even, parsing and the three
// amount text forms.
#include "platform/currency.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <limits>
#include <optional>
#include <random>

#include "platform/error.h"

namespace qx {
namespace {

Currency C(std::string_view text) { return ParseCurrency(text); }

TEST(CurrencyRoundingTest, TwoDecimalsTiesToEven) {
  EXPECT_EQ(C("0.125").RoundTo2(), C("0.12"));
  EXPECT_EQ(C("0.135").RoundTo2(), C("0.14"));
  EXPECT_EQ(C("-0.125").RoundTo2(), C("-0.12"));
  EXPECT_EQ(C("-0.135").RoundTo2(), C("-0.14"));
  EXPECT_EQ(C("0.1251").RoundTo2(), C("0.13"));
  EXPECT_EQ(C("0.1249").RoundTo2(), C("0.12"));
  EXPECT_EQ(C("-0.0049").RoundTo2(), C("0"));
  EXPECT_EQ(C("2.5").RoundTo2(), C("2.5"));
}

TEST(CurrencyRoundingTest, ProductsAndQuotientsRoundToFourDecimalsTiesToEven) {
  const Extended half = C("0.5").ToExtended();
  EXPECT_EQ(Multiply(C("1.50"), 2), C("3"));
  EXPECT_EQ(Multiply(Currency::FromRaw(1), half), Currency::FromRaw(0));
  EXPECT_EQ(Multiply(Currency::FromRaw(3), half), Currency::FromRaw(2));
  EXPECT_EQ(Multiply(Currency::FromRaw(5), half), Currency::FromRaw(2));
  EXPECT_EQ(Multiply(Currency::FromRaw(-5), half), Currency::FromRaw(-2));
  EXPECT_EQ(Multiply(C("1.99"), half), C("0.995"));
  EXPECT_EQ(Divide(C("10"), 3), C("3.3333"));
  EXPECT_EQ(Divide(C("-10"), 3), C("-3.3333"));
  // VAT share of a 22 % gross amount: 3 * 22 / 122.
  EXPECT_EQ(Divide(Multiply(C("3"), 22), 122), C("0.541"));
  EXPECT_THROW(Divide(C("1"), 0), Error);
  EXPECT_EQ(Multiply(C("1"), C("0.6627").ToExtended()), C("0.6627"));
  EXPECT_EQ(Divide(C("-3.2"), C("1").ToExtended()), C("-3.2"));
  EXPECT_EQ(Currency::FromUnits(12), C("12"));
}

// Extended rounds every operation once, to 64 bits, ties to even, and keeps
// what falls below the last bit when a cancellation brings it up.
TEST(CurrencyRoundingTest, ExtendedRoundsEachOperationToSixtyFourBits) {
  const auto rounded = [](Extended value) { return value.RoundToInteger(); };
  constexpr int64_t kTwoTo62 = int64_t{1} << 62;
  const struct {
    Extended value;
    std::optional<int64_t> expected;
  } cases[] = {
      // Integers, ties to even.
      {Extended(1) / 2, 0},
      {Extended(3) / 2, 2},
      {Extended(5) / 2, 2},
      {Extended(-5) / 2, -2},
      {Extended(-7) / 2, -4},
      {Extended(-1) / 2, 0},
      {Extended(5000001) / 2000000, 3},
      // 2^62 + 1.25 and 2^62 + 1.75 need 65 bits: each is a tie, and goes to
      // the even neighbour (2^62 + 1 and 2^62 + 2).
      {(Extended(kTwoTo62 + 1) + Extended(1) / 4 - kTwoTo62) * 4, 4},
      {(Extended(kTwoTo62 + 1) + Extended(3) / 4 - kTwoTo62) * 4, 8},
      // 2^64 - (0.5 + 2^-64) lies just below a tie: 2^64 - 1, not 2^64.
      {Extended(kTwoTo62) * 4 - (Extended(1) / 2 + Extended(1) / kTwoTo62 / 4) -
           Extended(kTwoTo62) * 4,
       -1},
      {Extended(kTwoTo62) * 4 - Extended(1) / 2 - Extended(kTwoTo62) * 4, 0},
      // The limits of a 64-bit integer.
      {Extended(std::numeric_limits<int64_t>::min()), std::numeric_limits<int64_t>::min()},
      {Extended(std::numeric_limits<int64_t>::max()), std::numeric_limits<int64_t>::max()},
      {Extended(std::numeric_limits<int64_t>::max()) + Extended(1) / 2, std::nullopt},
      {Extended(std::numeric_limits<int64_t>::min()) - 1, std::nullopt},
      {Extended(kTwoTo62) * kTwoTo62, std::nullopt},
      {Extended(1) / kTwoTo62 / kTwoTo62, 0},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(rounded(cases[i].value), cases[i].expected) << i;
  }
  EXPECT_EQ(Extended(3) - 3, Extended());
  EXPECT_THROW(Extended(1) / Extended(), Error);
}

TEST(CurrencyRoundingTest, OutOfRangeValuesRaise) {
  const Currency max = Currency::FromRaw(std::numeric_limits<int64_t>::max());
  const Currency min = Currency::FromRaw(std::numeric_limits<int64_t>::min());
  EXPECT_THROW(max + Currency::FromRaw(1), Error);
  EXPECT_THROW(min - Currency::FromRaw(1), Error);
  EXPECT_THROW(-min, Error);
  EXPECT_THROW(Multiply(max, 2), Error);
  EXPECT_THROW(Currency::FromUnits(std::numeric_limits<int64_t>::max() / 1000), Error);
  EXPECT_THROW(Divide(min, -1), Error);
  Currency sum;
  sum += C("0.1");
  sum += C("0.2");
  EXPECT_EQ(sum, C("0.3"));  // exact, unlike binary floating point
}

TEST(CurrencyParseTest, DecimalTextsExactly) {
  EXPECT_EQ(C("12").Raw(), 120000);
  EXPECT_EQ(C("-3.5").Raw(), -35000);
  EXPECT_EQ(C("+7.25").Raw(), 72500);
  EXPECT_EQ(C("0.135").Raw(), 1350);
  EXPECT_EQ(C(".5").Raw(), 5000);
  EXPECT_EQ(C("5.").Raw(), 50000);
  EXPECT_EQ(C("-0").Raw(), 0);
  EXPECT_EQ(C("007.10").Raw(), 71000);
  // More than four decimals: ties to even on the decimal digits.
  EXPECT_EQ(C("0.66275").Raw(), 6628);
  EXPECT_EQ(C("0.66265").Raw(), 6626);
  EXPECT_EQ(C("0.662650001").Raw(), 6627);
  EXPECT_EQ(C("0.66264999").Raw(), 6626);
  EXPECT_EQ(C("-0.00005").Raw(), 0);
  EXPECT_EQ(C("-0.00015").Raw(), -2);
  EXPECT_EQ(C("922337203685477.5807").Raw(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(C("-922337203685477.5808").Raw(), std::numeric_limits<int64_t>::min());
}

TEST(CurrencyParseTest, RejectsWithConversionMessage) {
  for (const char* text : {"",
                           "-",
                           "+",
                           ".",
                           "1,5",
                           "1,000.00",
                           "1.000.00",
                           "1 000",
                           " 1",
                           "1 ",
                           "abc",
                           "1e3",
                           "0x10",
                           "--1",
                           "1-",
                           "inf",
                           "nan",
                           "922337203685477.5808",
                           "-922337203685477.5809",
                           "99999999999999999999999"}) {
    try {
      ParseCurrency(text);
      ADD_FAILURE() << "accepted '" << text << "'";
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()),
                "'" + std::string(text) + "' is not a valid floating point value");
    }
  }
}

TEST(CurrencyFormatTest, FiscalForm) {
  EXPECT_EQ(FormatFiscal(C("20")), "20");
  EXPECT_EQ(FormatFiscal(C("11.25")), "11.25");
  EXPECT_EQ(FormatFiscal(C("0.5")), "0.5");
  EXPECT_EQ(FormatFiscal(C("0.6627")), "0.6627");
  EXPECT_EQ(FormatFiscal(C("-3.2")), "-3.2");
  EXPECT_EQ(FormatFiscal(C("0")), "0");
  EXPECT_EQ(FormatFiscal(C("-0.0001")), "-0.0001");
  EXPECT_EQ(FormatFiscal(C("1234567.05")), "1234567.05");
  // At most 15 significant digits, ties to even.
  EXPECT_EQ(FormatFiscal(C("99999999999.9999")), "99999999999.9999");
  EXPECT_EQ(FormatFiscal(C("123456789012.3456")), "123456789012.346");
  EXPECT_EQ(FormatFiscal(C("-123456789012.3455")), "-123456789012.346");
  EXPECT_EQ(FormatFiscal(C("123456789012.3445")), "123456789012.344");
  EXPECT_EQ(FormatFiscal(C("999999999999.9999")), "1000000000000");
  EXPECT_EQ(FormatFiscal(Currency::FromRaw(std::numeric_limits<int64_t>::min())),
            "-922337203685478");
  EXPECT_EQ(FormatLocale(C("123456789012.3456"), '.'), "123456789012.3456");
}

TEST(CurrencyFormatTest, CountersForm) {
  EXPECT_EQ(FormatTwoDecimals(C("12.5")), "12.50");
  EXPECT_EQ(FormatTwoDecimals(C("-0.5")), "-0.50");
  EXPECT_EQ(FormatTwoDecimals(C("0")), "0.00");
  EXPECT_EQ(FormatTwoDecimals(C("-0.004")), "0.00");
  EXPECT_EQ(FormatTwoDecimals(C("1234.5")), "1234.50");
  EXPECT_EQ(FormatTwoDecimals(C("-3")), "-3.00");
  EXPECT_EQ(FormatTwoDecimals(C("0.125")), "0.12");
  EXPECT_EQ(FormatTwoDecimals(C("0.135")), "0.14");
}

TEST(CurrencyFormatTest, HostLocaleForm) {
  EXPECT_EQ(FormatLocale(C("12.5"), ','), "12,5");
  EXPECT_EQ(FormatLocale(C("12.5"), '.'), "12.5");
  EXPECT_EQ(FormatLocale(C("3.00"), ','), "3");
  EXPECT_EQ(FormatLocale(C("120.50"), ','), "120,5");
  EXPECT_EQ(FormatLocale(C("-1.27"), ','), "-1,27");
  EXPECT_EQ(DecimalSeparatorOfLocale("it_IT.UTF-8"), ',');
  EXPECT_EQ(DecimalSeparatorOfLocale("C"), '.');
  EXPECT_EQ(DecimalSeparatorOfLocale("POSIX"), '.');
  EXPECT_EQ(DecimalSeparatorOfLocale("xx_NOWHERE.UTF-8"), '.');
  const char sep = LocaleDecimalSeparator();
  EXPECT_TRUE(sep == '.' || sep == ',');
  EXPECT_EQ(FormatLocale(C("12.5")), FormatLocale(C("12.5"), sep));
}

// The process locale is resolved once, so each case runs in a fresh process.
void ExpectProcessSeparator(const char* lcAll, const char* lcNumeric, const char* lang,
                            char expected) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (const auto& [name, value] :
             {std::pair{"LC_ALL", lcAll}, {"LC_NUMERIC", lcNumeric}, {"LANG", lang}}) {
          if (value) {
            setenv(name, value, 1);
          } else {
            unsetenv(name);
          }
        }
        const bool ok = LocaleDecimalSeparator() == expected &&
                        FormatLocale(C("12.5")) == std::string("12") + expected + "5";
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "")
      << (lcAll ? lcAll : "-") << " " << (lcNumeric ? lcNumeric : "-") << " "
      << (lang ? lang : "-");
}

TEST(CurrencyLocaleTest, ProcessLocaleFollowsLcAllThenLcNumericThenLang) {
  ExpectProcessSeparator(nullptr, nullptr, nullptr, '.');
  ExpectProcessSeparator(nullptr, nullptr, "it_IT.UTF-8", ',');
  ExpectProcessSeparator(nullptr, "C", "it_IT.UTF-8", '.');
  ExpectProcessSeparator(nullptr, "it_IT.UTF-8", "C", ',');
  ExpectProcessSeparator("C", "it_IT.UTF-8", "it_IT.UTF-8", '.');
  ExpectProcessSeparator("it_IT.UTF-8", "C", "POSIX", ',');
}

TEST(CurrencyFuzzTest, RandomTextNeverCrashesAndAcceptedTextRoundTrips) {
  std::mt19937 random(7);
  const char alphabet[] = "0123456789.-+, e\x01\xff";
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 24, ' ');
    for (char& c : text)
      c = round % 2 ? static_cast<char>(random() % 256) : alphabet[random() % 17];
    try {
      const Currency value = ParseCurrency(text);
      EXPECT_EQ(ParseCurrency(FormatLocale(value, '.')), value) << text;
    } catch (const Error&) {
    }
  }
}

}  // namespace
}  // namespace qx
