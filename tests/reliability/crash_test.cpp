// Crash suite: the test host signs receipts (and, in the second variant,
// opens, signs and closes day after day) and is killed with SIGKILL at a
// random moment; then a new process opens the till on the same data root.
// After every restart the opening succeeds, the store is consistent (the
// counters parse, every document is complete, the chain verifies) and the
// receipts on disk are those the host was told were signed, each with the
// signature it was told, plus at most one receipt in flight per kill.
//
// QX_CRASH_KILLS sets the number of kills per variant (the long run);
// QX_CRASH_SEED replays a run. The seed is printed.
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "manager/uRTServerManager_Counters.h"
#include "platform/currency.h"
#include "reliability/reliability_fixture.h"

namespace qx::testing {
namespace {

int KillsPerVariant(int aDefault) {
  const char* text = std::getenv("QX_CRASH_KILLS");
  if (text != nullptr && std::atoi(text) > 0) return std::atoi(text);
  return SanitizerBuild() ? aDefault / 8 : aDefault;
}

uint64_t Seed() {
  const char* text = std::getenv("QX_CRASH_SEED");
  if (text != nullptr && *text != 0) return std::strtoull(text, nullptr, 10);
  return std::random_device()();
}

class CrashTest : public HostSuite {
 protected:
  static constexpr int kRoundsPerStore = 25;

  // The moments in which the kills fall: how long the host running
  // |aCommands| takes from its start until it has printed its first line
  // (the opening) and until it has printed |aLines| lines. Measured on a till
  // opened before, as every round but the first finds it; a first opening is
  // slower and would stretch the window over many receipts.
  struct Window {
    std::chrono::microseconds opening, total;
  };

  Window Calibrate(const std::vector<std::string>& aCommands, size_t aLines) {
    const std::string root = work_ + "/calibration";
    const std::string opened = RunHost({"open"}, root);
    EXPECT_NE(opened.find("open 0"), std::string::npos) << opened;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&start] {
      return std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now() - start);
    };
    auto child = StartHost(aCommands, root);
    child->WaitForOutput("\n", std::chrono::seconds(60));
    Window window{elapsed(), {}};
    while (SplitLines(child->Output()).size() < aLines && elapsed() < std::chrono::seconds(60)) {
      child->WaitForOutput("\n", std::chrono::milliseconds(100));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    window.total = elapsed();
    child->Kill(SIGKILL);
    child->Wait(std::chrono::seconds(30));
    const std::chrono::microseconds floor(1000);
    window.total = std::max(window.total, floor);
    window.opening = std::max(window.opening, floor);
    return window;
  }

  // Kills the host running |aCommands| |aKills| times, each at a random
  // moment within the time it takes to print |aLines| lines (from its start,
  // or from the end of its opening), and checks
  // every restart. Stops early, saying so, when the run would outgrow its
  // time budget on a slow machine.
  void Run(const std::vector<std::string>& aCommands, int aKills, size_t aLines) {
    const uint64_t seed = Seed();
    const auto window = Calibrate(aCommands, aLines);
    const auto afterOpening =
        std::max(window.total - window.opening, std::chrono::microseconds(1000));
    std::cout << "crash suite: " << aKills << " kills within " << window.total.count() / 1000
              << " ms of the start or " << afterOpening.count() / 1000
              << " ms of the opening, seed " << seed << std::endl;
    std::mt19937_64 random(seed);
    std::map<std::pair<int32_t, int32_t>, std::string> told;
    size_t untold = 0, signedTotal = 0, untoldTotal = 0;
    int rounds = 0, killedWhileRunning = 0;
    std::string root;
    // The test's own deadline under CTest stays ahead of its time limit; a
    // long run asked for with QX_CRASH_KILLS has none.
    const bool longRun = std::getenv("QX_CRASH_KILLS") != nullptr;
    const auto budgetEnd = std::chrono::steady_clock::now() + std::chrono::seconds(200);

    // A run whose kills all fell before the first receipt proves little (a
    // loaded machine may stretch the host far beyond the measured window):
    // while none was signed, kills go on past the planned number, each with
    // twice the window of the one before, at most sixteen more.
    const auto signedSoFar = [&] { return signedTotal + told.size(); };
    const auto moreRounds = [&] {
      return rounds < aKills || (signedSoFar() == 0 && rounds < aKills + 16);
    };
    for (; moreRounds() && !HasFailure(); ++rounds) {
      if (!longRun && std::chrono::steady_clock::now() > budgetEnd) {
        std::cout << "crash suite: time budget used up" << std::endl;
        break;
      }
      // Every few rounds the till starts over on a data root of its own: each
      // check reads the whole store, so one ever-growing store would make the
      // run quadratic in the number of kills.
      if (rounds % kRoundsPerStore == 0) {
        signedTotal += told.size();
        untoldTotal += untold;
        told.clear();
        untold = 0;
        root = root_ + "-" + std::to_string(rounds / kRoundsPerStore);
      }
      const std::string where = "seed " + std::to_string(seed) + " round " + std::to_string(rounds);
      auto child = StartHost(aCommands, root);
      // Every other kill counts from the end of the opening, so that however
      // the machine's load stretches openings, half the kills fall in the
      // work after it.
      std::chrono::microseconds span = window.total;
      if (rounds % 2 == 1) {
        child->WaitForOutput("\n", std::chrono::seconds(30));
        span = afterOpening;
      }
      if (rounds >= aKills) {
        span = std::min(span * (int64_t{1} << (rounds - aKills + 1)),
                        std::chrono::microseconds(std::chrono::seconds(10)));
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % span.count()));
      child->Kill(SIGKILL);
      child->Wait(std::chrono::seconds(30));
      if (child->TermSignal() == SIGKILL) ++killedWhileRunning;
      ASSERT_NE(child->ExitCode(), kSanitizerExitCode) << where << ": a sanitizer reported";
      const HostLog log = ParseHostLog(child->Output());
      ASSERT_TRUE(log.failures.empty()) << where << ": " << child->Output();
      for (const auto& [key, signature] : log.signedReceipts) told[key] = signature;
      ExpectVerifiesAsLeft(root + "/" + kTill, where);

      // A new process opens the till on the same data root.
      const std::string reopened = RunHost({"open"}, root);
      ASSERT_NE(reopened.find("open 0"), std::string::npos) << where << ": " << reopened;

      const StoreReport report = CheckStore(root + "/" + kTill, where);
      for (const auto& [key, signature] : told) {
        const auto found = report.receipts.find(key);
        ASSERT_NE(found, report.receipts.end())
            << where << ": receipt " << key.first << "/" << key.second << " was signed but is lost";
        ASSERT_EQ(found->second.seal, signature)
            << where << ": receipt " << key.first << "/" << key.second << " changed on disk";
      }
      const size_t untoldNow = report.receipts.size() - told.size();
      ASSERT_LE(untoldNow, untold + 1) << where << ": more than the receipt in flight appeared";
      untold = untoldNow;
    }
    signedTotal += told.size();
    untoldTotal += untold;
    std::cout << "crash suite: " << rounds << " kills (" << killedWhileRunning
              << " while running), " << signedTotal << " receipts signed, " << untoldTotal
              << " in flight at a kill and kept, " << (HasFailure() ? "FAILED" : "0 lost")
              << std::endl;
    EXPECT_GT(signedTotal, 0u);
  }
};

TEST_F(CrashTest, KilledWhileSigningLosesNothing) {
  Run({"open", "sign:-1"}, KillsPerVariant(150), 11);
}

TEST_F(CrashTest, KilledWhileOpeningSigningAndClosingDaysLosesNothing) {
  Run({"days:-1:3"}, KillsPerVariant(100), 12);
}

// The closing cut short before each of its file-system steps in turn (the
// interposer counts them and kills the host at the chosen one). A new process
// then opens, sells, closes and lets the queue drain: every Z report is closed
// once, no receipt follows its closure (the store verifies), and the server
// closed each day with exactly the receipts the till counted.
class ClosingCrashTest : public HostSuite {
 protected:
  std::vector<std::string> KillEnv(const std::string& aRoot, long aAt,
                                   const std::string& aReport = "") const {
    return {"LD_PRELOAD=" + FaultLibraryPath(), "QX_FAULT_ROOT=" + aRoot,
            "QX_FAULT_AT=" + std::to_string(aAt), "QX_FAULT_KILL=1", "QX_FAULT_REPORT=" + aReport};
  }

  // Each closed day closed once by the till (its journal copies and the
  // previous counters agree on one closing time; a copy made within the
  // second of another is skipped), and closed by the server with the
  // receipts its counters recorded; the server closed nothing more.
  void CheckServerClosings(const std::string& aTillDir, const std::string& aWhere) {
    std::map<int32_t, std::pair<int32_t, TDateTime>> closings;  // Z -> receipts, time
    std::vector<std::string> records = ListFiles(aTillDir + "/Journal", ".srtj");
    records.push_back(aTillDir + "/QX_counters.previous.srtc");
    std::map<int32_t, int32_t> closed;  // Z report -> receipts counted
    std::map<int32_t, Currency> sales;  // Z report -> sales counted
    for (const std::string& file : records) {
      kRTSCounters copy;
      ASSERT_TRUE(copy.Load(file)) << aWhere << ": " << file;
      const auto [known, added] = closings.emplace(
          copy.CurrentzRep(), std::make_pair(copy.CurrentnRec(), copy.LastZRepDate()));
      EXPECT_TRUE(added || known->second == std::make_pair(copy.CurrentnRec(), copy.LastZRepDate()))
          << aWhere << ": Z report " << copy.CurrentzRep() << " closed twice";
      closed[copy.CurrentzRep()] = copy.CurrentnRec();
      sales[copy.CurrentzRep()] = copy.DailySales();
    }
    ASSERT_FALSE(closed.empty()) << aWhere;
    for (const auto& [zRep, receipts] : closed) {
      const auto report = sim_->ClosedReport(kTill, zRep);
      ASSERT_TRUE(report) << aWhere << ": the server did not close Z report " << zRep;
      EXPECT_EQ(report->recNumber, receipts) << aWhere << ": Z report " << zRep;
      // A receipt booked twice shows in the day's amount.
      EXPECT_EQ(report->dailyAmount, sales[zRep]) << aWhere << ": Z report " << zRep;
    }
    EXPECT_EQ(sim_->Till(kTill)->zRepNumber, closed.rbegin()->first + 1)
        << aWhere << ": the server closed another day";
  }
};

TEST_F(ClosingCrashTest, KilledInsideTheClosingClosesEachDayOnce) {
  const std::vector<std::string> closing = {"open", "close"};
  const std::string counted = work_ + "/count";
  ASSERT_TRUE(ParseHostLog(RunHost({"open", "sign:2", "drain:60"}, counted)).failures.empty());
  const std::string report = work_ + "/count.report";
  RunHost(closing, counted, KillEnv(counted, 0, report));
  std::ifstream in(report);
  std::string text;
  std::getline(in, text);
  const long calls = std::atol(text.c_str() + text.find('=') + 1);
  ASSERT_GT(calls, 0);
  const long step = SanitizerBuild() ? 3 : 1;
  for (long at = 1; at <= calls && !HasFailure(); at += step) {
    const std::string where = "killed before step " + std::to_string(at);
    const std::string root = work_ + "/kill-" + std::to_string(at);
    ASSERT_TRUE(ParseHostLog(RunHost({"open", "sign:2", "drain:60"}, root)).failures.empty());
    auto child = StartHost(closing, root, KillEnv(root, at));
    child->Wait(std::chrono::seconds(60));
    EXPECT_EQ(child->TermSignal(), SIGKILL) << where << ": " << child->Output();
    ExpectVerifiesAsLeft(root + "/" + kTill, where);
    const std::string after = RunHost({"open", "sign:1", "close", "drain:60"}, root);
    ASSERT_TRUE(ParseHostLog(after).failures.empty()) << where << ": " << after;
    CheckStore(root + "/" + kTill, where);
    CheckServerClosings(root + "/" + kTill, where);
    if (!HasFailure()) std::filesystem::remove_all(root);
  }
  std::cout << "closing crash suite: " << calls << " steps, each killed once" << std::endl;
}

// The delivery thread's own file-system calls (claim, read, filing move,
// directory sync, listing), each in turn killed, or failed once with EIO or
// with ENOSPC, while it delivers a closed day that waited for the server. A
// new process then opens, sells, closes and drains: the server has booked
// every document once and closed each Z report once, with the receipts and
// amounts the till counted, the store verifies, and nothing is set aside.
TEST_F(ClosingCrashTest, DeliveryThreadFaultsBookEachDocumentOnce) {
  const std::string prepared = work_ + "/prepared";
  rtsim::Fault away;
  away.kind = rtsim::FaultKind::Drop;
  away.count = -1;
  for (const char* kind : {"createReceipt", "createDailyClosure"}) {
    away.match = kind;
    sim_->AddFault(away);
  }
  ASSERT_TRUE(ParseHostLog(RunHost({"open", "sign:3", "close"}, prepared)).failures.empty());
  sim_->ClearFaults();
  const std::vector<rtsim::TillState> tills = sim_->Tills();
  const auto freshCase = [&](const std::string& aRoot) {
    std::filesystem::copy(prepared, aRoot, std::filesystem::copy_options::recursive);
    sim_->Stop();
    sim_ = std::make_unique<rtsim::Simulator>();
    sim_->Start();
    for (const rtsim::TillState& till : tills) sim_->SetTill(till);
  };
  const std::vector<std::string> delivering = {"open", "drain:60"};
  const auto faultEnv = [&](const std::string& aRoot, long aAt, const char* aMode,
                            const std::string& aReport) {
    std::vector<std::string> env = {"LD_PRELOAD=" + FaultLibraryPath(),
                                    "QX_FAULT_ROOT=" + aRoot,
                                    "QX_FAULT_AT=" + std::to_string(aAt),
                                    "QX_FAULT_THREADS=pusher",
                                    "QX_FAULT_READS=1",
                                    "QX_FAULT_REPORT=" + aReport};
    if (std::string(aMode) == "kill") {
      env.push_back("QX_FAULT_KILL=1");
    } else {
      env.push_back(std::string("QX_FAULT_ERRNO=") + aMode);
    }
    return env;
  };

  const std::string counted = work_ + "/count";
  freshCase(counted);
  const std::string report = work_ + "/count.report";
  RunHost(delivering, counted, faultEnv(counted, 0, "EIO", report));
  std::ifstream in(report);
  std::string text;
  std::getline(in, text);
  const long calls = std::atol(text.c_str() + text.find('=') + 1);
  ASSERT_GT(calls, 4) << "the delivery thread made no counted call";
  const long step = SanitizerBuild() ? 4 : 1;
  int cases = 0;
  for (long at = 1; at <= calls && !HasFailure(); at += step) {
    for (const char* mode : {"kill", "EIO", "ENOSPC"}) {
      const std::string where = std::string(mode) + " at delivery call " + std::to_string(at);
      const std::string root = work_ + "/case";
      std::filesystem::remove_all(root);
      freshCase(root);
      auto child = StartHost(delivering, root, faultEnv(root, at, mode, ""));
      child->Wait(std::chrono::seconds(120));
      ASSERT_FALSE(child->TimedOut()) << where << ": " << child->Output();
      ASSERT_NE(child->ExitCode(), kSanitizerExitCode) << where;
      const std::string after = RunHost({"open", "sign:1", "close", "drain:60"}, root);
      ASSERT_TRUE(ParseHostLog(after).failures.empty()) << where << ": " << after;
      const std::string tillDir = root + "/" + kTill;
      CheckStore(tillDir, where);
      CheckServerClosings(tillDir, where);
      EXPECT_EQ(ListFiles(tillDir + "/Queue", ".srtd").size(), 0u) << where;
      EXPECT_EQ(ListFiles(tillDir + "/Queue", ".err").size(), 0u) << where << ": set aside";
      EXPECT_TRUE(ReadSubdirectories(tillDir + "/Errors").empty()) << where << ": rejected";
      ++cases;
    }
  }
  std::cout << "delivery fault suite: " << calls << " delivery calls, " << cases << " cases"
            << std::endl;
}

// One owner per store: a second process is refused while the first lives,
// and opens once the first has been killed (the system drops its lock).
TEST_F(CrashTest, ASecondProcessIsRefusedTheStoreUntilTheFirstIsKilled) {
  auto first = StartHost({"open", "sign:-1"}, root_);
  ASSERT_TRUE(first->WaitForOutput("signed", std::chrono::seconds(30))) << first->Output();
  const std::string refused = RunHost({"open", "sign:1"}, root_);
  EXPECT_NE(
      refused.find("open-failed Till T01 is in use by process " + std::to_string(first->Pid())),
      std::string::npos)
      << refused;
  EXPECT_TRUE(ParseHostLog(refused).signedReceipts.empty()) << refused;
  first->Kill(SIGKILL);
  first->Wait(std::chrono::seconds(30));
  const std::string after = RunHost({"open", "sign:1", "close", "drain:60"}, root_);
  EXPECT_TRUE(ParseHostLog(after).failures.empty()) << after;
  CheckStore(TillDir(), "after the first owner was killed");
}

}  // namespace
}  // namespace qx::testing
