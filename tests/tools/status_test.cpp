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
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "manager/uRTServerManager.h"
#include "platform/datetime.h"
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

  // Without a path: the data root the host uses (QX_SRT_DB).
  EXPECT_THAT(Status({}).out, HasSubstr("\"dir\": \"" + Root() + "/db/T01\""));
  EXPECT_THAT(Status({TillDir()}, false).out,
              testing::StartsWith("QXTILL OK - T01: healthy, 0 documents queued, store verified | "
                                  "queued=0 oldest_s=0;1800;7200 rejected=0"));

  // DELAYED: the server does not answer and the queued receipt is 90 minutes
  // old; critical past the second limit.
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
  fs::last_write_time(held, fs::file_time_type::clock::now() - std::chrono::minutes(90));
  run = Status();
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_THAT(run.out, HasSubstr("\"verdict\": \"DELAYED\""));
  EXPECT_THAT(run.out, HasSubstr("\"documents\": 1, \"oldest\": \"T01-0001-0003.srtd\""));
  EXPECT_THAT(run.out, HasSubstr("1 documents queued, oldest 90 min"));
  EXPECT_EQ(Status({"--max-age", "180", TillDir()}).exitCode, 0);
  EXPECT_EQ(Status({"--critical-age", "60", TillDir()}).exitCode, 2);
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
  EXPECT_THAT(run.out, HasSubstr("\"rejected\": {\"documents\": 1, \"unresolved\": 1, "
                                 "\"sinceLastClosing\": 1, "
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

  // A closing does not clear it, and verify warns alike; support's
  // acknowledgement does, and the document stays where it is.
  ASSERT_EQ(OpenTill().code, 0);
  ASSERT_EQ(Library().Close().code, 0);
  ASSERT_TRUE(WaitForEmptyQueue());
  Unload();
  run = Status();
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_THAT(run.out, HasSubstr("\"state\": \"closed\""));
  EXPECT_THAT(run.out, HasSubstr("\"documents\": 1, \"unresolved\": 1, \"sinceLastClosing\": 0"));
  std::ostringstream verifyOut, ignored;
  EXPECT_EQ(qxtill::RunVerify({TillDir()}, verifyOut, ignored), 1) << verifyOut.str();
  EXPECT_EQ(qxtill::RunResolve({TillDir(), "./T01-0001-0004.srtd"}, ignored, ignored), 1);
  EXPECT_EQ(
      qxtill::RunResolve({TillDir(), "T01-0001-0004.srtd", "booked by hand"}, ignored, ignored), 0);
  // What stays is the closing's finding: the server never booked receipt 4.
  run = Status();
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_THAT(run.out, HasSubstr("\"resolved\": true"));
  EXPECT_THAT(run.out, HasSubstr("\"verdict\": \"TOTALS_DIFFER\""));
  EXPECT_THAT(run.out, HasSubstr("DailySales 17.5 different from RT Server 13.5"));
  EXPECT_EQ(qxtill::RunVerify({TillDir()}, verifyOut, ignored), 0) << verifyOut.str();

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
  EXPECT_THAT(run.out,
              HasSubstr("\nT01: BROKEN - store does not verify: T01-0001-0002.srtd: digest"));
  EXPECT_THAT(run.out, testing::StartsWith("QXTILL CRITICAL - T01: BROKEN store does not verify"));
  EXPECT_THAT(Status({"--prometheus", TillDir()}, false).out,
              HasSubstr("\nqxtill_state{till=\"T01\"} 2\n"));

  // UNKNOWN: nothing to read, or a bad command line. A broken till beside a
  // missing one still reports critical.
  EXPECT_EQ(Status({Root() + "/nowhere"}).exitCode, 3);
  EXPECT_EQ(Status({LogDir()}).exitCode, 3);
  EXPECT_EQ(Status({"--max-age", "soon", TillDir()}).exitCode, 3);
  EXPECT_EQ(Status({Root() + "/nowhere", TillDir()}).exitCode, 2);
}

// A till's store after three closed days, copied and damaged one way per
// case: verify and status must agree on it, each through its exit code.
TEST_F(StatusTest, VerifyAndStatusAgreeOnEachCraftedStore) {
  for (int day = 1; day <= 3; ++day) {
    ASSERT_EQ(OpenTill().code, 0);
    Sign(std::to_string(day) + ".00");
    Sign("0.50");
    ASSERT_TRUE(WaitForEmptyQueue());
    ASSERT_EQ(Library().Close().code, 0);
    ASSERT_TRUE(WaitForEmptyQueue());
    // Closings of one second share a journal name: give each its own.
    for (const std::string& copy : FileNames(TillDir() + "/Journal", ".srtj")) {
      if (copy.rfind("2026010", 0) == 0) continue;
      fs::rename(TillDir() + "/Journal/" + copy,
                 TillDir() + "/Journal/2026010" + std::to_string(day) + "120000.srtj");
    }
  }
  Unload();
  ASSERT_EQ(FileNames(TillDir() + "/Journal", ".srtj").size(), 3u);
  const std::string healthy = Root() + "/healthy";
  fs::copy(Root() + "/db", healthy, fs::copy_options::recursive);
  fs::remove_all(healthy + "/LogFiles");  // pusher and app logs lie beside the tills

  auto find = [](const std::string& aTill, const std::string& aName) {
    for (const auto& entry : fs::recursive_directory_iterator(aTill)) {
      if (entry.path().filename() == aName) return entry.path().string();
    }
    return std::string();
  };
  auto journalOf = [](const std::string& aTill, int aDay) {
    return aTill + "/Journal/2026010" + std::to_string(aDay) + "120000.srtj";
  };
  auto replace = [](const std::string& aFile, const std::string& aFrom, const std::string& aTo) {
    std::string text;
    std::getline(std::ifstream(aFile, std::ios::binary), text, '\0');
    ASSERT_NE(text.find(aFrom), std::string::npos) << aFile;
    text.replace(text.find(aFrom), aFrom.size(), aTo);
    std::ofstream(aFile, std::ios::binary | std::ios::trunc) << text;
  };
  struct Case {
    const char* name;
    std::function<void(const std::string&)> damage;
    int verifyExit;
    int statusExit;
    const char* finding;  // in both reports when verify finds it, else in status
  };
  const Case cases[] = {
      {"healthy", [](const std::string&) {}, 0, 0, "QXTILL OK"},
      {"middle day removed",
       [&](const std::string& t) {
         for (const char* n : {"T01-0002-0001.srtd", "T01-0002-0002.srtd", "T01-0002-9999.srtd"})
           fs::remove(find(t, n));
         fs::remove(journalOf(t, 2));
       },
       2, 2, "Z report 2: missing"},
      {"journal copy, then last receipt removed",
       [&](const std::string& t) {
         fs::remove(journalOf(t, 2));
         fs::remove(find(t, "T01-0002-0002.srtd"));
       },
       2, 2, "Z report 2: closed, but its journal copy is missing"},
      {"previous counters against their journal copy",
       [&](const std::string& t) {
         replace(t + "/QX_counters.previous.srtc", "<CurrentnRec>2<", "<CurrentnRec>1<");
       },
       2, 2, "QX_counters.previous.srtc disagrees with its journal copy"},
      {"closure removed", [&](const std::string& t) { fs::remove(find(t, "T01-0002-9999.srtd")); },
       2, 2, "Z report 2: closed (20260102120000.srtj) but its daily closure document is missing"},
      {"duplicate closure set aside, no second closing",
       [&](const std::string& t) {
         fs::copy_file(find(t, "T01-0003-9999.srtd"),
                       t + "/Queue/T01-0003-9999.srtd_duplicate.err");
       },
       1, 1, "Queue/T01-0003-9999.srtd_duplicate.err: set aside"},
      {"refused document after its closing",
       [&](const std::string& t) {
         fs::create_directories(t + "/Errors/20260103");
         fs::rename(find(t, "T01-0003-0002.srtd"), t + "/Errors/20260103/T01-0003-0002.srtd");
       },
       1, 1, "T01-0003-0002.srtd: refused by the server, not booked"},
      {"day open for three days",
       [&](const std::string& t) {
         kRTSCounters day;
         ASSERT_TRUE(day.Load(t + "/QX_counters.previous.srtc"));
         day.SetDataSource(dsLocal);
         day.SetFirstFingerPrint(day.LastFingerPrint());
         day.SetCurrentzRep(4);
         day.SetCurrentnRec(0);
         for (auto set : {&kRTSCounters::SetDailyTotal, &kRTSCounters::SetDailySales,
                          &kRTSCounters::SetDailyRefunds, &kRTSCounters::SetDailyVoids})
           (day.*set)(Currency());
         day.SetLastZRepDate(0);
         day.SetFirstUpdated(Now() - 3);
         day.SetFullFileName(t + "/QX_counters.actual.srtc");
         day.Save();
       },
       0, 1, "open since"},
      {"credentials refused, read from the store's own log folder",
       [&](const std::string& t) {
         fs::rename(find(t, "T01-0003-9999.srtd"), t + "/Queue/T01-0003-9999.srtd");
         fs::create_directories(t + "/../LogFiles/RTPusher");
         std::ofstream(t + "/../LogFiles/RTPusher/RTSPusher_20261210.log", std::ios::binary)
             << "2026-12-10 10:00:00:000 - TILLZREPORT:T01-0003-9999.srtd\r\n"
                "2026-12-10 10:00:01:000 - ERROR - Http error: 401: Unauthorized\\r\\n\r\n";
       },
       0, 1, "the server refuses the till's credentials since 2026-12-10 10:00:01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = Root() + "/case";
    fs::remove_all(root);
    fs::copy(healthy, root, fs::copy_options::recursive);
    const std::string till = root + "/T01";
    c.damage(till);
    std::ostringstream verified, status, ignored;
    EXPECT_EQ(qxtill::RunVerify({till}, verified, ignored), c.verifyExit) << verified.str();
    // From another working folder, with the log found from the data root.
    const fs::path here = fs::current_path();
    fs::current_path("/");
    EXPECT_EQ(qxtill::RunStatus({till}, status, ignored), c.statusExit) << status.str();
    fs::current_path(here);
    EXPECT_THAT(status.str(), HasSubstr(c.finding));
    if (c.verifyExit != 0) {
      EXPECT_THAT(verified.str(), HasSubstr(c.finding));
    }
  }
}
}  // namespace
}  // namespace qx::test
