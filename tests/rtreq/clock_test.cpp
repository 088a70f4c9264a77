// Server clock and Z-report counter against the simulator.
#include <string>

#include "platform/datetime.h"
#include "platform/error.h"
#include "rtreq/rtreq_fixture.h"
#include "rtserver/uRTSEPS20_Clock.h"
#include "rtserver/uRTSEPS20_ZReport.h"

namespace qx::rtreqtest {
namespace {

using ::testing::ElementsAre;

// The reply of command 2050 up to the number: 15 characters.
const std::string kZRepPrefix = "270000000000000";

class ClockTest : public RtreqTest {
 protected:
  void SetClock(const std::string& data) {
    sim_->Configure([&](rtsim::Config& config) { config.clock = data; });
  }
  std::string RaiseMessage(bool (kEPSRTServer::*aGet)()) {
    try {
      (client_.*aGet)();
    } catch (const Error& e) {
      return e.what();
    }
    return "no error";
  }
};

TEST_F(ClockTest, ClockSlicesWithTheYearInThisCentury) {
  SetClock("150326174559");
  ASSERT_TRUE(client_.GetDateTime());
  DateTimeParts expected;
  expected.year = 2026, expected.month = 3, expected.day = 15, expected.hour = 17,
  expected.minute = 45;
  EXPECT_EQ(client_.DateTime().DateTime(), EncodeDateTime(expected));
  EXPECT_THAT(
      Commands("4201"),
      ElementsAre("<printerCommand><directIO command=\"4201\" data=\"\"/></printerCommand>"));
}

TEST_F(ClockTest, SimulatorClockIsNow) {
  ASSERT_TRUE(client_.GetDateTime());
  // To the minute, within a generous margin around now.
  EXPECT_NEAR(client_.DateTime().DateTime(), Now(), 10.0 / 1440);
}

TEST_F(ClockTest, BadClockRaisesAndKeepsTheValue) {
  SetClock("1503261745");
  ASSERT_TRUE(client_.GetDateTime());
  TDateTime before = client_.DateTime().DateTime();
  SetClock("1513261745");  // month 13
  EXPECT_EQ(RaiseMessage(&kEPSRTServer::GetDateTime), "Invalid argument to date encode");
  SetClock("15032617");  // no minute
  EXPECT_EQ(RaiseMessage(&kEPSRTServer::GetDateTime), "'' is not a valid integer value");
  SetClock("15a3261745");
  EXPECT_EQ(RaiseMessage(&kEPSRTServer::GetDateTime), "'a3' is not a valid integer value");
  EXPECT_EQ(client_.DateTime().DateTime(), before);
  RefuseOnce("4201");
  EXPECT_FALSE(client_.GetDateTime());
  EXPECT_EQ(client_.DateTime().DateTime(), before);
}

TEST_F(ClockTest, MissingResponseDataRaises) {
  OmitOnce("4201", "responseData");
  EXPECT_EQ(RaiseMessage(&kEPSRTServer::GetDateTime),
            "Element responseData not found in response document.");
  OmitOnce("2050", "responseData");
  EXPECT_EQ(RaiseMessage(&kEPSRTServer::GetZRepNumber),
            "Element responseData not found in response document.");
}

TEST_F(ClockTest, ZRepNumberSlice) {
  ReplyOnce("2050", "<responseData>" + kZRepPrefix + "000000123XYZ</responseData>");
  ASSERT_TRUE(client_.GetZRepNumber());
  EXPECT_EQ(client_.ZrepNumber().Number(), 123);
  EXPECT_THAT(Commands("2050"), ElementsAre("<printerCommand><directIO command=\"2050\" "
                                            "data=\"2700\"/></printerCommand>"));
}

TEST_F(ClockTest, SimulatorZRepNumberFollowsItsPrintedReports) {
  ASSERT_TRUE(client_.PrintServerZReport());
  ASSERT_TRUE(client_.PrintServerZReport());
  ASSERT_TRUE(client_.GetZRepNumber());
  EXPECT_EQ(client_.ZrepNumber().Number(), sim_->ServerZRepNumber());
  EXPECT_EQ(client_.ZrepNumber().Number(), client_.ServerZReport().ZRepNumber());
}

TEST_F(ClockTest, ShortZRepReplyRaisesAndKeepsTheNumber) {
  ReplyOnce("2050", "<responseData>" + kZRepPrefix + "000000042</responseData>");
  ASSERT_TRUE(client_.GetZRepNumber());
  ReplyOnce("2050", "<responseData>" + kZRepPrefix.substr(0, 14) + "</responseData>");
  EXPECT_EQ(RaiseMessage(&kEPSRTServer::GetZRepNumber), "'' is not a valid integer value");
  ReplyOnce("2050", "<responseData>" + kZRepPrefix + "0001</responseData>");
  EXPECT_EQ(RaiseMessage(&kEPSRTServer::GetZRepNumber), "'0001' is not a valid integer value");
  EXPECT_EQ(client_.ZrepNumber().Number(), 42);
  RefuseOnce("2050");
  EXPECT_FALSE(client_.GetZRepNumber());
  EXPECT_EQ(client_.ZrepNumber().Number(), 42);
}

}  // namespace
}  // namespace qx::rtreqtest
