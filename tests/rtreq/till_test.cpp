// Till map and day tokens against the simulator.
#include <string>

#include "platform/datetime.h"
#include "platform/error.h"
#include "rtreq/rtreq_fixture.h"
#include "rtserver/uRTSEPS20_Till.h"

namespace qx::rtreqtest {
namespace {

using ::testing::ElementsAre;

// A token: serial (11), 13 uninterpreted characters, yyyymmdd, Z number (4),
// next document (4), amount in hundredths (9), then anything.
std::string MakeToken(const std::string& date, const std::string& zrep, const std::string& doc,
                      const std::string& amount, const std::string& tail = "TAIL") {
  return "99SIM000001" + std::string("ABCDEFGHIJKLM") + date + zrep + doc + amount + tail;
}

std::string TokenReply(const std::string& token) { return "<token>" + token + "</token>"; }

std::string Entry(int n, const std::string& pairs) {
  std::string name = "tillCount" + std::to_string(n);
  return "<" + name + ">" + pairs + "</" + name + ">";
}

class TillTest : public RtreqTest {
 protected:
  kEPSRTServer_TillMap& Map() { return client_.ServerTillMap(); }
  kEPSRTServer_TokenMap& Tokens() { return client_.TokenMap(); }
};

TEST(TillStatusTest, ConversionsBothWays) {
  EXPECT_EQ(kEPSRTServer_Till::StringToTillStatus("0"), EPSts_Closed);
  EXPECT_EQ(kEPSRTServer_Till::StringToTillStatus("1"), EPSts_Open);
  EXPECT_EQ(kEPSRTServer_Till::StringToTillStatus("2"), EPSts_Closing);
  EXPECT_EQ(kEPSRTServer_Till::StringToTillStatus("3"), EPSts_ClosedWithZRepToSend);
  for (const char* other : {"7", "", "01", "-1"})
    EXPECT_EQ(kEPSRTServer_Till::StringToTillStatus(other), EPSts_Unknown) << other;
  EXPECT_EQ(kEPSRTServer_Till::TillStatusToString(EPSts_Closed), "Closed");
  EXPECT_EQ(kEPSRTServer_Till::TillStatusToString(EPSts_Open), "Open");
  EXPECT_EQ(kEPSRTServer_Till::TillStatusToString(EPSts_Closing), "Closing");
  EXPECT_EQ(kEPSRTServer_Till::TillStatusToString(EPSts_ClosedWithZRepToSend),
            "ClosedWithZRepToSend");
  EXPECT_EQ(kEPSRTServer_Till::TillStatusToString(EPSts_Unknown), "Unknown");
}

TEST_F(TillTest, MapReadsTillsInReplyOrderOnceAfterTwoGets) {
  std::string reply = "<tillCount>2" +
                      Entry(1,
                            "tillId=\"T02\" dailyOpen=\"1\" tillStatus=\"1\" zRepNumber=\"12\" "
                            "recNumber=\"5\" dailyAmount=\"12.30\"") +
                      Entry(2,
                            "tillId=\"T01\" dailyOpen=\"0\" tillStatus=\"7\" zRepNumber=\"3\" "
                            "recNumber=\"0\" dailyAmount=\"0\"") +
                      "<other>x</other></tillCount>";
  ReplyOnce("tillMap", reply);
  ReplyOnce("tillMap", reply);
  ASSERT_TRUE(client_.GetTillMap());
  ASSERT_TRUE(client_.GetTillMap());
  EXPECT_EQ(Map().TillCount(), 2);
  ASSERT_EQ(Map().Tills().size(), 2u);
  const kEPSRTServer_Till& first = *Map().Tills()[0];
  EXPECT_EQ(first.Id(), "T02");
  EXPECT_TRUE(first.DailyOpen());
  EXPECT_EQ(first.TillStatus(), EPSts_Open);
  EXPECT_EQ(first.ZRepNumber(), 12);
  EXPECT_EQ(first.RecNumber(), 5);
  EXPECT_EQ(first.DailyAmount(), ParseCurrency("12.3"));
  kEPSRTServer_Till* second = Map().GetTill("T01");
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(second->DailyOpen());
  EXPECT_EQ(second->TillStatus(), EPSts_Unknown);
  EXPECT_EQ(kEPSRTServer_Till::TillStatusToString(second->TillStatus()), "Unknown");
  EXPECT_EQ(Map().GetTill("T03"), nullptr);
  EXPECT_EQ(Map().GetTill("t01"), nullptr);
  EXPECT_THAT(Commands("tillMap"), ElementsAre("<createReport><tillMap/></createReport>",
                                               "<createReport><tillMap/></createReport>"));
}

TEST_F(TillTest, SimulatorMapShowsItsTills) {
  sim_->SetTill(rtsim::ParseTill("T01 open z=12 doc=5 amount=10.50"));
  sim_->SetTill(rtsim::ParseTill("T02 z=3"));
  ASSERT_TRUE(client_.GetTillMap());
  EXPECT_EQ(Map().TillCount(), 2);
  kEPSRTServer_Till* open = Map().GetTill("T01");
  ASSERT_NE(open, nullptr);
  EXPECT_TRUE(open->DailyOpen());
  EXPECT_EQ(open->TillStatus(), EPSts_Open);
  EXPECT_EQ(open->ZRepNumber(), 12);
  EXPECT_EQ(open->DailyAmount(), ParseCurrency("10.5"));
  kEPSRTServer_Till* closed = Map().GetTill("T02");
  ASSERT_NE(closed, nullptr);
  EXPECT_FALSE(closed->DailyOpen());
  EXPECT_EQ(closed->TillStatus(), EPSts_Closed);
}

TEST_F(TillTest, CountWithLineBreaksAndTabs) {
  ReplyOnce("tillMap", "<tillCount>\n\t1\t\n" +
                           Entry(1,
                                 "tillId=\"T01\" dailyOpen=\"1\" tillStatus=\"0\" "
                                 "zRepNumber=\"1\" recNumber=\"1\" dailyAmount=\"1\"") +
                           "</tillCount>");
  ASSERT_TRUE(client_.GetTillMap());
  EXPECT_EQ(Map().TillCount(), 1);
}

TEST_F(TillTest, CommaAmountRaisesAndKeepsEarlierTills) {
  ReplyOnce("tillMap", "<tillCount>2" +
                           Entry(1,
                                 "tillId=\"T01\" dailyOpen=\"1\" tillStatus=\"1\" "
                                 "zRepNumber=\"1\" recNumber=\"1\" dailyAmount=\"1.5\"") +
                           Entry(2,
                                 "tillId=\"T02\" dailyOpen=\"1\" tillStatus=\"1\" "
                                 "zRepNumber=\"1\" recNumber=\"1\" dailyAmount=\"12,30\"") +
                           "</tillCount>");
  try {
    client_.GetTillMap();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "'12,30' is not a valid floating point value");
  }
  ASSERT_EQ(Map().Tills().size(), 1u);
  EXPECT_EQ(Map().Tills()[0]->Id(), "T01");
}

TEST_F(TillTest, MissingCountRaisesAndFailedGetKeepsTheMap) {
  sim_->SetTill(rtsim::ParseTill("T01 open"));
  ASSERT_TRUE(client_.GetTillMap());
  RefuseOnce("tillMap");
  EXPECT_FALSE(client_.GetTillMap());
  EXPECT_NE(Map().GetTill("T01"), nullptr);
  OmitOnce("tillMap", "tillCount");
  EXPECT_THROW(client_.GetTillMap(), Error);
}

TEST_F(TillTest, CreateTokenReadsTheSlices) {
  ReplyOnce("createToken", TokenReply(MakeToken("20260315", "0012", "0007", "000012345")));
  ASSERT_TRUE(client_.CreateToken("T01"));
  kEPSRTServer_Token* token = Tokens().GetToken("T01");
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->TillId(), "T01");
  EXPECT_EQ(token->Token(), MakeToken("20260315", "0012", "0007", "000012345"));
  EXPECT_EQ(token->ServerSerialNumber(), "99SIM000001");
  EXPECT_EQ(token->ServerDate(), EncodeDate(2026, 3, 15));
  EXPECT_EQ(token->ZRepNumber(), 12);
  EXPECT_EQ(token->NextDocumentNumber(), 7);
  EXPECT_EQ(token->DailyAmount(), ParseCurrency("123.45"));
  EXPECT_EQ(Tokens().GetToken("t01"), nullptr);
  EXPECT_THAT(Commands("createToken"),
              ElementsAre("<createToken><till tillId=\"T01\"/></createToken>"));
}

TEST_F(TillTest, SimulatorTokenFollowsTheTillsDay) {
  sim_->SetTill(rtsim::ParseTill("T01 z=12 doc=1"));
  ASSERT_TRUE(client_.CreateToken("T01"));
  kEPSRTServer_Token* token = Tokens().GetToken("T01");
  ASSERT_NE(token, nullptr);
  EXPECT_EQ(token->ServerSerialNumber(), "99SIM000001");
  EXPECT_EQ(token->ZRepNumber(), sim_->Till("T01")->zRepNumber);
  EXPECT_EQ(token->NextDocumentNumber(), sim_->Till("T01")->nextDocNumber);
  EXPECT_EQ(token->DailyAmount(), Currency());
  EXPECT_TRUE(sim_->Till("T01")->dayOpen);
}

TEST_F(TillTest, SecondTokenReplacesTheFirstInPlace) {
  ReplyOnce("createToken", TokenReply(MakeToken("20260315", "0012", "0007", "000000000")));
  ASSERT_TRUE(client_.CreateToken("T01"));
  kEPSRTServer_Token* earlier = Tokens().GetToken("T01");
  ReplyOnce("createToken", TokenReply(MakeToken("20260316", "0013", "0001", "999999999")));
  ASSERT_TRUE(client_.CreateToken("T01"));
  ASSERT_EQ(Tokens().Tokens().size(), 1u);
  EXPECT_EQ(Tokens().GetToken("T01"), earlier);
  EXPECT_EQ(earlier->ServerDate(), EncodeDate(2026, 3, 16));
  EXPECT_EQ(earlier->ZRepNumber(), 13);
  EXPECT_EQ(earlier->NextDocumentNumber(), 1);
  EXPECT_EQ(earlier->DailyAmount(), ParseCurrency("9999999.99"));
}

TEST_F(TillTest, AllZeroAmountAndTokensOfSeveralTills) {
  ReplyOnce("createToken", TokenReply(MakeToken("20260315", "0001", "0001", "000000000", "")));
  ReplyOnce("createToken", TokenReply(MakeToken("20260315", "0002", "0001", "000000100")));
  ASSERT_TRUE(client_.CreateToken("T01"));
  ASSERT_TRUE(client_.CreateToken("T02"));
  ASSERT_EQ(Tokens().Tokens().size(), 2u);
  EXPECT_EQ(Tokens().GetToken("T01")->DailyAmount(), Currency());
  EXPECT_EQ(Tokens().GetToken("T02")->DailyAmount(), ParseCurrency("1"));
  EXPECT_EQ(Tokens().GetToken("T02")->ZRepNumber(), 2);
}

TEST_F(TillTest, ImpossibleDateRaisesAndAddsNoToken) {
  ReplyOnce("createToken", TokenReply(MakeToken("20260230", "0012", "0007", "000000000")));
  try {
    client_.CreateToken("T01");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to date encode");
  }
  EXPECT_EQ(Tokens().GetToken("T01"), nullptr);
}

TEST_F(TillTest, BadTokenKeepsWhatWasAssignedBefore) {
  ReplyOnce("createToken", TokenReply(MakeToken("20260315", "0012", "0007", "000000500")));
  ASSERT_TRUE(client_.CreateToken("T01"));
  kEPSRTServer_Token* token = Tokens().GetToken("T01");
  // Short: the amount slice has only four of its nine digits.
  std::string shortToken = MakeToken("20260316", "0013", "0002", "1234", "");
  ReplyOnce("createToken", TokenReply(shortToken));
  try {
    client_.CreateToken("T01");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "'1234' is not a valid floating point value");
  }
  EXPECT_EQ(token->Token(), shortToken);
  EXPECT_EQ(token->ZRepNumber(), 13);
  EXPECT_EQ(token->DailyAmount(), ParseCurrency("5"));  // not reached
  // A non-digit in the Z-report slice.
  ReplyOnce("createToken", TokenReply(MakeToken("20260317", "00x4", "0003", "000000000")));
  try {
    client_.CreateToken("T01");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "'00x4' is not a valid integer value");
  }
  EXPECT_EQ(token->ServerDate(), EncodeDate(2026, 3, 17));
  EXPECT_EQ(token->NextDocumentNumber(), 2);
  // Documents are numbered from 1: a token numbering from 0 is malformed.
  ReplyOnce("createToken", TokenReply(MakeToken("20260318", "0015", "0000", "000000000")));
  try {
    client_.CreateToken("T01");
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Malformed token: next document number 0000");
  }
  EXPECT_EQ(token->NextDocumentNumber(), 2);
}

TEST_F(TillTest, MissingTokenRaisesAndFailedRequestKeepsTokens) {
  OmitOnce("createToken", "token");
  EXPECT_THROW(client_.CreateToken("T01"), Error);
  EXPECT_TRUE(Tokens().Tokens().empty());
  RefuseOnce("createToken");
  EXPECT_FALSE(client_.CreateToken("T01"));
  EXPECT_TRUE(Tokens().Tokens().empty());
}

TEST_F(TillTest, TillIdIsEscapedInTheRequest) {
  ReplyOnce("createToken", TokenReply(MakeToken("20260315", "0012", "0007", "000000000")));
  ASSERT_TRUE(client_.CreateToken("A&\"B"));
  EXPECT_THAT(Commands("createToken"),
              ElementsAre("<createToken><till tillId=\"A&amp;&quot;B\"/></createToken>"));
  EXPECT_NE(Tokens().GetToken("A&\"B"), nullptr);
}

TEST_F(TillTest, GetIsRefused) {
  try {
    Tokens().Get();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Get Method not allowed for TokenMap. Use Get(aTillId).");
  }
}

}  // namespace
}  // namespace qx::rtreqtest
