// I/O fault suite: with the interposer qxfaultfs preloaded, the N-th
// counted file-system call under the data root (file creation, write, fsync,
// rename, mkdir) fails with ENOSPC or EIO, for every N over a day opening, a
// resumed opening, a signing and a closing; once as a passing fault and once
// as a full disk (every call from the N-th on fails). Each entry point must
// then succeed or fail with a message; the store must stay consistent; a
// receipt reported as signed must be on disk and one reported as failed must
// not; a closing reported done must have made its day the previous counters;
// and, the fault gone, the next opening and signing must succeed.
#include <fstream>
#include <iostream>
#include <set>

#include "manager/uRTServerManager_Counters.h"
#include "reliability/reliability_fixture.h"

namespace qx::testing {
namespace {

struct Scenario {
  const char* name;
  std::vector<std::string> prepare;  // commands run without faults first
  std::vector<std::string> faulted;  // commands run with the fault
};

class IoFaultTest : public HostSuite {
 protected:
  // Counted calls the faulted commands make on a copy of the prepared store.
  long CountCalls(const Scenario& aScenario) {
    const std::string root = Copy("count");
    const std::string report = work_ + "/count.report";
    RunHost(aScenario.faulted, root, FaultEnv(root, 0, false, "ENOSPC", report));
    std::ifstream in(report);
    std::string text;
    std::getline(in, text);
    return std::atol(text.c_str() + text.find('=') + 1);
  }

  std::vector<std::string> FaultEnv(const std::string& aRoot, long aAt, bool aSticky,
                                    const char* aErrno, const std::string& aReport = "") const {
    return {"LD_PRELOAD=" + FaultLibraryPath(),
            "QX_FAULT_ROOT=" + aRoot,
            "QX_FAULT_AT=" + std::to_string(aAt),
            std::string("QX_FAULT_STICKY=") + (aSticky ? "1" : "0"),
            std::string("QX_FAULT_ERRNO=") + aErrno,
            "QX_FAULT_REPORT=" + aReport};
  }

  // A fresh copy of the prepared store.
  std::string Copy(const std::string& aName) {
    const std::string root = work_ + "/" + aName;
    std::filesystem::remove_all(root);
    if (std::filesystem::exists(prepared_)) {
      std::filesystem::copy(prepared_, root, std::filesystem::copy_options::recursive);
    }
    return root;
  }

  void Run(const Scenario& aScenario) {
    prepared_ = work_ + "/prepared";
    if (!aScenario.prepare.empty()) {
      const std::string out = RunHost(aScenario.prepare, prepared_);
      ASSERT_TRUE(ParseHostLog(out).failures.empty()) << out;
      // Let the pusher of a later process find nothing half-delivered: the
      // copy is taken of a store at rest.
    }
    // Each case starts from the server as the prepared store left it: a
    // closing of an earlier case must not number this case's days.
    const std::optional<rtsim::TillState> serverTill = sim_->Till(kTill);
    const long calls = CountCalls(aScenario);
    ASSERT_GT(calls, 0) << aScenario.name << ": no counted call";
    const long step = SanitizerBuild() ? 4 : 1;
    int cases = 0, failedCalls = 0;
    for (long at = 1; at <= calls && !HasFailure(); at += step) {
      for (bool sticky : {false, true}) {
        const char* error = sticky ? "EIO" : "ENOSPC";
        const std::string where = std::string(aScenario.name) + " call " + std::to_string(at) +
                                  (sticky ? " onwards EIO" : " ENOSPC");
        const std::string root = Copy("case");
        if (serverTill) sim_->SetTill(*serverTill);
        const StoreReport before = CheckTillStore(root + "/" + kTill, kTill);
        const std::string output =
            RunHost(aScenario.faulted, root, FaultEnv(root, at, sticky, error));
        const HostLog log = ParseHostLog(output);
        if (HasFailure()) return;
        CheckReportedClosing(output, root, where);
        failedCalls += static_cast<int>(log.failures.size());
        for (const std::string& failure : log.failures) {
          EXPECT_TRUE(FailureHasMessage(failure)) << where << ": failure without a message";
        }
        // The fault gone, a new process opens and signs.
        const HostLog after = ParseHostLog(RunHost({"open", "sign:1"}, root));
        EXPECT_TRUE(after.failures.empty()) << where << ": after the fault: " << after.failures[0];
        const StoreReport report = CheckStore(root + "/" + kTill, where);
        for (const auto& [key, signature] : log.signedReceipts) {
          const auto found = report.receipts.find(key);
          EXPECT_TRUE(found != report.receipts.end() && found->second.seal == signature)
              << where << ": receipt " << key.first << "/" << key.second
              << " reported signed is lost";
        }
        // Receipts on disk: those before, those reported signed, the one the
        // later process signed; a receipt whose signing failed is not there.
        EXPECT_EQ(report.receipts.size(),
                  before.receipts.size() + log.signedReceipts.size() + after.signedReceipts.size())
            << where << ": " << report.Describe();
        ++cases;
      }
    }
    std::cout << aScenario.name << ": " << calls << " counted calls, " << cases << " cases, "
              << failedCalls << " entry point failures reported, 0 receipts lost" << std::endl;
  }

  // A closing reported done made the closed day the previous counters, and
  // its document showed that day.
  void CheckReportedClosing(const std::string& aOutput, const std::string& aRoot,
                            const std::string& aWhere) {
    for (const std::string& line : SplitLines(aOutput)) {
      if (!line.starts_with("closed ")) continue;
      kRTSCounters previous;
      ASSERT_TRUE(previous.Load(aRoot + "/" + kTill + "/QX_counters.previous.srtc")) << aWhere;
      EXPECT_EQ(line, "closed " + std::to_string(previous.CurrentzRep()) + " " +
                          std::to_string(previous.CurrentnRec()))
          << aWhere;
    }
  }

  std::string prepared_;
};

TEST_F(IoFaultTest, FirstOpeningOfTheTill) { Run({"open new day", {}, {"open", "sign:1"}}); }

TEST_F(IoFaultTest, ResumedOpening) { Run({"open resumed", {"open", "sign:2"}, {"open"}}); }

TEST_F(IoFaultTest, Signing) { Run({"sign", {"open", "sign:2"}, {"open", "sign:3"}}); }

TEST_F(IoFaultTest, Closing) { Run({"close", {"open", "sign:2"}, {"open", "close", "open"}}); }

}  // namespace
}  // namespace qx::testing
