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

#include <cstdlib>
#include <iostream>
#include <random>
#include <thread>

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
  // Kills the host running |aCommands| |aKills| times, each after a random
  // delay up to |aMaxDelayMs| from its start, and checks every restart.
  void Run(const std::vector<std::string>& aCommands, int aKills, int aMaxDelayMs) {
    const uint64_t seed = Seed();
    std::cout << "crash suite: " << aKills << " kills, seed " << seed << std::endl;
    std::mt19937_64 random(seed);
    std::map<std::pair<int32_t, int32_t>, std::string> told;
    size_t untold = 0;
    int killedWhileRunning = 0;

    for (int round = 0; round < aKills && !HasFailure(); ++round) {
      const std::string where = "seed " + std::to_string(seed) + " round " + std::to_string(round);
      auto child = StartHost(aCommands, root_);
      const int delayUs = static_cast<int>(random() % (aMaxDelayMs * 1000));
      std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
      child->Kill(SIGKILL);
      child->Wait(std::chrono::seconds(30));
      if (child->TermSignal() == SIGKILL) ++killedWhileRunning;
      const HostLog log = ParseHostLog(child->Output());
      ASSERT_TRUE(log.failures.empty()) << where << ": " << child->Output();
      for (const auto& [key, signature] : log.signedReceipts) told[key] = signature;

      // A new process opens the till on the same data root.
      const std::string reopened = RunHost({"open"}, root_);
      ASSERT_NE(reopened.find("open 0"), std::string::npos) << where << ": " << reopened;

      const StoreReport report = CheckStore(TillDir(), where);
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
    std::cout << "crash suite: " << killedWhileRunning << " kills while running, " << told.size()
              << " receipts signed, " << untold << " in flight at a kill and kept, 0 lost"
              << std::endl;
    EXPECT_GT(told.size(), 0u);
  }
};

TEST_F(CrashTest, KilledWhileSigningLosesNothing) {
  Run({"open", "sign:-1"}, KillsPerVariant(120), 150);
}

TEST_F(CrashTest, KilledWhileOpeningSigningAndClosingDaysLosesNothing) {
  Run({"days:-1:3"}, KillsPerVariant(80), 200);
}

}  // namespace
}  // namespace qx::testing
