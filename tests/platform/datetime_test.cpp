// Date and time: day counting from 1899-12-30, validation, decoding,
// formatting and the local offset under a given zone.
#include "platform/datetime.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include "platform/error.h"
#include "support/scoped_zone.h"

namespace qx {
namespace {

TEST(DateEncodeTest, CountsDaysFromTheEpoch) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1), 25569.0);
  EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
  EXPECT_EQ(EncodeDate(2024, 2, 29) - EncodeDate(2024, 2, 28), 1.0);
}

TEST(DateEncodeTest, RejectsDatesAndTimesThatDoNotExist) {
  for (auto [y, m, d] : {std::tuple{2023, 2, 29},
                         {1900, 2, 29},
                         {2024, 13, 1},
                         {2024, 0, 1},
                         {2024, 4, 31},
                         {2024, 1, 0},
                         {0, 1, 1},
                         {10000, 1, 1}}) {
    try {
      EncodeDate(y, m, d);
      ADD_FAILURE() << y << "-" << m << "-" << d;
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "Invalid argument to date encode");
    }
    TDateTime unused;
    EXPECT_FALSE(TryEncodeDate(y, m, d, unused));
  }
  TDateTime leap = 0;
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, leap));
  EXPECT_EQ(leap, 36585.0);
  DateTimeParts bad{2024, 1, 1, 24, 0, 0, 0};
  EXPECT_THROW(EncodeDateTime(bad), Error);
  bad = {2024, 1, 1, 0, 60, 0, 0};
  EXPECT_THROW(EncodeDateTime(bad), Error);
  bad = {2024, 1, 1, 0, 0, 0, 1000};
  EXPECT_THROW(EncodeDateTime(bad), Error);
}

TEST(DateDecodeTest, RoundTripsToTheMillisecond) {
  const DateTimeParts parts{2024, 3, 31, 23, 59, 59, 999};
  const DateTimeParts back = DecodeDateTime(EncodeDateTime(parts));
  EXPECT_EQ(back.year, 2024);
  EXPECT_EQ(back.month, 3);
  EXPECT_EQ(back.day, 31);
  EXPECT_EQ(back.hour, 23);
  EXPECT_EQ(back.minute, 59);
  EXPECT_EQ(back.second, 59);
  EXPECT_EQ(back.millisecond, 999);
  // Just below midnight rounds up to the next day.
  const DateTimeParts next = DecodeDateTime(EncodeDate(2024, 12, 31) + 0.9999999999);
  EXPECT_EQ(next.year, 2025);
  EXPECT_EQ(next.hour, 0);
  // Before the epoch the fraction is still the time of day.
  const DateTimeParts early = DecodeDateTime(-1.25);
  EXPECT_EQ(early.day, 29);
  EXPECT_EQ(early.hour, 6);
  EXPECT_EQ(EncodeDateTime({1899, 12, 29, 6, 0, 0, 0}), -1.25);
}

TEST(DateFormatTest, Patterns) {
  const TDateTime t = EncodeDateTime({2024, 7, 5, 9, 8, 7, 6});
  EXPECT_EQ(FormatDateTime("yyyymmddhhnnsszzz", t), "20240705090807006");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:mm:ss:zzz", t), "2024-07-05 09:08:07:006");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss:zzz", t), "2024-07-05 09:08:07:006");
  EXPECT_EQ(FormatDateTime("hhnn00", t), "090800");
  EXPECT_EQ(FormatDateTime("yymmdd", t), "240705");
  EXPECT_EQ(FormatDateTime("YYYYMMDD", t), "20240705");
  EXPECT_EQ(FormatDateTime("T x", t), "T x");
}

TEST(LocalTimeTest, OffsetFollowsTheZoneAndItsSummerTime) {
  ScopedZone zone(kRome);
  EXPECT_EQ(LocalOffsetMinutes(EncodeDateTime({2024, 1, 15, 12, 0, 0, 0})), 60);
  EXPECT_EQ(LocalOffsetMinutes(EncodeDateTime({2024, 7, 15, 12, 0, 0, 0})), 120);
  // 2024-03-31 01:00 UTC: the last minute before and the first after the change.
  EXPECT_EQ(LocalOffsetMinutes(EncodeDateTime({2024, 3, 31, 1, 59, 0, 0})), 60);
  EXPECT_EQ(LocalOffsetMinutes(EncodeDateTime({2024, 3, 31, 3, 0, 0, 0})), 120);
  const DateTimeParts p =
      DecodeDateTime(LocalFromUnixMillis(1720000000123));  // 2024-07-03 09:46:40.123 UTC
  EXPECT_EQ(p.hour, 11);
  EXPECT_EQ(p.minute, 46);
  EXPECT_EQ(p.millisecond, 123);
}

TEST(LocalTimeTest, UtcZoneAndNow) {
  ScopedZone zone("UTC0");
  EXPECT_EQ(LocalOffsetMinutes(EncodeDate(2024, 7, 1)), 0);
  EXPECT_EQ(LocalFromUnixMillis(0), 25569.0);
  EXPECT_EQ(DecodeDateTime(LocalFromUnixMillis(-1)).millisecond, 999);
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  const TDateTime expected = LocalFromUnixMillis(ts.tv_sec * 1000LL + ts.tv_nsec / 1000000);
  EXPECT_NEAR(Now(), expected, 60.0 / 86400);
}

TEST(DateFuzzTest, RandomValuesNeverCrash) {
  std::mt19937 random(3);
  for (int round = 0; round < 20000; ++round) {
    const int y = static_cast<int>(random() % 12000) - 1000;
    const int m = static_cast<int>(random() % 15) - 1;
    const int d = static_cast<int>(random() % 34) - 1;
    TDateTime value;
    if (TryEncodeDate(y, m, d, value)) {
      const DateTimeParts p = DecodeDateTime(value);
      EXPECT_EQ(p.year, y);
      EXPECT_EQ(p.month, m);
      EXPECT_EQ(p.day, d);
    }
    double any;
    uint64_t bits = (static_cast<uint64_t>(random()) << 32) | random();
    std::memcpy(&any, &bits, sizeof any);
    (void)FormatDateTime("yyyy-mm-dd hh:nn:ss:zzz", any);
    (void)LocalOffsetMinutes(any);
  }
}

}  // namespace
}  // namespace qx
