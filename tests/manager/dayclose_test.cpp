// Day closing in the till manager, without a pusher: the day's receipts stay
// queued, so the server's report knows nothing of them and every total differs.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "manager/manager_fixture.h"
#include "manager/uRTServerManager.h"
#include "manager/uRTServerManager_Counters.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/files.h"
#include "rtserver/uRTSEPS20_ZReport.h"
#include "support/scoped_zone.h"

namespace qx::manager_test {
namespace {

using ::testing::ElementsAre;

class DayCloseTest : public ManagerTest {};

TEST_F(DayCloseTest, ComparesEveryTotalAndRotatesTheCounters) {
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(Sale("120.50")));
  ASSERT_TRUE(M().ProcessReceipt(OneItem("<beginFiscalReceipt docType=\"1\"/>", "3.00")));
  ASSERT_TRUE(M().ProcessReceipt(OneItem("<beginFiscalReceipt docType=\"3\"/>", "2.25")));
  const size_t before = M().Errors().size();

  ASSERT_TRUE(M().DayClose());
  EXPECT_FALSE(M().DayOpened());
  std::vector<std::string> added(M().Errors().begin() + before, M().Errors().end());
  EXPECT_THAT(added, ElementsAre("DailySales 120.5 different from RT Server 0",
                                 "DailyRefunds 3 different from RT Server 0",
                                 "DailyVoids 2.25 different from RT Server 0",
                                 "DailyAmount 120.5 different from RT Server Daily Amount 0"));
  EXPECT_EQ(M().PreviousCounters().CurrentzRep(), 1);
  EXPECT_EQ(M().PreviousCounters().CurrentnRec(), 3);
  EXPECT_NE(M().PreviousCounters().LastZRepDate(), 0.0);
  EXPECT_EQ(M().ActualCounters().LastFingerPrint(), "");
  EXPECT_EQ(M().ActualCounters().CurrentzRep(), 0);
  EXPECT_FALSE(FileExists(ActualFile()));
  EXPECT_EQ(ReadFileBytes(QueueDir() + "/T01-0001-9999.srtd"),
            "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>\r\n");
  EXPECT_EQ(M().DataQueueLength(), 4);
  // Receipts are refused until the next opening.
  EXPECT_FALSE(M().ProcessReceipt(Sale("1.00")));
  EXPECT_EQ(M().LastError(), "Day not opened");
}

TEST_F(DayCloseTest, AServerThatCannotBeAskedDoesNotStopTheClosing) {
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(Sale("4.00")));
  ServerDown();
  ASSERT_TRUE(M().DayClose());
  EXPECT_EQ(M().LastError(), "DailyAmount 4 different from RT Server Daily Amount 0");
  EXPECT_TRUE(FileExists(PreviousFile()));
  EXPECT_TRUE(FileExists(QueueDir() + "/T01-0001-9999.srtd"));
}

TEST_F(DayCloseTest, AnIncompleteReportRaisesBeforeAnythingIsWritten) {
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(Sale("4.00")));
  const std::string counters = ReadFileBytes(ActualFile());
  rtsim::Fault fault;
  fault.kind = rtsim::FaultKind::OmitElement;
  fault.match = "fiscalInformation";
  fault.element = "dailyAmount";
  Sim().AddFault(fault);
  EXPECT_THROW(M().DayClose(), Error);
  EXPECT_TRUE(M().DayOpened());
  EXPECT_EQ(ReadFileBytes(ActualFile()), counters);
  EXPECT_FALSE(FileExists(QueueDir() + "/T01-0001-9999.srtd"));
  EXPECT_FALSE(FileExists(PreviousFile()));
}

TEST_F(DayCloseTest, AClosureThatCannotBeQueuedChangesNothing) {
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(Sale("4.00")));
  const std::string counters = ReadFileBytes(ActualFile());
  WriteFileAtomic(QueueDir() + "/T01-0001-9999.srtd", "undelivered\r\n");
  EXPECT_THROW(M().DayClose(), Error);
  EXPECT_TRUE(M().DayOpened());
  EXPECT_EQ(ReadFileBytes(QueueDir() + "/T01-0001-9999.srtd"), "undelivered\r\n");
  EXPECT_EQ(ReadFileBytes(ActualFile()), counters);
  EXPECT_FALSE(FileExists(PreviousFile()));
}

TEST_F(DayCloseTest, ReceiptNumber9999IsRefusedAndTheDayStillCloses) {
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(Sale("4.00")));
  M().ActualCounters().SetCurrentnRec(9998);
  try {
    M().ProcessReceipt(Sale("1.00"));
    FAIL() << "signed";
  } catch (const Error& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("close the day first"));
  }
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 9998);
  EXPECT_EQ(M().DataQueueLength(), 1);
  ASSERT_TRUE(M().DayClose());
  EXPECT_EQ(ReadFileBytes(QueueDir() + "/T01-0001-9999.srtd"),
            "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>\r\n");
  EXPECT_EQ(M().PreviousCounters().CurrentnRec(), 9998);
}

// A closing cut short after its closure was queued: the counters could not be
// moved (the previous counters' name is taken by a directory), or the process
// died right after queueing, or after stamping and the journal copy. No
// receipt is taken meanwhile, and the next opening completes the closing
// once, then starts the next Z report. The till's clock is local time ahead
// of UTC, as in the shops, while file times are UTC.
TEST_F(DayCloseTest, AnInterruptedClosingIsCompletedByTheNextOpening) {
  const ScopedZone zone(kRome);
  enum class Cut { FailedMove, FailedJournalCopy, AfterQueueing, AfterJournalCopy };
  for (Cut cut :
       {Cut::FailedMove, Cut::FailedJournalCopy, Cut::AfterQueueing, Cut::AfterJournalCopy}) {
    SCOPED_TRACE(static_cast<int>(cut));
    std::filesystem::remove_all(TillDir());
    Restart();
    ASSERT_TRUE(Open());
    ASSERT_TRUE(M().ProcessReceipt(Sale("4.00")));
    const std::string closure = QueueDir() + "/T01-0001-9999.srtd";
    if (cut == Cut::FailedMove) {
      ForceDirectories(PreviousFile() + "/in-the-way");
      EXPECT_THROW(M().DayClose(), Error);
      EXPECT_FALSE(M().DayOpened());
      EXPECT_FALSE(M().ProcessReceipt(Sale("1.00")));
      EXPECT_EQ(M().LastError(), "Day not opened");
      std::filesystem::remove_all(PreviousFile());
      // Reopened in the same process after another till's opening: the
      // switch back finds the closing unfinished and completes it.
      ASSERT_TRUE(Open("T02"));
    } else if (cut == Cut::FailedJournalCopy) {
      // A closing whose journal copy cannot be written is not complete.
      std::filesystem::remove_all(TillDir() + "/Journal");
      WriteFileAtomic(TillDir() + "/Journal", "in the way");
      EXPECT_THROW(M().DayClose(), Error);
      EXPECT_FALSE(M().DayOpened());
      EXPECT_TRUE(FileExists(ActualFile()));
      EXPECT_FALSE(FileExists(PreviousFile()));
      std::filesystem::remove(TillDir() + "/Journal");
      Restart();
    } else {
      WriteFileAtomic(closure,
                      "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>\r\n");
      if (cut == Cut::AfterJournalCopy) {
        M().ActualCounters().SetLastZRepDate(Now());
        M().ActualCounters().Save();
        ForceDirectories(TillDir() + "/Journal");
        WriteFileAtomic(TillDir() + "/Journal/20200101000000.srtj", ReadFileBytes(ActualFile()));
      }
      Restart();
    }
    ASSERT_TRUE(Open());
    EXPECT_TRUE(FileExists(closure));
    EXPECT_EQ(M().PreviousCounters().CurrentzRep(), 1);
    EXPECT_EQ(M().PreviousCounters().CurrentnRec(), 1);
    EXPECT_GE(M().PreviousCounters().LastZRepDate(), 1.0);
    EXPECT_EQ(M().ActualCounters().CurrentzRep(), 2);
    EXPECT_EQ(M().ActualCounters().CurrentnRec(), 0);
    EXPECT_EQ(ListFiles(TillDir() + "/Journal", ".srtj").size(), 1u);
    ASSERT_TRUE(M().ProcessReceipt(Sale("1.00")));
    EXPECT_TRUE(FileExists(QueueDir() + "/T01-0002-0001.srtd"));
  }
}

// A closure of the same Z number written before this day began is an
// earlier day's (one the server refused, say): the opening goes on with this
// day. A file's time may lag the clock that stamped the day's start by a tick
// of a coarse clock (20 ms): a closure that much older is this day's.
TEST_F(DayCloseTest, AnEarlierDaysClosureOfTheSameNumberDoesNotCloseThisDay) {
  const ScopedZone zone(kRome);
  struct Case {
    const char* dir;
    int64_t ageMillis;  // before the day's start
    bool thisDays;
  };
  for (const Case& c : {Case{"Errors/20200101", 30 * 60 * 1000, false}, Case{"Queue", 30, false},
                        Case{"Queue", 10, true}}) {
    SCOPED_TRACE(std::string(c.dir) + " " + std::to_string(c.ageMillis) + " ms");
    std::filesystem::remove_all(TillDir());
    Restart();
    ASSERT_TRUE(Open());
    ASSERT_TRUE(M().ProcessReceipt(Sale("4.00")));
    kRTSCounters stored;
    ASSERT_TRUE(stored.Load(ActualFile()));  // read back: its times are UTC
    const int64_t dayStart = std::llround((stored.FirstUpdated() - 25569.0) * 86400000.0);
    const std::string filed = TillDir() + "/" + c.dir + "/T01-0001-9999.srtd";
    ASSERT_TRUE(ForceDirectories(TillDir() + "/" + c.dir));
    WriteFileAtomic(filed, "<createDailyClosure><till tillId=\"T01\" /></createDailyClosure>\r\n");
    const int64_t at = dayStart - c.ageMillis;
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = at / 1000;
    times[1].tv_nsec = (at % 1000) * 1000000;
    ASSERT_EQ(::utimensat(AT_FDCWD, filed.c_str(), times, 0), 0);
    Restart();
    ASSERT_TRUE(Open());
    if (c.thisDays) {
      EXPECT_EQ(M().PreviousCounters().CurrentzRep(), 1);
      EXPECT_EQ(M().ActualCounters().CurrentzRep(), 2);
    } else {
      EXPECT_EQ(M().ActualCounters().CurrentzRep(), 1);
      EXPECT_EQ(M().ActualCounters().CurrentnRec(), 1);
      ASSERT_TRUE(M().ProcessReceipt(Sale("1.00")));
      EXPECT_TRUE(FileExists(QueueDir() + "/T01-0001-0002.srtd"));
    }
  }
}

// The server refuses the daily closure: the next morning's opening fails,
// naming the refused closure and what support must do, and numbers nothing,
// until support has closed the day on the server and filed the closure as
// delivered.
TEST_F(DayCloseTest, AClosureTheServerRefusedStopsTheNumberingUntilSupportSettlesIt) {
  ::setenv("QX_PUSHER_PAUSE_MS", "20", 1);
  const std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(root_);  // the pusher's log goes below it
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(Sale("4.00")));
  rtsim::Fault refuse;
  refuse.match = "createDailyClosure";
  refuse.code = "-30";
  refuse.status = "Closure refused";
  Sim().AddFault(refuse);
  M().StartPusher();
  ASSERT_TRUE(M().DayClose());
  const std::string refused =
      TillDir() + "/Errors/" + FormatDateTime("yyyymmdd", Now()) + "/T01-0001-9999.srtd";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!FileExists(refused) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(FileExists(refused));
  M().StopPusher();
  std::filesystem::current_path(cwd);
  ::unsetenv("QX_PUSHER_PAUSE_MS");

  Restart();
  EXPECT_FALSE(Open());
  EXPECT_NE(M().LastError().find("refused the daily closure of Z report 1 (" + refused + ")"),
            std::string::npos)
      << M().LastError();
  EXPECT_FALSE(M().ProcessReceipt(Sale("1.00")));
  EXPECT_FALSE(FileExists(ActualFile()));

  // Filing the closure as delivered is not enough while the server's Z
  // report 1 is still running: its token would number into it.
  const std::string processed = TillDir() + "/Processed/" + FormatDateTime("yyyymmdd", Now());
  ASSERT_TRUE(ForceDirectories(processed));
  ASSERT_TRUE(MoveFileNoReplace(refused, processed + "/T01-0001-9999.srtd"));
  EXPECT_FALSE(Open());
  EXPECT_EQ(M().LastError(),
            "The RT server has not closed Z report 1, which this till has closed: support must "
            "close Z report 1 on the RT server");
  EXPECT_FALSE(FileExists(ActualFile()));
  // Support closes Z report 1 on the server.
  kEPSRTServer support;
  support.Setup(Sim().BaseAddress(), Sim().Port(), "", "");
  ASSERT_TRUE(support.SendRequest(fpServer, kEPSRTServer_TillZReport::GetMessage("T01")));
  ASSERT_TRUE(Open());
  EXPECT_EQ(M().ActualCounters().CurrentzRep(), 2);
}

}  // namespace
}  // namespace qx::manager_test
