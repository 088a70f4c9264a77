// The message box in Win32: the system's modal box with a single OK button,
// an information or an error icon, at the default position.
#include "base/uQX_Base_MessageBox.h"

#include <windows.h>

#include "platform/win/wide.h"

namespace qx {

bool ShowMessageBox(tQX_MessageType kind, std::string_view message) {
  const bool error = kind == let_error;
  const UINT style =
      MB_OK | MB_TASKMODAL | MB_SETFOREGROUND | (error ? MB_ICONERROR : MB_ICONINFORMATION);
  try {
    return MessageBoxW(nullptr, win::Wide(message).c_str(), error ? L"Error" : L"Information",
                       style) != 0;
  } catch (...) {
    return false;
  }
}

}  // namespace qx
