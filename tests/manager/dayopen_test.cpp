// Day opening: resuming a day, starting one from a server token or from the
// previous day's counters, the wait for the queue, and the failures.
#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "manager/manager_fixture.h"
#include "platform/error.h"
#include "platform/files.h"
#include "rtserver/uRTSEPS20_Info.h"
#include "rtserver/uRTSEPS20_Till.h"

namespace qx::manager_test {
namespace {

using namespace std::chrono_literals;
using DayOpenTest = ManagerTest;

// Polls |done| until it holds or a generous deadline passes.
template <class F>
bool WaitUntil(F done) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST_F(DayOpenTest, NewDayFromTheServerToken) {
  SetServerTill("T01", 12, 1);
  ASSERT_TRUE(Open());
  EXPECT_TRUE(M().DayOpened());
  const kEPSRTServer_Token* token = M().Server().TokenMap().GetToken("T01");
  ASSERT_NE(token, nullptr);
  const kRTSCounters& c = M().ActualCounters();
  EXPECT_EQ(c.DataSource(), dsServer);
  EXPECT_EQ(c.FirstFingerPrint(), token->Token());
  EXPECT_EQ(c.LastFingerPrint(), token->Token());
  EXPECT_EQ(c.ServerSerialNumber(), "99SIM000001");
  EXPECT_EQ(c.TillSerialNumber(), "T01");
  EXPECT_EQ(c.CurrentzRep(), 12);
  EXPECT_EQ(c.CurrentnRec(), 0);
  EXPECT_EQ(c.DailyTotal(), Currency());
  EXPECT_EQ(c.FullFileName(), ActualFile());

  // The day's file holds the same.
  kRTSCounters stored;
  ASSERT_TRUE(stored.Load(ActualFile()));
  EXPECT_EQ(stored.LastFingerPrint(), token->Token());
  EXPECT_EQ(stored.CurrentzRep(), 12);
  EXPECT_EQ(M().LastError(), "");
}

TEST_F(DayOpenTest, TokenNumberingAndDailyAmount) {
  SetServerTill("T01", 3, 8, Currency::FromUnits(10));
  ASSERT_TRUE(Open());
  const kRTSCounters& c = M().ActualCounters();
  EXPECT_EQ(c.CurrentzRep(), 3);
  EXPECT_EQ(c.CurrentnRec(), 7);
  EXPECT_EQ(c.DailyTotal(), Currency::FromUnits(10));
  EXPECT_EQ(c.DailySales(), Currency::FromUnits(10));
  EXPECT_EQ(c.DailyRefunds(), Currency());
  EXPECT_EQ(c.DailyVoids(), Currency());
}

TEST_F(DayOpenTest, SecondOpeningResumesWithoutAskingTheServerAgain) {
  ASSERT_TRUE(Open());
  const std::string before = ReadFileBytes(ActualFile());
  const size_t headerRequests = CountRequests("3216");
  ASSERT_TRUE(Open());
  EXPECT_TRUE(M().DayOpened());
  EXPECT_EQ(CountRequests("createToken"), 1u);
  EXPECT_EQ(CountRequests("3216"), headerRequests);
  EXPECT_EQ(ReadFileBytes(ActualFile()), before);  // nothing written
}

TEST_F(DayOpenTest, RestartResumesTheStoredDay) {
  SetServerTill("T01", 5, 3);
  ASSERT_TRUE(Open());
  const std::string link = M().ActualCounters().LastFingerPrint();
  const std::string before = ReadFileBytes(ActualFile());
  // What a killed process left: temporary files of its writes and a receipt
  // it was taking back. Not "notes.tmp": the store never writes that name.
  const std::vector<std::string> leftovers = {TillDir() + "/.QX_counters.actual.srtc.99.0.tmp",
                                              QueueDir() + "/.T01-0005-0003.srtd.99.1.tmp",
                                              QueueDir() + "/T01-0005-0003.srtd.withdrawn"};
  for (const std::string& file : leftovers) WriteFileAtomic(file, "left");
  WriteFileAtomic(QueueDir() + "/notes.tmp", "kept");
  Restart();
  // A folder of filed documents that cannot be listed fails the opening: a
  // receipt filed there and not counted would have its number issued again.
  std::filesystem::rename(TillDir() + "/Processed", TillDir() + "/Processed.away");
  WriteFileAtomic(TillDir() + "/Processed", "in the way");
  EXPECT_THROW(Open(), Error);
  EXPECT_FALSE(M().DayOpened());
  std::filesystem::remove(TillDir() + "/Processed");
  std::filesystem::rename(TillDir() + "/Processed.away", TillDir() + "/Processed");
  ASSERT_TRUE(Open());
  EXPECT_EQ(M().ActualCounters().LastFingerPrint(), link);
  EXPECT_EQ(M().ActualCounters().CurrentzRep(), 5);
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 2);
  EXPECT_EQ(CountRequests("createToken"), 1u);
  EXPECT_EQ(ReadFileBytes(ActualFile()), before);
  for (const std::string& file : leftovers) EXPECT_FALSE(FileExists(file)) << file;
  EXPECT_TRUE(FileExists(QueueDir() + "/notes.tmp"));
}

TEST_F(DayOpenTest, MalformedCountersFileRaisesAndLeavesNoDayOpen) {
  ASSERT_TRUE(Open());
  WriteFileAtomic(ActualFile(), "<RTSCounters><DataSource>server</RTSCounters>");
  EXPECT_THROW(Open(), Error);
  EXPECT_FALSE(M().DayOpened());
  Restart();
  EXPECT_THROW(Open(), Error);
  EXPECT_FALSE(M().DayOpened());
}

TEST_F(DayOpenTest, CountersFileWithoutFingerprintRefusesEveryOpening) {
  ForceDirectories(TillDir());
  kRTSCounters broken;
  broken.New("T01");
  broken.SetServerSerialNumber("99SIM000001");
  broken.SetFirstFingerPrint("first");
  broken.SetFullFileName(ActualFile());
  broken.Save();  // LastFingerPrint empty
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(Open());
    EXPECT_FALSE(M().DayOpened());
    EXPECT_EQ(M().LastError(), "Unable to obtain fingerprint or token");
  }
  EXPECT_TRUE(FileExists(ActualFile()));
  EXPECT_EQ(CountRequests("createToken"), 0u);
  EXPECT_FALSE(M().ProcessReceipt(Sale("1.00")));
  EXPECT_EQ(M().LastError(), "Day not opened");
}

TEST_F(DayOpenTest, DocumentsStillQueuedOpenTheDayLocallyWithoutAToken) {
  WritePreviousDay("T01", 6, "link-of-the-previous-day");
  FillQueue("T01", 3);
  ASSERT_TRUE(Open());
  const kRTSCounters& c = M().ActualCounters();
  EXPECT_EQ(c.DataSource(), dsLocal);
  EXPECT_EQ(c.CurrentzRep(), 7);
  EXPECT_EQ(c.CurrentnRec(), 0);
  EXPECT_EQ(c.DailyTotal(), Currency());
  EXPECT_EQ(c.FirstFingerPrint(), "link-of-the-previous-day");
  EXPECT_EQ(c.LastFingerPrint(), "link-of-the-previous-day");
  EXPECT_EQ(c.ServerSerialNumber(), "99SIM000001");
  EXPECT_EQ(c.TillSerialNumber(), "T01");
  EXPECT_EQ(CountRequests("createToken"), 0u);
  EXPECT_EQ(M().PreviousCounters().CurrentzRep(), 6);
  EXPECT_TRUE(FileExists(ActualFile()));
}

TEST_F(DayOpenTest, ServerAwayOpensTheDayLocally) {
  WritePreviousDay("T01", 41, "previous-link");
  ServerDown();
  ASSERT_TRUE(Open());
  EXPECT_EQ(M().ActualCounters().DataSource(), dsLocal);
  EXPECT_EQ(M().ActualCounters().CurrentzRep(), 42);
  EXPECT_EQ(M().ActualCounters().LastFingerPrint(), "previous-link");
}

TEST_F(DayOpenTest, WaitsWhileTheQueueDrainsThenAsksForAToken) {
  setenv("QX_QUEUE_WAIT_MS", "1000", 1);
  WritePreviousDay("T01", 6, "previous-link");
  const std::vector<std::string> files = FillQueue("T01", 4);
  SetServerTill("T01", 9, 1);
  // Stands in for a slow pusher: one document every 400 ms once the opening
  // has gone past the header lines, so draining takes several wait steps
  // and every step sees at least one delivery.
  std::thread pusher([&] {
    WaitUntil([&] { return FileExists(TillDir() + "/headers.srth"); });
    auto next = std::chrono::steady_clock::now();
    for (const std::string& f : files) {
      next += 400ms;
      std::this_thread::sleep_until(next);
      DeleteFile(f);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const bool opened = Open();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  pusher.join();
  ASSERT_TRUE(opened);
  EXPECT_GE(elapsed, 1600ms);
  EXPECT_EQ(M().ActualCounters().DataSource(), dsServer);
  EXPECT_EQ(M().ActualCounters().CurrentzRep(), 9);
  EXPECT_EQ(CountRequests("createToken"), 1u);
}

TEST_F(DayOpenTest, FirstOpeningWithoutServerOrPreviousCountersRaises) {
  ServerDown();
  try {
    Open();
    FAIL() << "opened";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Server not available and no actual or previous counters");
  }
  EXPECT_FALSE(M().DayOpened());
  EXPECT_FALSE(FileExists(ActualFile()));
  EXPECT_EQ(M().LastError(), "");  // raised, not listed
}

// A server that answers but refuses the user and password is not "not available".
TEST_F(DayOpenTest, FirstOpeningWithRefusedCredentialsSaysSo) {
  Sim().Configure([](rtsim::Config& config) {
    config.user = "till";
    config.password = "secret";
  });
  try {
    Open();
    FAIL() << "opened";
  } catch (const Error& e) {
    EXPECT_THAT(e.what(), ::testing::StartsWith("The RT server refused the till's credentials "
                                                "(Http error: 401"));
  }
  EXPECT_FALSE(FileExists(ActualFile()));
}

TEST_F(DayOpenTest, ARaisedOpeningOfAnotherTillLeavesNoDayOpen) {
  ASSERT_TRUE(Open("T01"));
  const std::string t01 = ReadFileBytes(ActualFile());
  ServerDown();
  EXPECT_THROW(Open("T02"), Error);
  EXPECT_FALSE(M().DayOpened());
  // Neither the other till nor the earlier day takes the receipt.
  EXPECT_FALSE(M().ProcessReceipt(Sale("1.00")));
  EXPECT_EQ(M().LastError(), "Day not opened");
  EXPECT_FALSE(FileExists(ActualFile("T02")));
  EXPECT_EQ(ReadFileBytes(ActualFile()), t01);
  EXPECT_TRUE(ListFiles(QueueDir("T01"), ".srtd").empty());
  EXPECT_TRUE(ListFiles(QueueDir("T02"), ".srtd").empty());
}

// The header lines and the VAT map belong to one till and its server: a
// switch of both in one process never prints or converts with the other
// server's, every till's store keeps its own caches, and a till whose server
// is down signs from them.
TEST_F(DayOpenTest, EachTillAndServerKeepsItsOwnHeadersAndVATMap) {
  rtsim::Simulator other;
  other.Configure([](rtsim::Config& config) {
    config.headerLines = {"OTHER SHOP"};
    config.vatRates[0] = "1000";
  });
  other.Start();
  const std::string otherAddress = other.BaseAddress();
  const int otherPort = other.Port();
  const auto openOther = [&] { return M().DayOpen("", otherAddress, otherPort, "", "", "T02"); };
  ASSERT_TRUE(openOther());
  ASSERT_TRUE(M().ProcessReceipt(Sale("11.00")));
  const Currency otherVat = M().LastIssued().vatTotal;
  EXPECT_EQ(otherVat, ParseCurrency("1.00"));
  ASSERT_TRUE(M().DayClose());

  ASSERT_TRUE(Open("T01"));
  EXPECT_EQ(M().ServerInfo().Headers().front(), "SIMULATED SHOP");
  ASSERT_TRUE(M().ProcessReceipt(Sale("11.00")));
  EXPECT_EQ(M().LastIssued().vatTotal, ParseCurrency("1.98"));

  other.Stop();
  ASSERT_TRUE(openOther());
  EXPECT_EQ(M().ServerInfo().Headers(), std::vector<std::string>{"OTHER SHOP"});
  ASSERT_TRUE(M().ProcessReceipt(Sale("11.00")));
  EXPECT_EQ(M().LastIssued().vatTotal, otherVat);
  for (const char* till : {"T01", "T02"}) {
    EXPECT_TRUE(FileExists(TillDir(till) + "/headers.srth")) << till;
    EXPECT_TRUE(FileExists(TillDir(till) + "/vatmap.srtv")) << till;
  }
  // The switch handed T01's store back; T02's is held, also against a
  // second manager in the same process.
  kRTSManager second;
  EXPECT_THROW(second.DayOpen("", otherAddress, otherPort, "", "", "T02"), Error);
  EXPECT_TRUE(second.DayOpen("", Sim().BaseAddress(), Sim().Port(), "", "", "T01"));
}

}  // namespace
}  // namespace qx::manager_test
