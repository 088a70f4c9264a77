// Text helpers: number conversions and their messages, the "0000" pattern,
// UTF-8/UTF-16 conversion and escaping.
#include "platform/strings.h"

#include <gtest/gtest.h>

#include <random>

#include "platform/error.h"

namespace qx {
namespace {

// Built by appending: GCC 12 warns falsely (-Wrestrict) about "'" + string.
std::string Quoted(std::string_view text, std::string_view rest) {
  std::string message = "'";
  message.append(text);
  message += '\'';
  message.append(rest);
  return message;
}

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(StrToIntTest, AcceptsSignedDecimalWithinRange) {
  EXPECT_EQ(StrToInt("12"), 12);
  EXPECT_EQ(StrToInt("-5"), -5);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("0012"), 12);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(StrToInt64("-9223372036854775808"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(StrToInt64("9223372036854775807"), std::numeric_limits<int64_t>::max());
  int32_t value = 99;
  EXPECT_TRUE(TryStrToInt("-20", value));
  EXPECT_EQ(value, -20);
  EXPECT_FALSE(TryStrToInt("x", value));
  EXPECT_EQ(value, -20);
}

TEST(StrToIntTest, RejectsWithConversionMessage) {
  for (const char* text : {"", "-", "+", " 1", "1 ", "1.0", "abc", "0x10", "1e3", "2147483648",
                           "-2147483649", "--1"}) {
    EXPECT_EQ(MessageOf([&] { StrToInt(text); }), Quoted(text, " is not a valid integer value"));
  }
  EXPECT_THROW(StrToInt64("9223372036854775808"), Error);
  EXPECT_THROW(StrToInt64("-9223372036854775809"), Error);
}

TEST(StrToFloatTest, PointDecimalsOnly) {
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat("1.5")), 1.5);
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat("-2")), -2.0);
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat("1e3")), 1000.0);
  EXPECT_DOUBLE_EQ(static_cast<double>(StrToFloat(".25")), 0.25);
  for (const char* text : {"", ".", "1,5", "inf", "nan", "0x1p3", " 1", "1e", "e5", "1.2.3"}) {
    EXPECT_EQ(MessageOf([&] { StrToFloat(text); }),
              Quoted(text, " is not a valid floating point value"));
  }
}

TEST(NumberPatternTest, AtLeastFourDigits) {
  EXPECT_EQ(FormatNumber0000(12), "0012");
  EXPECT_EQ(FormatNumber0000(0), "0000");
  EXPECT_EQ(FormatNumber0000(12345), "12345");
  EXPECT_EQ(FormatNumber0000(-12), "-0012");
}

TEST(TextHelpersTest, CaseAndTrim) {
  EXPECT_EQ(Trim(" \t x y \r\n"), "x y");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(ToLowerAscii("HTTPS://Host"), "https://host");
  EXPECT_TRUE(EqualsIgnoreCase("Body", "bODY"));
  EXPECT_FALSE(EqualsIgnoreCase("Body", "Bod"));
  EXPECT_TRUE(StartsWith("<createReceipt>", "<create"));
  EXPECT_TRUE(StartsWithIgnoreCase("HTTPS://x", "https://"));
  EXPECT_FALSE(StartsWithIgnoreCase("http", "https://"));
  EXPECT_TRUE(EndsWithIgnoreCase("A.SRTD", ".srtd"));
  EXPECT_FALSE(EndsWithIgnoreCase("srtd", ".srtd"));
  EXPECT_EQ(XmlEscape("a<b>&\"c'"), "a&lt;b&gt;&amp;&quot;c&apos;");
}

TEST(Utf16Test, ConvertsBothWaysAndReplacesBrokenSequences) {
  const std::string text = "caff\xC3\xA8 \xE2\x82\xAC \xF0\x9F\x98\x80";  // caffè € 😀
  const std::u16string wide = Utf8ToUtf16(text);
  EXPECT_EQ(wide, u"caff\u00E8 \u20AC \U0001F600");
  EXPECT_EQ(Utf16ToUtf8(wide), text);
  EXPECT_EQ(Utf16Length(text), wide.size());
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xDC00)}), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToUtf16("a\xFF"
                        "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16("\xC0\x80"), u"\uFFFD");      // overlong
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD");  // encoded surrogate
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), u"\uFFFD");      // cut short
}

TEST(Utf16Test, TruncateNeverSplitsACharacter) {
  const std::string text =
      "ab\xF0\x9F\x98\x80"
      "c";  // 5 UTF-16 units
  EXPECT_EQ(TruncateUtf16(text, 2), "ab");
  EXPECT_EQ(TruncateUtf16(text, 3), "ab");
  EXPECT_EQ(TruncateUtf16(text, 4), "ab\xF0\x9F\x98\x80");
  EXPECT_EQ(TruncateUtf16(text, 99), text);
  EXPECT_EQ(TruncateUtf16(text, 0), "");
}

TEST(StringsFuzzTest, RandomBytesNeverCrash) {
  std::mt19937 random(11);
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 16, ' ');
    for (char& c : text)
      c = round % 2 ? static_cast<char>(random() % 256) : "0123456789-+ .e"[random() % 15];
    int32_t value;
    if (TryStrToInt(text, value)) {
      EXPECT_EQ(std::to_string(value), std::to_string(StrToInt(text)));
    }
    try {
      StrToInt64(text);
    } catch (const Error&) {
    }
    try {
      StrToFloat(text);
    } catch (const Error&) {
    }
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(wide)), wide);
  }
}

}  // namespace
}  // namespace qx
