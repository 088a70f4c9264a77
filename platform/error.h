// The single error type of the library. Every failure that is raised rather
// than returned carries one fixed English message; entry points turn it into
// their failure result.
#pragma once

#include <stdexcept>
#include <string>

namespace qx {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace qx
