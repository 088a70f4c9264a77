// Server information and receipt header lines against the simulator.
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/error.h"
#include "rtreq/rtreq_fixture.h"
#include "rtserver/uRTSEPS20_Info.h"

namespace qx::rtreqtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class InfoTest : public RtreqTest {
 protected:
  kEPSRTServer_Info& Info() { return client_.ServerInfo(); }

  void SetHeaderLines(std::vector<std::string> lines) {
    sim_->Configure([&](rtsim::Config& config) { config.headerLines = lines; });
  }

  static std::string InfoReply(const std::string& dailyOpen, const std::string& expiryCD) {
    return "<rtType>M</rtType><rtSerialNumber>99SIM000001</rtSerialNumber>"
           "<rtDailyOpen>" +
           dailyOpen +
           "</rtDailyOpen><rtMainStatus>2</rtMainStatus>"
           "<rtSubStatus>8</rtSubStatus><rtNoWorkingPeriod>1</rtNoWorkingPeriod>"
           "<rtZRepNumber>41</rtZRepNumber><rtFileToSend>3</rtFileToSend>"
           "<rtOldFileToSend>0</rtOldFileToSend><rtFileRejected>1</rtFileRejected>"
           "<rtExpiryCD>" +
           expiryCD +
           "</rtExpiryCD><rtExpiryCA>20301231</rtExpiryCA>"
           "<TrainingMode>0</TrainingMode>";
  }
};

TEST_F(InfoTest, GetReadsEveryField) {
  ReplyOnce("serverInfo", InfoReply("1", "20261231"));
  ASSERT_TRUE(client_.GetServerInfo());
  EXPECT_EQ(Info().RTType(), "M");
  EXPECT_EQ(Info().SerialNumber(), "99SIM000001");
  EXPECT_TRUE(Info().DailyOpen());
  EXPECT_EQ(Info().MainStatus(), "2");
  EXPECT_EQ(Info().SubStatus(), "8");
  EXPECT_TRUE(Info().NoWorkingPeriod());
  EXPECT_EQ(Info().ZRepNumber(), 41);
  EXPECT_EQ(Info().FileToSend(), 3);
  EXPECT_EQ(Info().OldFileToSend(), 0);
  EXPECT_EQ(Info().FileRejected(), 1);
  EXPECT_EQ(Info().ExpiryCD(), EncodeDate(2026, 12, 31));
  EXPECT_EQ(Info().ExpiryCA(), EncodeDate(2030, 12, 31));
  EXPECT_FALSE(Info().TrainingMode());
  EXPECT_THAT(Commands("serverInfo"), ElementsAre("<createReport><serverInfo/></createReport>"));
}

TEST_F(InfoTest, SimulatorAnswersServerInfo) {
  ASSERT_TRUE(client_.GetServerInfo());
  EXPECT_EQ(Info().SerialNumber(), "99SIM000001");
  EXPECT_EQ(Info().ExpiryCD(), EncodeDate(2030, 12, 31));
}

TEST_F(InfoTest, OnlyTheTextOneSetsAFlag) {
  for (const char* text : {"0", "true", "", " 1"}) {
    ReplyOnce("serverInfo", InfoReply(text, "20261231"));
    ASSERT_TRUE(client_.GetServerInfo());
    EXPECT_FALSE(Info().DailyOpen()) << "'" << text << "'";
  }
}

TEST_F(InfoTest, ImpossibleExpiryDateRaises) {
  ReplyOnce("serverInfo", InfoReply("1", "20260231"));
  try {
    client_.GetServerInfo();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to date encode");
  }
  EXPECT_EQ(Info().FileRejected(), 1);  // read before the date
}

TEST_F(InfoTest, MissingNumberRaisesAfterEarlierFieldsWereStored) {
  OmitOnce("serverInfo", "rtFileRejected");
  try {
    client_.GetServerInfo();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid integer value");
  }
  EXPECT_EQ(Info().SerialNumber(), "99SIM000001");
  EXPECT_EQ(Info().RTType(), "S");
  EXPECT_EQ(Info().ExpiryCD(), 0);  // not reached
}

TEST_F(InfoTest, FailedGetChangesNothing) {
  ReplyOnce("serverInfo", InfoReply("1", "20261231"));
  ASSERT_TRUE(client_.GetServerInfo());
  RefuseOnce("serverInfo");
  EXPECT_FALSE(client_.GetServerInfo());
  EXPECT_EQ(client_.LastError(), "-20 - Busy");
  EXPECT_EQ(Info().RTType(), "M");
  EXPECT_EQ(Info().ZRepNumber(), 41);
}

TEST_F(InfoTest, ThreeHeaderLinesTakeFourRequests) {
  SetHeaderLines({"SHOP", "STREET", "VAT"});
  ASSERT_TRUE(client_.GetServerHeaders());
  EXPECT_THAT(Info().Headers(), ElementsAre("SHOP", "STREET", "VAT"));
  std::vector<std::string> commands = Commands("3216");
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0],
            "<printerCommand><directIO command=\"3216\" data=\"01\"/></printerCommand>");
  EXPECT_EQ(commands[3],
            "<printerCommand><directIO command=\"3216\" data=\"04\"/></printerCommand>");
}

TEST_F(InfoTest, SixteenLinesAtMost) {
  std::vector<std::string> lines;
  for (int i = 1; i <= 17; ++i) lines.push_back("LINE " + std::to_string(i));
  SetHeaderLines(lines);
  ASSERT_TRUE(client_.GetServerHeaders());
  ASSERT_EQ(Info().Headers().size(), 16u);
  EXPECT_EQ(Info().Headers().back(), "LINE 16");
  std::vector<std::string> commands = Commands("3216");
  ASSERT_EQ(commands.size(), 16u);
  EXPECT_THAT(commands.back(), HasSubstr("data=\"16\""));
}

TEST_F(InfoTest, FailureOnLineTwoKeepsLineOne) {
  SetHeaderLines({"SHOP", "STREET", "VAT"});
  ReplyOnce("3216", "<responseData>01SHOP</responseData>");
  RefuseOnce("3216");
  EXPECT_FALSE(client_.GetServerHeaders());
  EXPECT_THAT(Info().Headers(), ElementsAre("SHOP"));
}

TEST_F(InfoTest, FailureOnLineOneLeavesNoLines) {
  ASSERT_TRUE(client_.GetServerHeaders());
  ASSERT_FALSE(Info().Headers().empty());
  RefuseOnce("3216");
  EXPECT_FALSE(client_.GetServerHeaders());
  EXPECT_TRUE(Info().Headers().empty());
  EXPECT_EQ(Commands("3216").size(), 5u);  // 4 before, 1 now
}

TEST_F(InfoTest, LinesAreTrimmedAndCutToTheirWindow) {
  // Characters 3 to 42 of a 60-character reply: the rest is not the line.
  std::string window = "  CENTRED TITLE" + std::string(25, 'x');
  ASSERT_EQ(window.size(), 40u);
  ReplyOnce("3216", "<responseData>01" + window + "OUTSIDE OF THE LINE!</responseData>");
  ReplyOnce("3216", "<responseData>02\t  SECOND  \r</responseData>");
  ReplyOnce("3216", "<responseData>03" + std::string(40, ' ') + "TAIL</responseData>");
  ASSERT_TRUE(client_.GetServerHeaders());
  EXPECT_THAT(Info().Headers(), ElementsAre("CENTRED TITLE" + std::string(25, 'x'), "SECOND"));
}

TEST_F(InfoTest, AccentedLettersCountAsOneCharacter) {
  ReplyOnce("3216", "<responseData>01CAFF\xC3\x88 " + std::string(34, 'y') + "ZZ</responseData>");
  ReplyOnce("3216", "<responseData>02</responseData>");
  ASSERT_TRUE(client_.GetServerHeaders());
  EXPECT_THAT(Info().Headers(), ElementsAre("CAFF\xC3\x88 " + std::string(34, 'y')));
}

TEST_F(InfoTest, UnreadableReplyEndsTheHeaderQuietly) {
  SetHeaderLines({"SHOP", "STREET", "VAT"});
  OmitOnce("3216", "responseData");
  ASSERT_TRUE(client_.GetServerHeaders());
  EXPECT_TRUE(Info().Headers().empty());
  // A responseData holding markup instead of text cannot be read either.
  ReplyOnce("3216", "<responseData>01SHOP</responseData>");
  ReplyOnce("3216", "<responseData>02<b>x</b></responseData>");
  ASSERT_TRUE(client_.GetServerHeaders());
  EXPECT_THAT(Info().Headers(), ElementsAre("SHOP"));
}

}  // namespace
}  // namespace qx::rtreqtest
