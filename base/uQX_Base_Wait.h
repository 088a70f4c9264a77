// The wait window: a small borderless window at the centre of the screen,
// dark blue with the white caption "Attendere prego ...", shown while the user
// has to wait. Without a display it only keeps track of whether it is shown.
#pragma once

#include <memory>

namespace qx {

class tQX_Wait {
 public:
  static constexpr char kCaption[] = "Attendere prego ...";
  static constexpr int kClientHeight = 50;
  // Background colour, red, green and blue.
  static constexpr unsigned char kBackground[3] = {12, 25, 117};

  // Creates the window hidden when a display is available.
  tQX_Wait();
  ~tQX_Wait();
  tQX_Wait(const tQX_Wait&) = delete;
  tQX_Wait& operator=(const tQX_Wait&) = delete;

  bool Started() const { return fStarted; }
  // Shows the window (not modal) and paints it at once.
  void Start();
  // Hides the window.
  void Stop();
  // Handles the window's pending events (repaints).
  void ProcessMessages();

  // The X window id of the form, 0 without a display.
  unsigned long WindowId() const;

 private:
  class Form;
  std::unique_ptr<Form> fForm;  // null without a display
  bool fStarted = false;
};

}  // namespace qx
