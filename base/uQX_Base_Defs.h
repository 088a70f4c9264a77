// Types shared by the application base and the logging subsystem.
#pragma once

#include <cstdint>

namespace qx {

// The kind of a log entry; decides the separator written after the stamp.
enum tQX_MessageType : uint8_t {
  let_info = 0,
  let_error = 1,
};

// Flags of a notification-icon record.
constexpr uint32_t kNifMessage = 1;
constexpr uint32_t kNifIcon = 2;
// The message a notification icon sends its window: the first user message
// number plus 100.
constexpr uint32_t kNotifyIconCallbackMessage = 1024 + 100;

// What the application keeps about its notification-area icon: the window it
// reports to, its id, callback message, icon and which of these are valid.
struct tQX_NotifyIconData {
  uint32_t cbSize = 0;
  uintptr_t hWnd = 0;
  uint32_t uID = 0;
  uint32_t uFlags = 0;
  uint32_t uCallbackMessage = 0;
  uintptr_t hIcon = 0;
};

}  // namespace qx
