// Server and till Z reports and the daily closure against the simulator.
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "platform/error.h"
#include "rtreq/rtreq_fixture.h"
#include "rtserver/uRTSEPS20_ZReport.h"

namespace qx::rtreqtest {
namespace {

using ::testing::ElementsAre;

std::string VatLine(int n, const std::string& id, const std::string& rate, const std::string& sales,
                    const std::string& refund = "0", const std::string& voids = "0") {
  std::string name = "vatCount" + std::to_string(n);
  return "<" + name + ">vatId=\"" + id + "\" vatRate=\"" + rate + "\" vatSales=\"" + sales +
         "\" vatRefund=\"" + refund + "\" vatVoid=\"" + voids + "\"</" + name + ">";
}

std::string Report(const std::string& zrep, const std::string& amount, const std::string& vats,
                   const std::string& extra = "") {
  return "<tillId>T01</tillId><zRepNumber>" + zrep + "</zRepNumber>" + extra + "<dailyAmount>" +
         amount + "</dailyAmount><vatCount>" + vats + "</vatCount>";
}

Currency Amount(const char* text) { return ParseCurrency(text); }

class ZReportTest : public RtreqTest {
 protected:
  kEPSRTServer_TillZReport& Till() { return client_.TillZReport(); }
  std::string CurrentRaises() {
    try {
      client_.GetTillCurrentZReport("T01");
    } catch (const Error& e) {
      return e.what();
    }
    return "no error";
  }
};

TEST_F(ZReportTest, VatRateTextsGiveCodesAndRates) {
  ReplyOnce("fiscalInformation",
            Report("4", "0",
                   "6" + VatLine(1, "1", "22,00%", "0") + VatLine(2, "2", " 10%", "0") +
                       VatLine(3, "3", "", "0") + VatLine(4, "4", "NI", "0") +
                       VatLine(5, "5", "5.5", "0") + VatLine(6, "6", "ES", "0")));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  const auto& lines = Till().VATAmounts();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(Till().VATCount(), 6);
  struct Expected {
    int index;
    const char* code;
    const char* rate;
  } expected[] = {{1, "2200", "22"}, {2, "1000", "10"},  {3, "0000", "0"},
                  {4, "N3", "0"},    {5, "0550", "5.5"}, {6, "N4", "0"}};
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]->Index(), expected[i].index) << i;
    EXPECT_EQ(lines[i]->Code(), expected[i].code) << i;
    EXPECT_EQ(lines[i]->Rate(), Amount(expected[i].rate)) << i;
  }
}

TEST_F(ZReportTest, LowerCaseExemptCodeIsNotANumber) {
  ReplyOnce("fiscalInformation",
            Report("4", "0", "2" + VatLine(1, "1", "22", "1") + VatLine(2, "4", "es", "0")));
  EXPECT_EQ(CurrentRaises(), "'es' is not a valid floating point value");
  ASSERT_EQ(Till().VATAmounts().size(), 1u);  // the line before stays
  EXPECT_EQ(Till().SalesAmount(), Amount("1"));
}

TEST_F(ZReportTest, AmountsWithCommaOrPointAndExactSums) {
  ReplyOnce("fiscalInformation", Report("4", "1234,5",
                                        "2" + VatLine(1, "1", "22", "10,10", "1.01", "0,3") +
                                            VatLine(2, "2", "10", "20.20", "2,02", "0.4")));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  EXPECT_EQ(Till().DailyAmount(), Amount("1234.5"));
  EXPECT_EQ(Till().SalesAmount(), Amount("30.3"));
  EXPECT_EQ(Till().RefundAmount(), Amount("3.03"));
  EXPECT_EQ(Till().VoidAmount(), Amount("0.7"));
  ReplyOnce("fiscalInformation", Report("4", "1234.5", "0"));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  EXPECT_EQ(Till().DailyAmount(), Amount("1234.5"));
}

TEST_F(ZReportTest, EmptyVatCountGivesZeroSums) {
  ReplyOnce("fiscalInformation", Report("4", "0", "1" + VatLine(1, "1", "22", "5")));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  ReplyOnce("fiscalInformation", Report("4", "0", "0"));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  EXPECT_EQ(Till().VATCount(), 0);
  EXPECT_TRUE(Till().VATAmounts().empty());
  EXPECT_EQ(Till().SalesAmount(), Currency());
  EXPECT_EQ(Till().RefundAmount(), Currency());
  EXPECT_EQ(Till().VoidAmount(), Currency());
}

TEST_F(ZReportTest, OptionalDateAndReceiptNumberKeepTheirValues) {
  ReplyOnce("zReport",
            Report("7", "0", "0", "<zRepDate>20260314</zRepDate><recNumber>15</recNumber>"));
  ASSERT_TRUE(client_.GetTillHistoricZReport("T01", 7));
  EXPECT_EQ(Till().ZRepDate(), EncodeDate(2026, 3, 14));
  EXPECT_EQ(Till().RecNumber(), 15);
  ReplyOnce("zReport", Report("8", "0", "0"));
  ASSERT_TRUE(client_.GetTillHistoricZReport("T01", 8));
  EXPECT_EQ(Till().ZRepNumber(), 8);
  EXPECT_EQ(Till().ZRepDate(), EncodeDate(2026, 3, 14));
  EXPECT_EQ(Till().RecNumber(), 15);
}

TEST_F(ZReportTest, CurrentAfterHistoricSendsTheNumberRead) {
  ReplyOnce("fiscalInformation", Report("0", "0", "0"));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  EXPECT_EQ(Till().ReportType(), rt_current);
  ReplyOnce("zReport", Report("9", "0", "0"));
  ASSERT_TRUE(client_.GetTillHistoricZReport("T01", 7));
  EXPECT_EQ(Till().ReportType(), rt_historical);
  ReplyOnce("fiscalInformation", Report("10", "0", "0"));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  EXPECT_THAT(
      Commands("zReport"),
      ElementsAre("<createReport><zReport tillId=\"T01\" zRepNumber=\"7\"/></createReport>"));
  EXPECT_THAT(
      Commands("fiscalInformation"),
      ElementsAre(
          "<createReport><fiscalInformation tillId=\"T01\" zRepNumber=\"0\"/></createReport>",
          "<createReport><fiscalInformation tillId=\"T01\" zRepNumber=\"9\"/></createReport>"));
}

TEST_F(ZReportTest, MissingElementRaisesAfterEarlierFields) {
  ReplyOnce("fiscalInformation",
            "<tillId>T09</tillId><zRepNumber>5</zRepNumber>"
            "<dailyAmount>3</dailyAmount>");
  EXPECT_EQ(CurrentRaises(), "Element vatCount not found in response document.");
  EXPECT_EQ(Till().TillId(), "T09");
  EXPECT_EQ(Till().DailyAmount(), Amount("3"));
  ReplyOnce("fiscalInformation", "<zRepNumber>5</zRepNumber>");
  EXPECT_EQ(CurrentRaises(), "Element tillId not found in response document.");
  ReplyOnce("fiscalInformation", "<tillId>T01</tillId><zRepNumber>x</zRepNumber>");
  EXPECT_EQ(CurrentRaises(), "'x' is not a valid integer value");
}

TEST_F(ZReportTest, FailedExchangeChangesOnlyTheReportType) {
  ReplyOnce("zReport", Report("7", "2", "1" + VatLine(1, "1", "22", "2")));
  ASSERT_TRUE(client_.GetTillHistoricZReport("T01", 7));
  RefuseOnce("fiscalInformation");
  EXPECT_FALSE(client_.GetTillCurrentZReport("T01"));
  EXPECT_EQ(Till().ReportType(), rt_current);
  EXPECT_EQ(Till().ZRepNumber(), 7);
  EXPECT_EQ(Till().SalesAmount(), Amount("2"));
}

TEST_F(ZReportTest, DailyClosureText) {
  EXPECT_EQ(kEPSRTServer_TillZReport::GetMessage("T01"),
            "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>");
  EXPECT_EQ(Till().GetMessage("<T&'>"),
            "<createDailyClosure><till tillId=\"&lt;T&amp;&apos;&gt;\" /></createDailyClosure>");
}

TEST_F(ZReportTest, SimulatorReportsFollowTheDayAndItsClosure) {
  sim_->SetTill(rtsim::ParseTill("T01 open z=12 doc=5 amount=10.50"));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  std::optional<rtsim::ZReport> running = sim_->CurrentReport("T01");
  ASSERT_TRUE(running.has_value());
  EXPECT_EQ(Till().TillId(), "T01");
  EXPECT_EQ(Till().ZRepNumber(), running->zRepNumber);
  EXPECT_EQ(Till().DailyAmount(), running->dailyAmount);

  ASSERT_TRUE(client_.TillZReport().Print(kEPSRTServer_TillZReport::GetMessage("T01")));
  ASSERT_TRUE(sim_->ClosedReport("T01", 12).has_value());
  EXPECT_FALSE(sim_->Till("T01")->dayOpen);

  ASSERT_TRUE(client_.GetTillHistoricZReport("T01", 12));
  EXPECT_EQ(Till().ZRepNumber(), 12);
  EXPECT_EQ(Till().DailyAmount(), sim_->ClosedReport("T01", 12)->dailyAmount);
  EXPECT_EQ(Till().ZRepDate(),
            kEPSRTServer_Api::TextToDate(sim_->ClosedReport("T01", 12)->zRepDate));
}

// A fiscal receipt of till T01 as the pusher submits it: item lines, then
// the fiscal information carrying the total and the document type.
std::string Receipt(const std::string& docType, const std::string& recNumber,
                    const std::string& items, const std::string& total) {
  return "<createReceipt><receipt><printerFiscalReceipt><beginFiscalReceipt/>" + items +
         "<printRecTotal payment=\"" + total + "\" paymentType=\"0\"/>" +
         "<fiscalInformation tillId=\"T01\" zRepNumber=\"3\" recNumber=\"" + recNumber +
         "\" recAmount=\"" + total + "\" doctype=\"" + docType + "\"/>" +
         "<endFiscalReceipt/></printerFiscalReceipt></receipt></createReceipt>";
}

TEST_F(ZReportTest, SimulatorReportsReflectAcceptedReceipts) {
  sim_->SetTill(rtsim::ParseTill("T01 open z=3 doc=1"));
  std::string items =
      "<printRecItem unitPrice=\"1.50\" quantity=\"2\" vatID=\"1\"/>"
      "<printRecItem unitPrice=\"10.00\" quantity=\"1\" vatID=\"2\"/>";
  ASSERT_TRUE(client_.SendRequest(fpServer, Receipt("0", "1", items, "13")));
  ASSERT_TRUE(client_.SendRequest(
      fpServer,
      Receipt("1", "2", "<printRecRefund unitPrice=\"1.50\" quantity=\"1\" vatID=\"1\"/>", "1.5")));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  EXPECT_EQ(Till().ZRepNumber(), 3);
  EXPECT_EQ(Till().RecNumber(), 2);
  EXPECT_EQ(Till().DailyAmount(), Amount("13"));
  EXPECT_EQ(Till().SalesAmount(), Amount("13"));
  EXPECT_EQ(Till().RefundAmount(), Amount("1.5"));
  EXPECT_EQ(Till().VoidAmount(), Currency());
  ASSERT_EQ(Till().VATAmounts().size(), 2u);
  EXPECT_EQ(Till().VATAmounts()[0]->Code(), "2200");
  EXPECT_EQ(Till().VATAmounts()[0]->Rate(), Amount("22"));
  EXPECT_EQ(Till().VATAmounts()[0]->SalesAmount(), Amount("3"));
  EXPECT_EQ(Till().VATAmounts()[1]->Code(), "1000");
  EXPECT_EQ(Till().VATAmounts()[1]->SalesAmount(), Amount("10"));

  // After the closure the running report starts afresh and the closed one
  // keeps the day's totals.
  ASSERT_TRUE(client_.TillZReport().Print(kEPSRTServer_TillZReport::GetMessage("T01")));
  ASSERT_TRUE(client_.GetTillCurrentZReport("T01"));
  EXPECT_EQ(Till().ZRepNumber(), 4);
  EXPECT_EQ(Till().SalesAmount(), Currency());
  ASSERT_TRUE(client_.GetTillHistoricZReport("T01", 3));
  EXPECT_EQ(Till().SalesAmount(), Amount("13"));
  EXPECT_EQ(Till().RefundAmount(), Amount("1.5"));
}

TEST_F(ZReportTest, ClosureRefusedIsReported) {
  RefuseOnce("createDailyClosure");
  EXPECT_FALSE(client_.TillZReport().Print(kEPSRTServer_TillZReport::GetMessage("T01")));
  EXPECT_EQ(client_.LastError(), "-20 - Busy");
}

TEST_F(ZReportTest, ServerReportPrintsAndReadsNumberAndAmount) {
  ReplyOnce("printZReport", "<zRepNumber>31</zRepNumber><dailyAmount>99,95</dailyAmount>");
  ASSERT_TRUE(client_.PrintServerZReport());
  EXPECT_EQ(client_.ServerZReport().ZRepNumber(), 31);
  EXPECT_EQ(client_.ServerZReport().DailyAmount(), Amount("99.95"));
  EXPECT_THAT(Commands("printZReport"),
              ElementsAre("<printerFiscalReport><printZReport/></printerFiscalReport>"));
  OmitOnce("printZReport", "dailyAmount");
  EXPECT_THROW(client_.PrintServerZReport(), Error);
  RefuseOnce("printZReport");
  EXPECT_FALSE(client_.PrintServerZReport());
  EXPECT_EQ(client_.ServerZReport().DailyAmount(), Amount("99.95"));
}

TEST_F(ZReportTest, SimulatorPrintsItsOwnReport) {
  int32_t before = sim_->ServerZRepNumber();
  ASSERT_TRUE(client_.PrintServerZReport());
  EXPECT_EQ(client_.ServerZReport().ZRepNumber(), sim_->ServerZRepNumber());
  EXPECT_EQ(sim_->ServerZRepNumber(), before + 1);
}

TEST_F(ZReportTest, PlainGetsAreRefused) {
  try {
    client_.TillZReport().Get();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(),
                 "Get Method not allowed for TillZReport. Use Get(aTillId) or "
                 "GetCurrent(aTillId,zRepNumber).");
  }
  try {
    client_.ServerZReport().Get();
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Get Method not allowed for ServerZReport");
  }
  EXPECT_TRUE(sim_->Requests().empty());
}

}  // namespace
}  // namespace qx::rtreqtest
