// Writing a whole buffer to a POSIX descriptor, through short writes and
// interrupted calls. For the POSIX implementations of platform/ only.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace qx::posix {

// False when a write fails (errno tells why); true once every byte is written.
inline bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace qx::posix
