// Types shared by the application base and the logging subsystem.
#pragma once

#include <cstdint>

namespace qx {

// The kind of a log entry; decides the separator written after the stamp.
enum tQX_MessageType : uint8_t {
  let_info = 0,
  let_error = 1,
};

}  // namespace qx
