// The chain verifier against a day produced by the till manager, and against
// copies of it with one thing broken at a time: each must be detected and the
// report must name the file.
#include "tools/qxtill/verify.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "manager/uRTServerManager.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "tests/manager/manager_fixture.h"

namespace qx::manager_test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class VerifyTest : public ManagerTest {
 protected:
  static constexpr char kClosure[] =
      "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>\r\n";

  // A day of four receipts from the example files, left in the queue.
  void SignExampleDay() {
    ASSERT_TRUE(Open());
    for (const char* name :
         {"01-sale-discounts.xml", "02-sale-tickets.xml", "03-refund.xml", "04-void.xml"}) {
      const std::string file = std::string(QX_SOURCE_DIR) + "/examples/receipts/" + name;
      ASSERT_TRUE(M().ProcessReceipt(ReadAll(file))) << name;
    }
  }

  std::string Queued(int nRec) {
    return QueueDir() + "/" + RTSQueueFileName("T01", M().ActualCounters().CurrentzRep(), nRec);
  }

  // Files the day as a closing would: its closure queued, a journal copy of
  // the counters, no actual file.
  void CloseLikeTheManager() {
    WriteAll(QueueDir() + "/" + RTSQueueFileName("T01", M().ActualCounters().CurrentzRep(), 9999),
             kClosure);
    fs::create_directories(TillDir() + "/Journal");
    fs::copy_file(ActualFile(), TillDir() + "/Journal/20261209183000.srtj");
    fs::rename(ActualFile(), PreviousFile());
  }

  VerifyResult Verify() {
    std::ostringstream out;
    VerifyResult r = VerifyTill(TillDir(), out);
    report_ = out.str();
    return r;
  }

  std::string report_;
};

TEST_F(VerifyTest, ADayProducedByTheLibraryVerifies) {
  SignExampleDay();
  VerifyResult r = Verify();
  EXPECT_TRUE(r.Ok()) << report_;
  EXPECT_EQ(r.receipts, 4);
  EXPECT_THAT(report_, HasSubstr("VERIFIED: 4 receipts in 1 Z reports"));

  // Filed and claimed receipts count wherever they lie, and a closed day
  // checks against its journal.
  fs::create_directories(TillDir() + "/Processed/20261209");
  fs::create_directories(TillDir() + "/Errors/20261209");
  fs::rename(Queued(1),
             TillDir() + "/Processed/20261209/" + fs::path(Queued(1)).filename().string());
  fs::rename(Queued(3), TillDir() + "/Errors/20261209/" + fs::path(Queued(3)).filename().string());
  fs::rename(Queued(2), ClaimedQueueFileName(Queued(2)));  // being delivered
  CloseLikeTheManager();
  r = Verify();
  EXPECT_TRUE(r.Ok()) << report_;
  EXPECT_THAT(report_, HasSubstr("(closed)"));
}

// Weighed goods give amounts finer than a cent. The day's figure is their
// exact sum through a restart mid-day and a closing: the next receipt's daily
// amount, the counters and the verifier agree.
TEST_F(VerifyTest, WeighedGoodsKeepOneDailyAmountThroughARestart) {
  const std::string weighed =
      "<printerFiscalReceipt><beginFiscalReceipt/><printRecItem description=\"CHEESE\" "
      "quantity=\"1.25\" unitPrice=\"4.05\" vatID=\"1\"/><printRecTotal payment=\"6\" "
      "paymentType=\"0\"/><endFiscalReceipt/></printerFiscalReceipt>";
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(weighed));
  const std::string first = ReadAll(Queued(1));
  Restart();
  ASSERT_TRUE(Open());
  EXPECT_EQ(M().ActualCounters().DailyTotal(), Currency::FromRaw(50625));
  ASSERT_TRUE(M().ProcessReceipt(weighed));
  EXPECT_EQ(ReadAll(Queued(1)), first);  // a restart changes no sealed receipt
  EXPECT_THAT(ReadAll(Queued(2)), HasSubstr("dailyAmount=\"10.125\""));
  EXPECT_EQ(M().ActualCounters().DailyTotal(), Currency::FromRaw(101250));
  Restart();
  ASSERT_TRUE(Open());
  EXPECT_EQ(M().ActualCounters().DailySales(), Currency::FromRaw(101250));
  VerifyResult r = Verify();
  EXPECT_TRUE(r.Ok()) << report_;
  CloseLikeTheManager();
  r = Verify();
  EXPECT_TRUE(r.Ok()) << report_;
}

TEST_F(VerifyTest, OneByteChangedInsideAReceiptIsDetected) {
  SignExampleDay();
  std::string text = ReadAll(Queued(2));
  const size_t at = text.find("MENU PRANZO");
  ASSERT_NE(at, std::string::npos);
  text[at] = 'X';
  WriteAll(Queued(2), text);
  VerifyResult r = Verify();
  EXPECT_FALSE(r.Ok());
  EXPECT_THAT(report_, HasSubstr(fs::path(Queued(2)).filename().string() +
                                 ": digest does not match its content"));
}

TEST_F(VerifyTest, AnAmountThatDisagreesWithItsLinesIsDetected) {
  SignExampleDay();
  std::string text = ReadAll(Queued(4));
  const size_t at = text.find("recAmount=\"");
  ASSERT_NE(at, std::string::npos);
  text.insert(at + 11, "1");
  WriteAll(Queued(4), text);
  VerifyResult r = Verify();
  EXPECT_FALSE(r.Ok());
  EXPECT_THAT(report_, HasSubstr("but its lines total"));
}

TEST_F(VerifyTest, ARemovedReceiptIsDetected) {
  SignExampleDay();
  fs::remove(Queued(2));
  VerifyResult r = Verify();
  EXPECT_FALSE(r.Ok());
  EXPECT_THAT(report_, HasSubstr(fs::path(Queued(3)).filename().string() + ": gap before receipt"));
  EXPECT_THAT(report_, HasSubstr("back link does not equal the previous receipt's digest"));
}

TEST_F(VerifyTest, TwoSwappedReceiptsAreDetected) {
  SignExampleDay();
  const std::string second = ReadAll(Queued(2));
  WriteAll(Queued(2), ReadAll(Queued(3)));
  WriteAll(Queued(3), second);
  VerifyResult r = Verify();
  EXPECT_FALSE(r.Ok());
  EXPECT_THAT(report_,
              HasSubstr(fs::path(Queued(2)).filename().string() + ": its content is receipt"));
}

TEST_F(VerifyTest, AnAlteredJournalTotalIsDetected) {
  SignExampleDay();
  CloseLikeTheManager();
  const std::string journal = TillDir() + "/Journal/20261209183000.srtj";
  std::string text = ReadAll(journal);
  const size_t at = text.find("<DailyRefunds>");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 14, "<DailyRefunds>1");
  // Off by less than a cent: the message still shows two different amounts.
  const size_t total = text.find("</DailyTotal>");
  ASSERT_NE(total, std::string::npos);
  text.insert(total, "04");
  WriteAll(journal, text);
  VerifyResult r = Verify();
  EXPECT_FALSE(r.Ok());
  EXPECT_THAT(report_, HasSubstr("20261209183000.srtj: DailyRefunds"));
  const size_t line = report_.find("20261209183000.srtj: DailyTotal ");
  ASSERT_NE(line, std::string::npos) << report_;
  std::istringstream words(report_.substr(line, report_.find('\n', line) - line));
  std::string name, what, stated, but, the, receipts, give, computed;
  words >> name >> what >> stated >> but >> the >> receipts >> give >> computed;
  EXPECT_NE(stated, computed) << report_;
}

TEST_F(VerifyTest, ATillStoppedBeforeItsFirstReceiptVerifies) {
  fs::create_directories(TillDir() + "/Queue");
  EXPECT_TRUE(Verify().Ok()) << report_;
  // Receipts, though, need the VAT map to be checked.
  SignExampleDay();
  fs::remove(TillDir() + "/vatmap.srtv");
  EXPECT_FALSE(Verify().Ok());
  EXPECT_THAT(report_, HasSubstr("vatmap.srtv"));
}

TEST_F(VerifyTest, AClosedDayWithoutItsJournalCopy) {
  SignExampleDay();
  const int32_t zRep = M().ActualCounters().CurrentzRep();
  const std::string closure = QueueDir() + "/" + RTSQueueFileName("T01", zRep, 9999);
  WriteAll(closure, kClosure);
  // The copy was not made: the previous counters still record the day.
  fs::rename(ActualFile(), PreviousFile());
  EXPECT_TRUE(Verify().Ok()) << report_;

  // A later closing replaced the previous counters and the copy is gone: the
  // day's totals and last receipt can no longer be checked.
  fs::remove(PreviousFile());
  EXPECT_FALSE(Verify().Ok()) << report_;
  EXPECT_THAT(report_, HasSubstr("its journal copy is missing"));
  fs::remove(closure);
  EXPECT_THAT(Verify().problems, testing::Contains(HasSubstr("record this day")));
  // Unless the next day was closed within the same second, which left the
  // journal no name for the copy: its chain is still checked.
  WriteAll(closure, kClosure);
  const std::string second =
      FormatDateTime("yyyymmddhhnnss", LocalFromUnixMillis(FileModifiedUnixMillis(closure) + 1000));
  kRTSCounters nextDay;  // closed without a receipt
  nextDay.New("T01");
  nextDay.SetDataSource(dsServer);
  nextDay.SetServerSerialNumber("99SIM000001");
  nextDay.SetFirstFingerPrint("token");
  nextDay.SetLastFingerPrint("token");
  nextDay.SetCurrentzRep(zRep + 1);
  nextDay.SetLastZRepDate(Now());
  fs::create_directories(TillDir() + "/Journal");
  nextDay.SetFullFileName(TillDir() + "/Journal/" + second + ".srtj");
  nextDay.Save();
  WriteAll(QueueDir() + "/" + RTSQueueFileName("T01", zRep + 1, 9999), kClosure);
  EXPECT_TRUE(Verify().Ok()) << report_;
  EXPECT_THAT(report_, HasSubstr("closed in the same second as another day"));
  fs::remove(Queued(2));
  EXPECT_FALSE(Verify().Ok());
}

// What a closing that did not complete used to leave behind: the day went on
// after its closing was recorded, was closed again, or queued two closures.
TEST_F(VerifyTest, AReceiptAfterTheClosingAndADayClosedTwiceAreReported) {
  SignExampleDay();
  const int32_t zRep = M().ActualCounters().CurrentzRep();
  const std::string closure = RTSQueueFileName("T01", zRep, 9999);
  const std::string text = "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>\r\n";
  WriteAll(QueueDir() + "/" + closure, text);
  // A closing cut short once its closure was queued; the next opening ends it.
  EXPECT_TRUE(Verify().Ok()) << report_;
  EXPECT_THAT(report_, HasSubstr("closing interrupted once its daily closure " + closure));
  // A receipt written after the closure was queued is not that.
  fs::last_write_time(Queued(4),
                      fs::last_write_time(QueueDir() + "/" + closure) + std::chrono::seconds(5));
  EXPECT_FALSE(Verify().Ok());
  EXPECT_THAT(report_,
              HasSubstr("still open although its daily closure " + closure +
                        " is queued or delivered, and " + fs::path(Queued(4)).filename().string() +
                        " was written after it"));
  M().ActualCounters().SetLastZRepDate(45000.5);
  M().ActualCounters().Save();
  fs::create_directories(TillDir() + "/Journal");
  fs::copy_file(ActualFile(), TillDir() + "/Journal/20261209183000.srtj");
  const std::string file = std::string(QX_SOURCE_DIR) + "/examples/receipts/01-sale-discounts.xml";
  ASSERT_TRUE(M().ProcessReceipt(ReadAll(file)));
  EXPECT_FALSE(Verify().Ok());
  EXPECT_THAT(report_,
              HasSubstr(fs::path(Queued(5)).filename().string() + ": numbered in Z report " +
                        std::to_string(zRep) + " after its closure (20261209183000.srtj)"));

  M().ActualCounters().SetLastZRepDate(45000.75);
  M().ActualCounters().Save();
  fs::rename(ActualFile(), PreviousFile());
  fs::create_directories(TillDir() + "/Processed/20261209");
  WriteAll(TillDir() + "/Processed/20261209/" + closure, text);
  EXPECT_FALSE(Verify().Ok());
  EXPECT_THAT(report_,
              HasSubstr("Z report " + std::to_string(zRep) +
                        ": closed 2 times (20261209183000.srtj, QX_counters.previous.srtc)"));
  EXPECT_THAT(report_, HasSubstr("2 daily closure documents for one day"));
}

// What a process killed inside a signing leaves: the receipt queued, the
// counters one receipt behind. It verifies, with a note; two receipts beyond
// the counters do not.
TEST_F(VerifyTest, AReceiptQueuedByAnUnfinishedSigningIsANote) {
  SignExampleDay();
  const std::string counters = ReadAll(ActualFile());
  const std::string file = std::string(QX_SOURCE_DIR) + "/examples/receipts/01-sale-discounts.xml";
  // Written before the look began (one signed while it reads is left out).
  auto before = [](const std::string& aFile) {
    fs::last_write_time(aFile, fs::last_write_time(aFile) - std::chrono::seconds(2));
  };
  ASSERT_TRUE(M().ProcessReceipt(ReadAll(file)));
  WriteAll(ActualFile(), counters);
  before(Queued(5));
  EXPECT_TRUE(Verify().Ok()) << report_;
  EXPECT_THAT(report_, HasSubstr("receipt 5 was queued by a signing that did not finish"));
  ASSERT_TRUE(M().ProcessReceipt(ReadAll(file)));
  WriteAll(ActualFile(), counters);
  before(Queued(6));
  EXPECT_FALSE(Verify().Ok());
}

TEST_F(VerifyTest, AMissingTillDirectoryFails) {
  std::ostringstream out;
  EXPECT_FALSE(VerifyTill(TillDir("nowhere"), out).Ok());
}

}  // namespace
}  // namespace qx::manager_test
