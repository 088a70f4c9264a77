// Shared set-up of the suites that drive the test host (qxreltill) against
// the host library: an RT server simulator in this process, a scratch data
// root per test, child processes with the environment the suites need, and
// the store checks that every suite applies after each case.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "support/child_process.h"
#include "support/store_check.h"
#include "tools/qxtill/verify.h"
#include "tools/rtsim/rtsim.h"

namespace qx::testing {

// Suites run shorter under the sanitizers, whose builds run the same tests.
inline bool SanitizerBuild() { return std::string(QX_SANITIZE_BUILD).size() > 0; }

inline std::string LibraryPath() { return std::string(QX_BINARY_DIR) + "/QXRS_VURUV90_20.so"; }
inline std::string HostPath() { return std::string(QX_BINARY_DIR) + "/qxreltill"; }
inline std::string FaultLibraryPath() { return std::string(QX_BINARY_DIR) + "/qxfaultfs.so"; }

// What the host printed: the receipts it was told were signed, by (Z report,
// receipt number), with their signatures, and every failure line.
struct HostLog {
  std::map<std::pair<int32_t, int32_t>, std::string> signedReceipts;
  std::vector<std::string> failures;
  int opened = 0;
  int closed = 0;
};

// True when a failure line ("sign-failed <error>") carries an error text.
inline bool FailureHasMessage(const std::string& aLine) {
  const size_t space = aLine.find(' ');
  return space != std::string::npos && aLine.find_first_not_of(' ', space) != std::string::npos;
}

inline HostLog ParseHostLog(const std::string& aOutput) {
  HostLog log;
  for (const std::string& line : SplitLines(aOutput)) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    if (word == "signed") {
      int32_t z = 0, n = 0;
      std::string signature;
      in >> z >> n >> signature;
      log.signedReceipts[{z, n}] = signature;
    } else if (word == "open") {
      ++log.opened;
    } else if (word == "closed") {
      ++log.closed;
    } else if (word.size() > 7 && word.compare(word.size() - 7, 7, "-failed") == 0) {
      log.failures.push_back(line);
    }
  }
  return log;
}

class HostSuite : public ::testing::Test {
 protected:
  static constexpr const char* kTill = "T01";

  void SetUp() override {
    if (!FileExists(LibraryPath())) GTEST_SKIP() << "the host library is not built";
    // Memory-backed when possible: the suites kill processes and fail calls,
    // they do not cut the power, so syncing to a disk would only slow them.
    std::string pattern = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          "/qx_reliability_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    work_ = pattern;
    root_ = work_ + "/db";
    sim_ = std::make_unique<rtsim::Simulator>();
    sim_->Start();
  }

  void TearDown() override {
    if (sim_) sim_->Stop();
    if (!work_.empty() && !::testing::Test::HasFailure()) std::filesystem::remove_all(work_);
  }

  std::string TillDir() const { return root_ + "/" + kTill; }

  // The environment of every child: its data root, a quick pusher and a
  // quick queue wait, (under AddressSanitizer) tolerance of a preloaded
  // library in front of the sanitizer's run time, and an exit status of its
  // own for a sanitizer's report, which a host's failed call cannot be taken for.
  std::vector<std::string> ChildEnv(const std::string& aRoot) const {
    const std::string exitCode = "exitcode=" + std::to_string(kSanitizerExitCode);
    return {"QX_SRT_DB=" + aRoot,
            "QX_PUSHER_PAUSE_MS=20",
            "QX_QUEUE_WAIT_MS=20",
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0:" + exitCode,
            "UBSAN_OPTIONS=print_stacktrace=1:" + exitCode,
            "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:" + exitCode};
  }

  static constexpr int kSanitizerExitCode = 86;

  std::unique_ptr<ChildProcess> StartHost(const std::vector<std::string>& aCommands,
                                          const std::string& aRoot,
                                          std::vector<std::string> aExtraEnv = {}) {
    std::vector<std::string> argv = {HostPath(), LibraryPath(), sim_->BaseAddress(),
                                     std::to_string(sim_->Port()), kTill};
    argv.insert(argv.end(), aCommands.begin(), aCommands.end());
    std::vector<std::string> env = ChildEnv(aRoot);
    env.insert(env.end(), aExtraEnv.begin(), aExtraEnv.end());
    return std::make_unique<ChildProcess>(argv, env, work_);
  }

  // Runs the host to its end; a crash or a hang fails the test.
  std::string RunHost(const std::vector<std::string>& aCommands, const std::string& aRoot,
                      std::vector<std::string> aExtraEnv = {}) {
    auto child = StartHost(aCommands, aRoot, std::move(aExtraEnv));
    child->Wait(std::chrono::seconds(120));
    EXPECT_FALSE(child->TimedOut()) << "the host hung: " << child->Output();
    EXPECT_TRUE(child->Exited()) << "the host died of signal " << child->TermSignal() << ": "
                                 << child->Output();
    EXPECT_NE(child->ExitCode(), kSanitizerExitCode) << "a sanitizer reported in the host";
    return child->Output();
  }

  // The store checks shared by the suites; |aWhere| names the case.
  StoreReport CheckStore(const std::string& aTillDir, const std::string& aWhere) {
    StoreReport report = CheckTillStore(aTillDir, kTill);
    EXPECT_TRUE(report.Consistent()) << aWhere << ": " << report.Describe();
    std::ostringstream verifyLog;
    const VerifyResult verified = VerifyTill(aTillDir, verifyLog);
    EXPECT_TRUE(verified.Ok()) << aWhere << ": verify: " << verifyLog.str();
    return report;
  }

  // The store as a kill left it, before any opening finished what the kill
  // cut short, verifies as well.
  void ExpectVerifiesAsLeft(const std::string& aTillDir, const std::string& aWhere) {
    if (!DirectoryExists(aTillDir)) return;
    std::ostringstream verifyLog;
    EXPECT_TRUE(VerifyTill(aTillDir, verifyLog).Ok())
        << aWhere << ": as the kill left it: " << verifyLog.str();
  }

  std::string work_;
  std::string root_;
  std::unique_ptr<rtsim::Simulator> sim_;
};

}  // namespace qx::testing
