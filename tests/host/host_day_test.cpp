// CLOSETILL and XREPORT end to end, and the day closing behind them: the
// closed day's document, the files the closing leaves, the comparison with
// the server's totals, a second day, and a host restarted mid-day.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>

#include "manager/uRTServerManager.h"
#include "manager/uRTServerManager_Counters.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/files.h"
#include "support/host_scenario.h"

namespace qx::test {
namespace {

class HostDay : public HostScenario {
 protected:
  std::string PreviousFile() const { return TillDir() + "/QX_counters.previous.srtc"; }
  std::string ActualFile() const { return TillDir() + "/QX_counters.actual.srtc"; }
  std::string JournalDir() const { return TillDir() + "/Journal"; }

  // Keeps documents of one kind in the queue: the server refuses them with a
  // blocking code.
  void HoldBack(const std::string& aKind) {
    rtsim::Fault fault;
    fault.match = aKind;
    fault.count = -1;
    Server().AddFault(fault);
  }
  void ServerDown() {
    rtsim::Fault fault;
    fault.kind = rtsim::FaultKind::Drop;
    fault.count = -1;
    Server().AddFault(fault);
  }
};

TEST_F(HostDay, CloseAfterSalesRefundsAndVoids) {
  ASSERT_EQ(OpenTill().code, 0);
  ASSERT_EQ(Library().Sign(SimpleReceipt("0", "120.50")).code, 0);
  ASSERT_EQ(Library().Sign(SimpleReceipt("1", "3.00")).code, 0);
  ASSERT_EQ(Library().Sign(SimpleReceipt("3", "2.25")).code, 0);
  ASSERT_TRUE(WaitForEmptyQueue());
  const std::time_t before = std::time(nullptr);

  HostCall close = Library().Close();
  ASSERT_EQ(close.code, 0) << close.error.value_or("");
  EXPECT_EQ(close.error, std::nullopt);
  ASSERT_TRUE(close.result);
  EXPECT_TRUE(close.result->starts_with("<Result><nRecNumber>3</nRecNumber><zRepNumber>1<"))
      << *close.result;
  EXPECT_EQ(ElementText(*close.result, "ServerSerialNumber"), "99SIM000001");
  EXPECT_EQ(ElementText(*close.result, "TillSerialNumber"), "T01");
  EXPECT_EQ(ElementText(*close.result, "DailyTotal"), "120.5");
  EXPECT_EQ(ElementText(*close.result, "DailySales"), "120.5");
  EXPECT_EQ(ElementText(*close.result, "DailyRefunds"), "3");
  EXPECT_EQ(ElementText(*close.result, "DailyVoids"), "2.25");
  // The closing time in UTC.
  const std::string stamp = *ElementText(*close.result, "zRepDateTime");
  std::tm utc{};
  gmtime_r(&before, &utc);
  char expected[32];
  std::strftime(expected, sizeof expected, "%Y-%m-%dT%H:", &utc);
  EXPECT_TRUE(stamp.starts_with(expected) && stamp.ends_with("Z") && stamp.size() == 24) << stamp;

  // The closed day: previous counters, one journal copy of them, no actual
  // file, and the closure delivered after the receipts.
  EXPECT_TRUE(FileExists(PreviousFile()));
  EXPECT_FALSE(FileExists(ActualFile()));
  const auto journal = FileNames(JournalDir(), ".srtj");
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(ReadFileBytes(JournalDir() + "/" + journal[0]), ReadFileBytes(PreviousFile()));
  ASSERT_TRUE(WaitForEmptyQueue());
  EXPECT_TRUE(FindDocument("T01-0001-9999.srtd"));
  EXPECT_EQ(Server().Till("T01")->zRepNumber, 2);

  // The X report right after: cleared counters.
  HostCall report = Library().XReport();
  EXPECT_EQ(report.code, 0);
  EXPECT_EQ(report.result,
            "<Result><nRecNumber>0</nRecNumber><zRepNumber>0</zRepNumber>"
            "<zRepDateTime>1899-12-30T00:00:00.000Z</zRepDateTime><ServerSerialNumber/>"
            "<TillSerialNumber/><DailyTotal>0</DailyTotal><DailySales>0</DailySales>"
            "<DailyRefunds>0</DailyRefunds><DailyVoids>0</DailyVoids></Result>");
}

TEST_F(HostDay, DifferingTotalsStillCloseAndLeaveMessages) {
  HoldBack("createReceipt");  // the server never sees the day's sales
  ASSERT_EQ(OpenTill().code, 0);
  ASSERT_EQ(Library().Sign(SimpleReceipt("0", "11.25")).code, 0);
  HostCall close = Library().Close();
  EXPECT_EQ(close.code, 0);
  EXPECT_EQ(close.error, std::nullopt);
  EXPECT_EQ(ElementText(*close.result, "DailySales"), "11.25");
}

TEST_F(HostDay, XReportWithTheServerDown) {
  ASSERT_EQ(OpenTill().code, 0);
  ASSERT_EQ(Library().Sign(SimpleReceipt("0", "4.00")).code, 0);
  ServerDown();
  HostCall report = Library().XReport();
  EXPECT_EQ(report.code, -1);
  // The reason is this request's, not an older message of the error list.
  EXPECT_TRUE(report.error && report.error->starts_with("Http error"))
      << report.error.value_or("(none)");
  ASSERT_TRUE(report.result);
  EXPECT_EQ(ElementText(*report.result, "nRecNumber"), "1");
  EXPECT_EQ(ElementText(*report.result, "DailySales"), "4");
  EXPECT_EQ(ElementText(*report.result, "zRepDateTime"), "1899-12-30T00:00:00.000Z");
}

TEST_F(HostDay, OpeningAgainstAStalledServerEndsByTheDeadline) {
  rtsim::Fault stall;
  stall.kind = rtsim::FaultKind::Delay;
  stall.count = -1;
  stall.delayMs = 600000;
  Server().AddFault(stall);
  setenv("QX_HTTP_DEADLINE_MS", "500", 1);
  const auto start = std::chrono::steady_clock::now();
  const HostCall open = OpenTill();
  const auto took = std::chrono::steady_clock::now() - start;
  unsetenv("QX_HTTP_DEADLINE_MS");
  EXPECT_EQ(open.code, -1);
  EXPECT_EQ(open.error, "Server not available and no actual or previous counters");
  // A few exchanges, each ended at the deadline: far below the server's hold
  // and the transport's 40-second idle limit.
  EXPECT_LT(took, std::chrono::seconds(20));
}

TEST_F(HostDay, ClosureNamesCarryTheZReportNumber) {
  HoldBack("createDailyClosure");
  Server().SetTill(rtsim::ParseTill("T01 open z=7 doc=1"));
  ASSERT_EQ(OpenTill("T01").code, 0);
  ASSERT_EQ(Library().Close().code, 0);
  // Held back, a closure may be claimed for delivery already.
  const auto queued = [this](const std::string& aTill) {
    std::vector<std::string> names = FileNames(QueueDir(aTill), ".srtd");
    for (std::string& name : names) name = UnclaimedQueueFileName(name);
    return names;
  };
  EXPECT_EQ(queued("T01"), std::vector<std::string>{"T01-0007-9999.srtd"});
  // The delivery thread may claim it during the look-up or before the read:
  // then it is read under its claimed name.
  std::string text;
  for (int attempt = 0; attempt < 3 && text.empty(); ++attempt) {
    const auto closure = FindDocument("T01-0007-9999.srtd");
    try {
      if (closure) text = ReadFileBytes(*closure);
    } catch (const Error&) {
    }
  }
  EXPECT_EQ(text, "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>\r\n");
  // A five-digit Z report number does not fit a token: T02 resumes a day
  // whose counters say 12345.
  kRTSCounters counters;
  counters.New("T02");
  counters.SetCurrentzRep(12345);
  counters.SetFirstFingerPrint("0123456789abcdef");
  counters.SetLastFingerPrint("0123456789abcdef");
  counters.SetServerSerialNumber("99SIM000001");
  ASSERT_TRUE(ForceDirectories(TillDir("T02")));
  counters.SetFullFileName(TillDir("T02") + "/QX_counters.actual.srtc");
  counters.Save();
  ASSERT_EQ(OpenTill("T02").code, 0);
  ASSERT_EQ(Library().Close().code, 0);
  EXPECT_EQ(queued("T02"), std::vector<std::string>{"T02-12345-9999.srtd"});
}

TEST_F(HostDay, AnExistingJournalFileIsKept) {
  ASSERT_EQ(OpenTill().code, 0);
  // Occupy every name the closing can take in the next minutes.
  const TDateTime now = Now();
  for (int second = -2; second < 300; ++second) {
    const std::string name = FormatDateTime("yyyymmddhhnnss", now + second / 86400.0) + ".srtj";
    WriteFileAtomic(JournalDir() + "/" + name, "kept");
  }
  const size_t occupied = FileNames(JournalDir(), ".srtj").size();
  HostCall close = Library().Close();
  EXPECT_EQ(close.code, 0);
  EXPECT_TRUE(FileExists(PreviousFile()));
  const auto journal = FileNames(JournalDir(), ".srtj");
  EXPECT_EQ(journal.size(), occupied);
  for (const std::string& name : journal) {
    EXPECT_EQ(ReadFileBytes(JournalDir() + "/" + name), "kept");
  }
}

TEST_F(HostDay, ClosingWithoutAnOpenDayIsRefused) {
  ASSERT_EQ(OpenTill().code, 0);
  ASSERT_EQ(Library().Sign(SimpleReceipt("0", "5.00")).code, 0);
  ASSERT_EQ(Library().Close().code, 0);
  ASSERT_TRUE(WaitForEmptyQueue());
  const std::string closedDay = ReadFileBytes(PreviousFile());
  const auto journal = FileNames(JournalDir(), ".srtj");

  HostCall again = Library().Close();
  EXPECT_EQ(again.code, -1);
  EXPECT_EQ(again.error, "Day not opened");
  EXPECT_EQ(again.result, std::nullopt);
  EXPECT_EQ(ReadFileBytes(PreviousFile()), closedDay);
  EXPECT_FALSE(FileExists(ActualFile()));
  EXPECT_EQ(FileNames(JournalDir(), ".srtj"), journal);
  EXPECT_TRUE(FileNames(QueueDir(), ".srtd").empty());
}

TEST_F(HostDay, ASecondDayOpensFromTheNextToken) {
  ASSERT_EQ(OpenTill().code, 0);
  HostCall first = Library().Sign(SimpleReceipt("0", "10.00"));
  ASSERT_EQ(first.code, 0);
  EXPECT_EQ(ElementText(*first.result, "zRep"), "1");
  ASSERT_EQ(Library().Close().code, 0);

  // The opening waits for the closure to reach the server, then asks for a token.
  HostCall open = OpenTill();
  ASSERT_EQ(open.code, 0) << open.error.value_or("");
  EXPECT_EQ(RequestCount("createToken"), 2u);
  HostCall second = Library().Sign(SimpleReceipt("0", "7.00"));
  ASSERT_EQ(second.code, 0) << second.error.value_or("");
  EXPECT_EQ(ElementText(*second.result, "zRep"), "2");
  EXPECT_EQ(ElementText(*second.result, "nDoc"), "1");
  HostCall report = Library().XReport();
  EXPECT_EQ(ElementText(*report.result, "DailySales"), "7");
  ASSERT_TRUE(WaitForEmptyQueue());
  EXPECT_EQ(Server().Till("T01")->nextDocNumber, 2);
}

TEST_F(HostDay, ARestartMidDayResumesIt) {
  ASSERT_EQ(OpenTill().code, 0);
  HostCall first = Library().Sign(SimpleReceipt("0", "10.00"));
  ASSERT_EQ(first.code, 0);
  Unload();  // the host stops; its pusher with it

  ASSERT_EQ(OpenTill().code, 0);
  EXPECT_EQ(RequestCount("createToken"), 1u);
  // Weighed goods: a day amount finer than a cent, the same through every path.
  HostCall second = Library().Sign(
      "<printerFiscalReceipt><beginFiscalReceipt/><printRecItem description=\"CHEESE\" "
      "quantity=\"1.25\" unitPrice=\"4.05\" vatID=\"1\"/><printRecTotal payment=\"6\" "
      "paymentType=\"0\"/><endFiscalReceipt/></printerFiscalReceipt>");
  ASSERT_EQ(second.code, 0) << second.error.value_or("");
  EXPECT_EQ(ElementText(*second.result, "nDoc"), "2");
  const auto queued = FiledDocument("T01-0001-0002.srtd");
  ASSERT_TRUE(queued);
  EXPECT_NE(ReadFileBytes(*queued).find("<hash fingerPrint=\"" +
                                        *ElementText(*first.result, "Signature") + "\""),
            std::string::npos);
  EXPECT_NE(ReadFileBytes(*queued).find("dailyAmount=\"15.0625\""), std::string::npos);
  ASSERT_TRUE(WaitForEmptyQueue());
  HostCall report = Library().XReport();
  ASSERT_EQ(report.code, 0);
  EXPECT_EQ(ElementText(*report.result, "DailyTotal"), "15.0625");
  HostCall close = Library().Close();
  EXPECT_EQ(close.code, 0) << close.error.value_or("");
  EXPECT_EQ(ElementText(*close.result, "DailySales"), "15.0625");
  EXPECT_EQ(ElementText(*close.result, "DailyTotal"), "15.0625");
}

}  // namespace
}  // namespace qx::test
