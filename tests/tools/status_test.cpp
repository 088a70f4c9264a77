// qxtill status over a till driven through the library by a host, against the
// simulated server: one store taken through every verdict in turn, each
// checked for its verdict, exit code and JSON fields, and the store and log
// left exactly as they were.
#include "tools/qxtill/status.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "manager/uRTServerManager.h"
#include "platform/files.h"
#include "support/host_scenario.h"

namespace qx::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct StatusRun {
  int exitCode = 0;
  std::string out;
};

// Every file and directory below |aRoot| with its size and modification time.
std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> Snapshot(const fs::path& aRoot) {
  std::map<std::string, std::pair<uintmax_t, fs::file_time_type>> tree;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(aRoot)) {
    tree[entry.path().string()] = {entry.is_regular_file() ? entry.file_size() : 0,
                                   entry.last_write_time()};
  }
  return tree;
}

class StatusTest : public HostScenario {
 protected:
  StatusRun Status(std::vector<std::string> aArgs, bool aJson = true) {
    std::vector<std::string> args = {"--log-dir", LogDir() + "/RTPusher"};
    if (aJson) args.push_back("--json");
    args.insert(args.end(), aArgs.begin(), aArgs.end());
    std::ostringstream out, err;
    StatusRun run;
    run.exitCode = qxtill::RunStatus(args, out, err);
    run.out = out.str() + err.str();
    return run;
  }
  StatusRun Status() { return Status({TillDir()}); }

  void Sign(const std::string& aAmount) {
    ASSERT_EQ(Library().Sign(SimpleReceipt("0", aAmount)).code, 0);
  }
  std::string Queued(int aNRec) const {
    return QueueDir() + "/T01-0001-000" + std::to_string(aNRec) + ".srtd";
  }
};

TEST_F(StatusTest, EachVerdictWithItsExitCodeAndFields) {
  ASSERT_EQ(OpenTill().code, 0);
  Sign("10.00");
  Sign("2.50");
  ASSERT_TRUE(WaitForEmptyQueue());
  StatusRun run = Status();
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_THAT(run.out, HasSubstr("\"verdict\": \"OK\""));
  EXPECT_THAT(run.out, HasSubstr("\"state\": \"open\", \"dataSource\": \"server\", \"zReport\": 1, "
                                 "\"lastReceipt\": 2"));
  EXPECT_THAT(run.out, HasSubstr("\"dailyTotal\": 12.50"));
  EXPECT_THAT(run.out, HasSubstr("\"queue\": {\"documents\": 0"));
  EXPECT_THAT(run.out, HasSubstr("\"lastDelivered\": \"T01-0001-0002.srtd\""));
  EXPECT_THAT(run.out, HasSubstr("\"receipts\": 2, \"verified\": true"));

  // DELAYED: the server does not answer and the queued receipt is two hours old.
  rtsim::Fault down;
  down.kind = rtsim::FaultKind::Drop;
  down.count = -1;
  Server().AddFault(down);
  Sign("1.00");
  // The pusher has tried it once and holds it, under its claimed name.
  const std::string held = ClaimedQueueFileName(Queued(3));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!FileExists(held) && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  ASSERT_TRUE(FileExists(held));
  fs::last_write_time(held, fs::file_time_type::clock::now() - std::chrono::hours(2));
  run = Status();
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_THAT(run.out, HasSubstr("\"verdict\": \"DELAYED\""));
  EXPECT_THAT(run.out, HasSubstr("\"documents\": 1, \"oldest\": \"T01-0001-0003.srtd\""));
  EXPECT_THAT(run.out, HasSubstr("oldest queued document is 120 minutes old (limit 30)"));
  EXPECT_EQ(Status({"--max-age", "180", TillDir()}).exitCode, 0);
  Server().ClearFaults();
  ASSERT_TRUE(WaitForEmptyQueue());

  // REJECTED: the server refuses a receipt for good; the reason comes from
  // the pusher's log, written out when the library is unloaded.
  rtsim::Fault refuse;
  refuse.match = "createReceipt";
  refuse.code = "12";
  refuse.status = "Receipt out of sequence";
  Server().AddFault(refuse);
  Sign("4.00");
  ASSERT_TRUE(WaitForEmptyQueue());
  Unload();
  run = Status();
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_THAT(run.out, HasSubstr("\"verdict\": \"REJECTED\""));
  EXPECT_THAT(run.out, HasSubstr("\"rejected\": {\"documents\": 1, \"sinceLastClosing\": 1, "
                                 "\"newest\": [{\"document\": \"T01-0001-0004.srtd\""));
  EXPECT_THAT(run.out, HasSubstr("\"reason\": \"12 - Receipt out of sequence\""));
  // The same store with a log that a till on Windows wrote.
  const std::string windowsLog = Root() + "/WindowsLog";
  fs::create_directories(windowsLog);
  std::ofstream(windowsLog + "/RTSPusher_20261210.log", std::ios::binary)
      << "2026-12-10 10:00:00:000 - C:\\QX_SRT_DB\\T01\\Queue\\T01-0001-0004.srtd\r\n"
         "2026-12-10 10:00:01:000 - ERROR - 9 - Refused on Windows\r\n<reply/>\r\n";
  EXPECT_THAT(Status({"--log-dir", windowsLog, TillDir()}).out,
              HasSubstr("\"reason\": \"9 - Refused on Windows\""));

  // The closing after the rejection clears the verdict; the rejected
  // document stays counted.
  ASSERT_EQ(OpenTill().code, 0);
  ASSERT_EQ(Library().Close().code, 0);
  ASSERT_TRUE(WaitForEmptyQueue());
  Unload();
  run = Status();
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_THAT(run.out, HasSubstr("\"state\": \"closed\""));
  EXPECT_THAT(run.out, HasSubstr("\"documents\": 1, \"sinceLastClosing\": 0"));

  // BROKEN: one byte of a delivered receipt changed. Reading it changes nothing.
  const std::string delivered = *FindDocument("T01-0001-0002.srtd");
  std::string text;
  std::getline(std::ifstream(delivered, std::ios::binary), text, '\0');
  text[text.find("ITEM")] = 'J';
  std::ofstream(delivered, std::ios::binary | std::ios::trunc) << text;
  const auto before = Snapshot(Root());
  run = Status({Root() + "/db"});  // the data root this time
  EXPECT_EQ(Snapshot(Root()), before);
  EXPECT_EQ(run.exitCode, 2) << run.out;
  EXPECT_THAT(run.out, HasSubstr("\"verdict\": \"BROKEN\""));
  EXPECT_THAT(run.out, HasSubstr("T01-0001-0002.srtd: digest does not match its content"));
  run = Status({TillDir()}, false);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_THAT(
      run.out,
      HasSubstr("\nT01: BROKEN - chain or totals do not verify: T01-0001-0002.srtd: digest"));

  // UNKNOWN: nothing to read, or a bad command line. A broken till beside a
  // missing one still reports critical.
  EXPECT_EQ(Status({Root() + "/nowhere"}).exitCode, 3);
  EXPECT_EQ(Status({LogDir()}).exitCode, 3);
  EXPECT_EQ(Status({"--max-age", "soon", TillDir()}).exitCode, 3);
  EXPECT_EQ(Status({Root() + "/nowhere", TillDir()}).exitCode, 2);
}

}  // namespace
}  // namespace qx::test
