// Checked message formatting: the placeholder forms, and placeholders that do
// not fit their values raising instead of reading past them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/uQX_Base_Format.h"
#include "platform/error.h"

namespace qx {
namespace {

std::string Format(std::string_view pattern, const std::vector<tQX_FormatValue>& values = {}) {
  return FormatText(pattern, values);
}

std::string ErrorOf(std::string_view pattern, const std::vector<tQX_FormatValue>& values = {}) {
  try {
    Format(pattern, values);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

TEST(FormatText, ConvertsEachKindOfPlaceholder) {
  EXPECT_EQ(Format("plain 100%% sure"), "plain 100% sure");
  EXPECT_EQ(Format("Till %s has %d receipts", {"T01", int64_t{12}}), "Till T01 has 12 receipts");
  EXPECT_EQ(Format("%d|%5d|%-5d|%.4d|%.3d",
                   {int64_t{-7}, int64_t{42}, int64_t{42}, int64_t{42}, int64_t{-5}}),
            "-7|   42|42   |0042|-005");
  EXPECT_EQ(Format("%d", {INT64_MIN}), "-9223372036854775808");
  EXPECT_EQ(Format("%u %x %.4x", {int64_t{-1}, int64_t{255}, int64_t{10}}),
            "18446744073709551615 FF 000A");
  EXPECT_EQ(Format("%f %.0f %.3f", {1.5, 2.5, -0.0625}), "1.50 2 -0.062");
  EXPECT_EQ(Format("%g %g", {1.5, 100000.0}), "1.5 100000");
  EXPECT_EQ(Format("%e %.3e", {1.5, -12345.0}), "1.50000000000000E+000 -1.23E+004");
  EXPECT_EQ(Format("%n %.0n", {1234567.891, -1000.0}), "1,234,567.89 -1,000");
  EXPECT_EQ(Format("[%6s][%-6s][%.2s]", {"ab", "ab", "\u00e0\u00e8\u00ec"}),
            "[    ab][ab    ][\u00e0\u00e8]");
  EXPECT_EQ(Format("%*d|%-*s|%.*f", {int64_t{4}, int64_t{7}, int64_t{3}, "x", int64_t{1}, 0.25}),
            "   7|x  |0.2");
}

TEST(FormatText, IndexSelectsTheValueAndLaterPlaceholdersFollowIt) {
  EXPECT_EQ(Format("%1:s %0:s %s", {"a", "b", "c"}), "b a b");
  EXPECT_EQ(Format("%2:s %0:s", {"a", "b", "c"}), "c a");
}

TEST(FormatText, PlaceholdersThatDoNotFitTheValuesRaise) {
  const std::string invalid = "invalid or incompatible with argument";
  EXPECT_EQ(ErrorOf("%s"), "No argument for format '%s'");
  EXPECT_EQ(ErrorOf("%s %s", {"one"}), "No argument for format '%s %s'");
  EXPECT_EQ(ErrorOf("%3:s", {"one"}), "No argument for format '%3:s'");
  EXPECT_EQ(ErrorOf("%d", {"text"}), "Format '%d' " + invalid);
  EXPECT_EQ(ErrorOf("%s", {int64_t{1}}), "Format '%s' " + invalid);
  EXPECT_EQ(ErrorOf("%f", {int64_t{1}}), "Format '%f' " + invalid);
  EXPECT_EQ(ErrorOf("%d", {1.0}), "Format '%d' " + invalid);
  EXPECT_EQ(ErrorOf("%p", {int64_t{1}}), "Format '%p' " + invalid);
  EXPECT_EQ(ErrorOf("trailing %"), "Format 'trailing %' " + invalid);
  EXPECT_EQ(ErrorOf("%.s", {"x"}), "Format '%.s' " + invalid);
  EXPECT_EQ(ErrorOf("%*d", {"x", int64_t{1}}), "Format '%*d' " + invalid);
  EXPECT_EQ(ErrorOf("%*d", {int64_t{-3}, int64_t{1}}), "Format '%*d' " + invalid);
  // A width that would allocate without bound is refused.
  EXPECT_EQ(ErrorOf("%999999999d", {int64_t{1}}), "Format '%999999999d' " + invalid);
}

TEST(FormatText, ArbitraryPatternsNeverReadPastTheValues) {
  // Every pattern of up to three characters from the placeholder alphabet,
  // against one value of each kind: either a result or qx::Error.
  const std::string alphabet = "%sdfx*.:-1";
  const std::vector<tQX_FormatValue> values = {int64_t{3}, 2.5, std::string("t")};
  std::string pattern;
  for (char a : alphabet) {
    for (char b : alphabet) {
      for (char c : alphabet) {
        pattern = {a, b, c};
        try {
          FormatText(pattern, values);
        } catch (const Error&) {
        }
      }
    }
  }
}

}  // namespace
}  // namespace qx
