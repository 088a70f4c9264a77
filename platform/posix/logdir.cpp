// Where the logs live on Linux: with the till's data, so that a host run from
// /usr/bin or from any working folder logs to the same documented place, and
// a support person finds the logs beside the store they explain.
#include "platform/files.h"
#include "platform/logfile.h"
#include "platform/process.h"

namespace qx {

namespace {

constexpr char kLogFolder[] = "LogFiles";

// A relative QX_LOG_DIR is taken below the data root, so that no setting
// makes the logs follow the host's current directory.
std::string LogRoot() {
  const std::string configured = EnvironmentText("QX_LOG_DIR");
  if (!configured.empty() && configured.front() == '/') return configured;
  std::string root = EnvironmentText("QX_SRT_DB");
  if (root.empty()) root = SystemDataRoot();
  return JoinPath(root, configured.empty() ? kLogFolder : configured);
}

}  // namespace

std::string ApplicationLogDirectory(const std::string& /*aHostDirectory*/) { return LogRoot(); }

std::string PusherLogDirectory() { return JoinPath(LogRoot(), "RTPusher"); }

std::string DataRootLogFolder() { return kLogFolder; }

}  // namespace qx
