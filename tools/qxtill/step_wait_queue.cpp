// The wait-queue step: waits until the pusher has delivered (or filed) every
// document queued for the till opened earlier in the run.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/files.h"
#include "platform/strings.h"
#include "tools/qxtill/qxtill.h"

namespace qx::qxtill {
namespace {

constexpr int kDefaultTimeoutSeconds = 60;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

}  // namespace

bool StepWaitQueue(Session& aSession, const std::vector<std::string>& aArgs) {
  int32_t timeoutSeconds = kDefaultTimeoutSeconds;
  if (!aArgs.empty() && (!TryStrToInt(aArgs[0], timeoutSeconds) || timeoutSeconds < 0)) {
    std::fprintf(stderr, "qxtill: wait-queue: '%s' is not a number of seconds\n", aArgs[0].c_str());
    return false;
  }
  if (aSession.tillId.empty()) {
    std::fprintf(stderr, "qxtill: wait-queue needs an open step before it\n");
    return false;
  }
  const std::string queueDir = JoinPath(JoinPath(DataRoot(), aSession.tillId), "Queue");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  for (;;) {
    const size_t queued = DirectoryExists(queueDir) ? ListFiles(queueDir, ".srtd").size() : 0;
    if (queued == 0) {
      std::printf("wait-queue %s -> empty\n", queueDir.c_str());
      std::fflush(stdout);
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      std::printf("wait-queue %s -> %zu document(s) still queued after %d s\n", queueDir.c_str(),
                  queued, static_cast<int>(timeoutSeconds));
      std::fflush(stdout);
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace qx::qxtill
