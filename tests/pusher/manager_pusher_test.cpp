// The till manager's pusher members: starting once, stopping, the running
// state, directories handed to a running pusher, and signed receipts reaching
// the RT server through it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "manager/manager_fixture.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/files.h"

namespace qx::manager_test {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ManagerPusherTest : public ManagerTest {
 protected:
  void SetUp() override {
    ::setenv("QX_PUSHER_PAUSE_MS", "100", 1);
    ManagerTest::SetUp();  // the pusher logs in the data root's LogFiles
  }
  void TearDown() override {
    manager_.reset();
    ManagerTest::TearDown();
    ::unsetenv("QX_PUSHER_PAUSE_MS");
  }

  std::string Log() const {
    std::string text;
    for (const auto& entry : fs::directory_iterator(root_ + "/LogFiles/RTPusher")) {
      std::ifstream in(entry.path(), std::ios::binary);
      text += std::string(std::istreambuf_iterator<char>(in), {});
    }
    return text;
  }
  std::string Processed(const std::string& name, const std::string& till = "T01") const {
    return TillDir(till) + "/Processed/" + FormatDateTime("yyyymmdd", Now()) + "/" + name;
  }
};

TEST_F(ManagerPusherTest, StartsOnceStopsAndSaysWhetherItRuns) {
  ASSERT_TRUE(M().Init("", Sim().BaseAddress(), Sim().Port(), "", "", "T01"));
  EXPECT_FALSE(M().PusherRunning());
  M().StopPusher();  // nothing to stop
  M().StartPusher();
  EXPECT_TRUE(M().PusherRunning());
  M().StartPusher();  // already running: nothing happens
  EXPECT_TRUE(M().PusherRunning());
  M().StopPusher();
  EXPECT_FALSE(M().PusherRunning());

  const std::string log = Log();
  EXPECT_EQ(Count(log, "****** START " + QueueDir() + " *****"), 1u) << log;
  EXPECT_EQ(Count(log, "****** STOP " + QueueDir() + " *****"), 1u) << log;
}

TEST_F(ManagerPusherTest, DeliversSignedReceiptsInOrder) {
  ASSERT_TRUE(Open());
  M().StartPusher();
  for (const char* price : {"1.00", "2.50", "3.75"}) ASSERT_TRUE(M().ProcessReceipt(Sale(price)));
  const int32_t last = M().ActualCounters().CurrentnRec();
  const std::string name = RTSQueueFileName("T01", M().ActualCounters().CurrentzRep(), last);

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(Processed(name)); }));
  EXPECT_EQ(M().DataQueueLength(), 0);
  // The server followed the chain in the till's order.
  const std::optional<rtsim::TillState> till = Sim().Till("T01");
  ASSERT_TRUE(till.has_value());
  EXPECT_EQ(till->lastFingerPrint, M().ActualCounters().LastFingerPrint());
  EXPECT_EQ(till->nextDocNumber, last + 1);
  EXPECT_EQ(CountRequests("createReceipt"), 3u);
}

TEST_F(ManagerPusherTest, DirectorySettersReachTheRunningPusher) {
  ASSERT_TRUE(M().Init("", Sim().BaseAddress(), Sim().Port(), "", "", "T01"));
  M().StartPusher();
  for (const char* dir : {"Queue", "Processed", "Errors"})
    fs::create_directories(TillDir("T02") + "/" + dir);
  M().SetDataProcessedDir(TillDir("T02") + "/Processed");
  M().SetDataErrorsDir(TillDir("T02") + "/Errors");
  M().SetDataQueueDir(QueueDir("T02"));

  // A document the simulator refuses as unreadable, so it is filed under
  // the new errors directory.
  WriteFileAtomic(QueueDir("T02") + "/T02-0001-0001.srtd", "<createReceipt/>\r\n");
  const std::string errors =
      TillDir("T02") + "/Errors/" + FormatDateTime("yyyymmdd", Now()) + "/T02-0001-0001.srtd";
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(errors); }));
  EXPECT_EQ(M().DataQueueDir(), QueueDir("T02"));
}

TEST_F(ManagerPusherTest, SwitchedTillIsDeliveredToTheServerItsOpeningNamed) {
  rtsim::Simulator other;
  other.Start();
  rtsim::TillState t02;
  t02.id = "T02";
  t02.zRepNumber = 3;
  t02.nextDocNumber = 1;
  other.SetTill(t02);
  ASSERT_TRUE(Open("T01"));
  M().StartPusher();
  // T01's server holds its receipts back.
  rtsim::Fault busy;
  busy.kind = rtsim::FaultKind::HttpStatus;
  busy.match = "createReceipt";
  busy.count = -1;
  Sim().AddFault(busy);
  for (const char* price : {"1.00", "2.00"}) ASSERT_TRUE(M().ProcessReceipt(Sale(price)));
  ASSERT_TRUE(WaitUntil([&] { return CountRequests("createReceipt") > 0; }));
  // An opening refused for its till id leaves the pusher as it was.
  EXPECT_THROW(M().DayOpen("", other.BaseAddress(), other.Port(), "", "", "a/b"), Error);
  EXPECT_TRUE(M().PusherRunning());

  ASSERT_TRUE(M().DayOpen("", other.BaseAddress(), other.Port(), "", "", "T02"));
  for (const char* price : {"3.00", "4.00"}) ASSERT_TRUE(M().ProcessReceipt(Sale(price)));
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(Processed("T02-0003-0002.srtd", "T02")); }));
  size_t toOther = 0;
  for (const rtsim::RecordedRequest& r : other.Requests()) {
    toOther += r.kind == "createReceipt";
    EXPECT_EQ(r.body.find("tillId=\"T01\""), std::string::npos) << r.body;
  }
  EXPECT_EQ(toOther, 2u);
  EXPECT_EQ(ListFiles(QueueDir("T01"), ".srtd").size(), 2u);

  // Opened again, T01 is delivered to its own server.
  Sim().ClearFaults();
  ASSERT_TRUE(Open("T01"));
  ASSERT_TRUE(WaitUntil([&] { return ListFiles(QueueDir("T01"), ".srtd").empty(); }));
  const std::optional<rtsim::TillState> t01 = Sim().Till("T01");
  ASSERT_TRUE(t01.has_value());
  EXPECT_EQ(t01->lastFingerPrint, M().ActualCounters().LastFingerPrint());
  EXPECT_FALSE(other.Till("T01").has_value());
}

TEST_F(ManagerPusherTest, DestroyingTheManagerStopsItsPusherPromptly) {
  ::setenv("QX_PUSHER_PAUSE_MS", "600000", 1);
  ASSERT_TRUE(M().Init("", Sim().BaseAddress(), Sim().Port(), "", "", "T01"));
  M().StartPusher();
  ASSERT_TRUE(M().PusherRunning());
  const auto start = steady_clock::now();
  manager_.reset();
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(Count(Log(), "****** STOP "), 1u);
}

}  // namespace
}  // namespace qx::manager_test
