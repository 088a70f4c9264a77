// The modal message box: the message with a single OK button, as an
// information or an error box.
#pragma once

#include <string_view>

#include "base/uQX_Base_Defs.h"

namespace qx {

// Shows the box on the display and returns once the user has closed it (OK,
// Return, Escape, space, or the window's close button). False, with nothing
// shown, when no display is available.
bool ShowMessageBox(tQX_MessageType kind, std::string_view message);

}  // namespace qx
