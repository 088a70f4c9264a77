// Run-time binding of the Xlib calls through dlopen.
#include "base/uQX_Base_X11.h"

#include <dlfcn.h>

#include <cstdlib>

namespace qx {

namespace {

template <typename Function>
bool Resolve(void* library, const char* name, Function& target) {
  target = reinterpret_cast<Function>(::dlsym(library, name));
  return target != nullptr;
}

}  // namespace

std::unique_ptr<tQX_X11> tQX_X11::Connect() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') return nullptr;
  // Kept loaded once loaded: Xlib keeps process-wide state of its own, and a
  // host may use the same library.
  void* library = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library == nullptr) return nullptr;
  std::unique_ptr<tQX_X11> x(new tQX_X11());
  x->fLibrary = library;
  decltype(&::XOpenDisplay) open = nullptr;
  if (!Resolve(library, "XOpenDisplay", open) || !x->Bind(library)) return nullptr;
  x->fDisplay = open(name);
  if (x->fDisplay == nullptr) return nullptr;
  return x;
}

bool tQX_X11::Bind(void* library) {
  return Resolve(library, "XCloseDisplay", CloseDisplay) &&
         Resolve(library, "XCreateWindow", CreateWindow) &&
         Resolve(library, "XDestroyWindow", DestroyWindow) &&
         Resolve(library, "XMapRaised", MapRaised) &&
         Resolve(library, "XMapSubwindows", MapSubwindows) &&
         Resolve(library, "XUnmapWindow", UnmapWindow) &&
         Resolve(library, "XMoveResizeWindow", MoveResizeWindow) &&
         Resolve(library, "XSelectInput", SelectInput) &&
         Resolve(library, "XStoreName", StoreName) && Resolve(library, "XFetchName", FetchName) &&
         Resolve(library, "XInternAtom", InternAtom) &&
         Resolve(library, "XSetWMProtocols", SetWMProtocols) &&
         Resolve(library, "XSetWMNormalHints", SetWMNormalHints) &&
         Resolve(library, "XLoadQueryFont", LoadQueryFont) &&
         Resolve(library, "XFreeFont", FreeFont) && Resolve(library, "XTextWidth", TextWidth) &&
         Resolve(library, "XCreateGC", CreateGC) && Resolve(library, "XFreeGC", FreeGC) &&
         Resolve(library, "XSetForeground", SetForeground) &&
         Resolve(library, "XSetFont", SetFont) && Resolve(library, "XDrawString", DrawString) &&
         Resolve(library, "XDrawRectangle", DrawRectangle) &&
         Resolve(library, "XFillRectangle", FillRectangle) &&
         Resolve(library, "XAllocColor", AllocColor) && Resolve(library, "XFlush", Flush) &&
         Resolve(library, "XSync", Sync) && Resolve(library, "XPending", Pending) &&
         Resolve(library, "XNextEvent", NextEvent) && Resolve(library, "XSendEvent", SendEvent) &&
         Resolve(library, "XGetWindowAttributes", GetWindowAttributes) &&
         Resolve(library, "XGetGeometry", GetGeometry) && Resolve(library, "XGetImage", GetImage) &&
         Resolve(library, "XQueryTree", QueryTree) &&
         Resolve(library, "XLookupKeysym", LookupKeysym) && Resolve(library, "XFree", Free);
}

tQX_X11::~tQX_X11() {
  if (fDisplay != nullptr) CloseDisplay(fDisplay);
  if (fLibrary != nullptr) ::dlclose(fLibrary);
}

unsigned long tQX_X11::Pixel(unsigned char red, unsigned char green, unsigned char blue) const {
  XColor color{};
  color.red = static_cast<unsigned short>(red * 257);
  color.green = static_cast<unsigned short>(green * 257);
  color.blue = static_cast<unsigned short>(blue * 257);
  color.flags = DoRed | DoGreen | DoBlue;
  if (AllocColor(fDisplay, DefaultColormap(fDisplay, screen()), &color) == 0) {
    return BlackPixel(fDisplay, screen());
  }
  return color.pixel;
}

}  // namespace qx
