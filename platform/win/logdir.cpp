// Where the logs live on Windows: the convention the shop PCs' hosts and
// support staff know, the application log beside the host executable and the
// pusher's log below the host's current directory.
#include "platform/files.h"
#include "platform/logfile.h"

namespace qx {

std::string ApplicationLogDirectory(const std::string& aHostDirectory) {
  return JoinPath(aHostDirectory, "LogFiles");
}

std::string PusherLogDirectory() { return "LogFiles/RTPusher"; }

std::string DataRootLogFolder() { return std::string(); }

}  // namespace qx
