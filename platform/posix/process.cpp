// The host process through /proc, the single-instance claim as an exclusive
// lock on a lock file, and unloading through dlclose.
#include "platform/process.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/files.h"

namespace qx {

std::string ExecutablePath() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0) return std::string();
  path.resize(static_cast<size_t>(length));
  // An executable replaced while running is shown with this mark.
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
    path.resize(path.size() - kDeleted.size());
  }
  return path;
}

std::vector<std::string> ProgramArguments() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> arguments;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    arguments.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (!arguments.empty()) arguments.erase(arguments.begin());  // the program name
  return arguments;
}

std::string InstanceClaimName(const std::string& baseName) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string directory = runtime != nullptr && *runtime != '\0' ? runtime : "/tmp";
  return JoinPath(directory, baseName + ".lock");
}

intptr_t ClaimInstance(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return kNoInstanceClaim;
}

void ReleaseInstance(intptr_t claim) {
  if (claim == kNoInstanceClaim) return;
  ::flock(static_cast<int>(claim), LOCK_UN);
  ::close(static_cast<int>(claim));
}

std::string EnvironmentText(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string SystemDataRoot() { return "/var/lib/QX_SRT_DB"; }

// dlclose runs the unload step without a lock the threads need: it stops them.
bool UnloadMayWaitForThreads() { return true; }

}  // namespace qx
