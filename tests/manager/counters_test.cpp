// The till counters and their file: written forms, read rules, date zones.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "manager/uRTServerManager_Counters.h"
#include "platform/error.h"
#include "platform/files.h"

namespace qx {
namespace {

class CountersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/qx_counters_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const char* tz = std::getenv("TZ");
    savedTz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
  }
  void TearDown() override {
    std::filesystem::remove_all(dir_);
    if (savedTz_) {
      setenv("TZ", savedTz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string WriteFile(const std::string& name, const std::string& text) const {
    WriteFileAtomic(Path(name), text);
    return Path(name);
  }
  std::string ReadBack(const std::string& name) const { return ReadFileBytes(Path(name)); }

  // A complete, valid file body; |replace| substitutes one element's markup.
  static std::string Body(const std::string& element = "", const std::string& with = "") {
    std::string body =
        "<DataSource>server</DataSource>"
        "<ServerSerialNumber>99SEA012345</ServerSerialNumber>"
        "<TillSerialNumber>T01</TillSerialNumber>"
        "<FirstUpdated>2021-05-19T08:00:00.000Z</FirstUpdated>"
        "<LastUpdated>2021-05-19T09:00:00.000Z</LastUpdated>"
        "<LastZRepDate>2021-05-18T20:00:00.000Z</LastZRepDate>"
        "<FirstFingerPrint>first</FirstFingerPrint>"
        "<LastFingerPrint>last</LastFingerPrint>"
        "<CurrentnRec>4</CurrentnRec>"
        "<CurrentzRep>12</CurrentzRep>"
        "<DailyTotal>100.00</DailyTotal>"
        "<DailySales>90.50</DailySales>"
        "<DailyRefunds>3.00</DailyRefunds>"
        "<DailyVoids>1.25</DailyVoids>";
    if (!element.empty()) {
      const std::string open = "<" + element + ">";
      const std::string close = "</" + element + ">";
      const size_t from = body.find(open);
      const size_t to = body.find(close) + close.size();
      body.replace(from, to - from, with);
    }
    return "<RTSCounters>" + body + "</RTSCounters>";
  }

  std::string dir_;
  std::optional<std::string> savedTz_;
};

TEST_F(CountersTest, StringConversions) {
  EXPECT_EQ(kRTSCounters::CountersTypeToString(ctPrevious), "previous");
  EXPECT_EQ(kRTSCounters::CountersTypeToString(ctActual), "actual");
  EXPECT_EQ(kRTSCounters::StringToCountersType("previous"), ctPrevious);
  EXPECT_EQ(kRTSCounters::StringToCountersType("actual"), ctActual);
  EXPECT_EQ(kRTSCounters::StringToCountersType("Previous"), ctActual);
  EXPECT_EQ(kRTSCounters::CountersDataSourceToString(dsServer), "server");
  EXPECT_EQ(kRTSCounters::CountersDataSourceToString(dsLocal), "local");
  EXPECT_EQ(kRTSCounters::StringToCountersDataSource("server"), dsServer);
  EXPECT_EQ(kRTSCounters::StringToCountersDataSource("Server"), dsLocal);
  EXPECT_EQ(kRTSCounters::StringToCountersDataSource(""), dsLocal);
}

TEST_F(CountersTest, ClearKeepsOnlyTheIdentity) {
  kRTSCounters c;
  c.SetFullFileName("f");
  c.SetCounterType(ctActual);
  c.SetDataSource(dsLocal);
  c.SetFirstFingerPrint("first");
  c.SetLastFingerPrint("last");
  c.SetServerSerialNumber("S");
  c.SetCurrentnRec(5);
  c.SetDailyVoids(Currency::FromUnits(2));
  c.SetLastZRepDate(44000);
  ASSERT_TRUE(c.New("T09"));
  EXPECT_EQ(c.FullFileName(), "f");
  EXPECT_EQ(c.CounterType(), ctActual);
  EXPECT_EQ(c.DataSource(), dsServer);
  EXPECT_EQ(c.FirstFingerPrint(), "");
  EXPECT_EQ(c.LastFingerPrint(), "");
  EXPECT_EQ(c.ServerSerialNumber(), "");
  EXPECT_EQ(c.TillSerialNumber(), "T09");
  EXPECT_EQ(c.CurrentnRec(), 0);
  EXPECT_EQ(c.DailyVoids(), Currency());
  EXPECT_EQ(c.LastZRepDate(), 0);
  EXPECT_GT(c.FirstUpdated(), 40000);
  EXPECT_EQ(c.FirstUpdated(), c.LastUpdated());
}

TEST_F(CountersTest, ClearedObjectWritesZerosAndLocal) {
  UseZone("UTC");
  kRTSCounters c;
  c.Clear();
  c.SetDataSource(dsLocal);
  c.SetFullFileName(Path("c.srtc"));
  ASSERT_TRUE(c.Save());
  const std::string text = ReadBack("c.srtc");
  EXPECT_EQ(text.rfind("<RTSCounters><DataSource>local</DataSource><ServerSerialNumber/>", 0), 0u)
      << text;
  EXPECT_NE(text.find("<LastZRepDate>1899-12-30T00:00:00.000Z</LastZRepDate>"), std::string::npos);
  EXPECT_NE(text.find("<CurrentnRec>0</CurrentnRec><CurrentzRep>0</CurrentzRep>"
                      "<DailyTotal>0.00</DailyTotal><DailySales>0.00</DailySales>"
                      "<DailyRefunds>0.00</DailyRefunds><DailyVoids>0.00</DailyVoids>"
                      "</RTSCounters>"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("<?xml"), std::string::npos);
}

TEST_F(CountersTest, MoneyIsWrittenWithTwoDecimalsOrExactlyAndAPoint) {
  setenv("LC_ALL", "it_IT.UTF-8", 1);
  kRTSCounters c;
  c.Clear();
  c.SetFullFileName(Path("c.srtc"));
  c.SetDailyTotal(Currency::FromRaw(125000));
  c.SetDailySales(Currency::FromRaw(-5000));
  c.SetDailyRefunds(Currency::FromRaw(12345000));
  c.SetDailyVoids(Currency::FromRaw(-50625));  // weighed goods: 1.25 x 4.05
  c.SetCurrentnRec(-3);
  c.Save();
  unsetenv("LC_ALL");
  const std::string text = ReadBack("c.srtc");
  EXPECT_NE(text.find("<DailyTotal>12.50</DailyTotal>"), std::string::npos) << text;
  EXPECT_NE(text.find("<DailySales>-0.50</DailySales>"), std::string::npos);
  EXPECT_NE(text.find("<DailyRefunds>1234.50</DailyRefunds>"), std::string::npos);
  EXPECT_NE(text.find("<CurrentnRec>-3</CurrentnRec>"), std::string::npos);
  // Amounts finer than a cent are kept, not rounded: a restart reads them back.
  EXPECT_NE(text.find("<DailyVoids>-5.0625</DailyVoids>"), std::string::npos) << text;
}

TEST_F(CountersTest, FullRoundTrip) {
  kRTSCounters c;
  ASSERT_TRUE(c.Load(WriteFile("c.srtc", Body())));
  EXPECT_EQ(c.DataSource(), dsServer);
  EXPECT_EQ(c.ServerSerialNumber(), "99SEA012345");
  EXPECT_EQ(c.TillSerialNumber(), "T01");
  EXPECT_EQ(c.FirstFingerPrint(), "first");
  EXPECT_EQ(c.LastFingerPrint(), "last");
  EXPECT_EQ(c.CurrentnRec(), 4);
  EXPECT_EQ(c.CurrentzRep(), 12);
  EXPECT_EQ(c.DailyTotal(), Currency::FromUnits(100));
  EXPECT_EQ(c.DailySales(), Currency::FromRaw(905000));
  EXPECT_EQ(c.DailyRefunds(), Currency::FromUnits(3));
  EXPECT_EQ(c.DailyVoids(), Currency::FromRaw(12500));
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", c.LastZRepDate()), "2021-05-18 20:00:00");

  // Saved and loaded again into another object: the same values.
  c.SetFullFileName(Path("d.srtc"));
  c.SetDailyRefunds(Currency::FromRaw(-50625));  // finer than a cent: kept exactly
  c.Save();
  kRTSCounters d;
  ASSERT_TRUE(d.Load(Path("d.srtc")));
  EXPECT_EQ(d.LastFingerPrint(), "last");
  EXPECT_EQ(d.DailySales(), c.DailySales());
  EXPECT_EQ(d.DailyRefunds(), Currency::FromRaw(-50625));
  EXPECT_EQ(d.CurrentzRep(), 12);
}

TEST_F(CountersTest, DataSourceReadsServerOnlyInExactCase) {
  kRTSCounters c;
  ASSERT_TRUE(c.Load(WriteFile("a", Body("DataSource", "<DataSource>Server</DataSource>"))));
  EXPECT_EQ(c.DataSource(), dsLocal);
  ASSERT_TRUE(c.Load(WriteFile("b", Body("DataSource", "<DataSource>whatever</DataSource>"))));
  EXPECT_EQ(c.DataSource(), dsLocal);
}

TEST_F(CountersTest, MissingOrEmptyOrBadElementFailsAndClears) {
  struct Case {
    const char* element;
    const char* with;
  } cases[] = {
      {"DailyVoids", ""},
      {"ServerSerialNumber", "<ServerSerialNumber></ServerSerialNumber>"},
      {"LastFingerPrint", "<LastFingerPrint/>"},
      {"CurrentnRec", "<CurrentnRec>4x</CurrentnRec>"},
      {"DailyTotal", "<DailyTotal>1,50</DailyTotal>"},
      {"LastZRepDate", "<LastZRepDate>2021-02-30T00:00:00.000Z</LastZRepDate>"},
      {"FirstUpdated", "<FirstUpdated>19/05/2021</FirstUpdated>"},
      {"CurrentzRep", "<CurrentzRep><x>1</x></CurrentzRep>"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.element);
    kRTSCounters c;
    c.SetCurrentnRec(77);
    c.SetFirstFingerPrint("before");
    const std::string path = WriteFile("c.srtc", Body(k.element, k.with));
    EXPECT_FALSE(c.Load(path));
    EXPECT_EQ(c.FullFileName(), path);
    EXPECT_EQ(c.CurrentnRec(), 0);
    EXPECT_EQ(c.ServerSerialNumber(), "");
    EXPECT_EQ(c.LastFingerPrint(), "");
    EXPECT_EQ(c.FirstFingerPrint(), "");
    EXPECT_EQ(c.DailyTotal(), Currency());
  }
}

TEST_F(CountersTest, OtherOrderAndExtraElementsAreAccepted) {
  const std::string body =
      "<RTSCounters><Extra>1</Extra><DailyVoids>0</DailyVoids><DailyRefunds>0</DailyRefunds>"
      "<DailySales>7.1234</DailySales><DailyTotal>7</DailyTotal><CurrentzRep>3</CurrentzRep>"
      "<CurrentnRec>2</CurrentnRec><LastFingerPrint>L</LastFingerPrint>"
      "<FirstFingerPrint>F</FirstFingerPrint><LastZRepDate>1899-12-30T00:00:00</LastZRepDate>"
      "<LastUpdated>2021-05-19T09:00:00.000</LastUpdated>"
      "<FirstUpdated>2021-05-19T08:00:00.000Z</FirstUpdated><TillSerialNumber>T</TillSerialNumber>"
      "<ServerSerialNumber>S</ServerSerialNumber><DataSource>local</DataSource><More/>"
      "</RTSCounters>";
  kRTSCounters c;
  ASSERT_TRUE(c.Load(WriteFile("c.srtc", body)));
  EXPECT_EQ(c.CurrentnRec(), 2);
  EXPECT_EQ(c.DailySales(), Currency::FromRaw(71234));
  EXPECT_EQ(c.LastZRepDate(), 0);
  EXPECT_EQ(c.DataSource(), dsLocal);
}

TEST_F(CountersTest, NotWellFormedRaisesAndKeepsValues) {
  kRTSCounters c;
  c.SetCurrentnRec(9);
  const std::string path = WriteFile("c.srtc", "<RTSCounters><DataSource>server</RTSCounters>");
  try {
    c.Load(path);
    FAIL() << "loaded";
  } catch (const Error& e) {
    // The message names the file, so support knows it is not the host's receipt.
    EXPECT_THAT(e.what(), ::testing::StartsWith("Counters file \"" + path +
                                                "\" is damaged (XML parse error: "));
  }
  EXPECT_EQ(c.CurrentnRec(), 9);
  EXPECT_EQ(c.FullFileName(), path);
}

TEST_F(CountersTest, MissingFileClearsAndStillSetsTheFileName) {
  kRTSCounters c;
  c.SetCurrentzRep(5);
  const std::string path = Path("nothing.srtc");
  EXPECT_FALSE(c.Load(path));
  EXPECT_EQ(c.FullFileName(), path);
  EXPECT_EQ(c.CurrentzRep(), 0);
  c.SetTillSerialNumber("T");
  ASSERT_TRUE(c.Save());
  EXPECT_TRUE(FileExists(path));
}

TEST_F(CountersTest, OffsetDatesReadAsUtcAndWriteBackInTheLocalZone) {
  UseZone("Europe/Rome");
  kRTSCounters c;
  ASSERT_TRUE(c.Load(WriteFile(
      "c.srtc", Body("LastUpdated", "<LastUpdated>2021-05-19T10:15:30.250+02:00</LastUpdated>"))));
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", c.LastUpdated()), "2021-05-19 08:15:30.250");
  // "Z" leaves the time as it is.
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", c.FirstUpdated()), "2021-05-19 08:00:00.000");
  c.Save();
  const std::string text = ReadBack("c.srtc");
  EXPECT_NE(text.find("<LastUpdated>2021-05-19T08:15:30.250+02:00</LastUpdated>"),
            std::string::npos)
      << text;
  // Winter in the same zone is one hour east.
  EXPECT_EQ(CountersDateToText(EncodeDateTime({2021, 1, 5, 23, 59, 59, 999})),
            "2021-01-05T23:59:59.999+01:00");
}

TEST_F(CountersTest, DateFormsAcrossZonesAndDayBoundaries) {
  UseZone("America/New_York");
  EXPECT_EQ(CountersDateToText(EncodeDateTime({2021, 5, 19, 10, 15, 30, 250})),
            "2021-05-19T10:15:30.250-04:00");
  UseZone("UTC");
  EXPECT_EQ(CountersDateToText(EncodeDateTime({2021, 5, 19, 10, 15, 30, 250})),
            "2021-05-19T10:15:30.250Z");
  TDateTime v = 0;
  ASSERT_TRUE(CountersTextToDate("2021-03-01T01:30:00.000+02:00", v));
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", v), "2021-02-28 23:30:00.000");
  ASSERT_TRUE(CountersTextToDate("2020-12-31T23:30:00.000-01:00", v));
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn", v), "2021-01-01 00:30");
  for (const char* bad :
       {"", "2021-05-19", "2021-05-19T10:15:30.25", "2021-05-19T10:15:30.250+2",
        "2021-05-19T24:00:00.000", "2021-05-19T10:15:30.250 ", "2021-05-19T10:15:30.250+02:00x"}) {
    EXPECT_FALSE(CountersTextToDate(bad, v)) << bad;
  }
}

}  // namespace
}  // namespace qx
