// Appending to a log file through POSIX descriptors, with an advisory
// exclusive lock (flock) between writers.
#include "platform/logfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/write_all.h"

namespace qx {

int64_t LogFileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

using posix::WriteAll;

// A symbolic link planted where the log goes is not followed and anything
// but a regular file (a FIFO, a device) is left alone, so the log cannot be
// turned onto another file nor block its thread.
bool AppendLogLine(const std::string& fileName, std::string_view line) {
  const int fd =
      ::open(fileName.c_str(),
             O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) return false;
  bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (ok) {
    struct stat before;
    ok = ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
    if (ok) {
      std::string bytes;
      bytes.reserve(line.size() + 2);
      bytes.append(line).append("\r\n");
      ok = WriteAll(fd, bytes);
      if (!ok) (void)::ftruncate(fd, before.st_size);
    }
  }
  if (::close(fd) != 0) ok = false;
  return ok;
}

}  // namespace qx
