// Xlib loaded at run time. The library needs no X libraries to load: when
// DISPLAY is set and libX11 can be loaded and the display opened, a
// connection with the Xlib calls the application base uses is available;
// otherwise there is none and windows fall back to their headless behaviour.
// Include only from source files: Xlib's headers define short macros.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace qx {

class tQX_X11 {
 public:
  // A connection to the display named by DISPLAY; null when there is none.
  static std::unique_ptr<tQX_X11> Connect();
  ~tQX_X11();
  tQX_X11(const tQX_X11&) = delete;
  tQX_X11& operator=(const tQX_X11&) = delete;

  Display* display() const { return fDisplay; }
  int screen() const { return DefaultScreen(fDisplay); }
  ::Window root() const { return RootWindow(fDisplay, screen()); }
  int ScreenWidth() const { return DisplayWidth(fDisplay, screen()); }
  int ScreenHeight() const { return DisplayHeight(fDisplay, screen()); }

  // The pixel value of an RGB colour in the default colour map (black when it
  // cannot be allocated).
  unsigned long Pixel(unsigned char red, unsigned char green, unsigned char blue) const;

  decltype(&::XCloseDisplay) CloseDisplay = nullptr;
  decltype(&::XCreateWindow) CreateWindow = nullptr;
  decltype(&::XDestroyWindow) DestroyWindow = nullptr;
  decltype(&::XMapRaised) MapRaised = nullptr;
  decltype(&::XMapSubwindows) MapSubwindows = nullptr;
  decltype(&::XUnmapWindow) UnmapWindow = nullptr;
  decltype(&::XMoveResizeWindow) MoveResizeWindow = nullptr;
  decltype(&::XSelectInput) SelectInput = nullptr;
  decltype(&::XStoreName) StoreName = nullptr;
  decltype(&::XFetchName) FetchName = nullptr;
  decltype(&::XInternAtom) InternAtom = nullptr;
  decltype(&::XSetWMProtocols) SetWMProtocols = nullptr;
  decltype(&::XSetWMNormalHints) SetWMNormalHints = nullptr;
  decltype(&::XLoadQueryFont) LoadQueryFont = nullptr;
  decltype(&::XFreeFont) FreeFont = nullptr;
  decltype(&::XTextWidth) TextWidth = nullptr;
  decltype(&::XCreateGC) CreateGC = nullptr;
  decltype(&::XFreeGC) FreeGC = nullptr;
  decltype(&::XSetForeground) SetForeground = nullptr;
  decltype(&::XSetFont) SetFont = nullptr;
  decltype(&::XDrawString) DrawString = nullptr;
  decltype(&::XDrawRectangle) DrawRectangle = nullptr;
  decltype(&::XFillRectangle) FillRectangle = nullptr;
  decltype(&::XAllocColor) AllocColor = nullptr;
  decltype(&::XFlush) Flush = nullptr;
  decltype(&::XSync) Sync = nullptr;
  decltype(&::XPending) Pending = nullptr;
  decltype(&::XNextEvent) NextEvent = nullptr;
  decltype(&::XSendEvent) SendEvent = nullptr;
  decltype(&::XGetWindowAttributes) GetWindowAttributes = nullptr;
  decltype(&::XGetGeometry) GetGeometry = nullptr;
  decltype(&::XGetImage) GetImage = nullptr;
  decltype(&::XQueryTree) QueryTree = nullptr;
  decltype(&::XLookupKeysym) LookupKeysym = nullptr;
  decltype(&::XFree) Free = nullptr;

 private:
  tQX_X11() = default;
  bool Bind(void* library);

  void* fLibrary = nullptr;
  Display* fDisplay = nullptr;
};

}  // namespace qx
