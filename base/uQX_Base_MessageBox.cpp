// The message box over Xlib: a fixed-size window centred on the screen with
// the message lines, a coloured bar telling information from error, and an OK
// button; its own event loop runs until the user closes it.
#include "base/uQX_Base_MessageBox.h"

#include <X11/keysym.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/uQX_Base_X11.h"
#include "platform/strings.h"

namespace qx {

namespace {

constexpr const char* kFonts[] = {
    "-*-helvetica-medium-r-normal--*-100-*-*-*-*-iso8859-1",
    "-*-*-medium-r-normal--*-100-*-*-*-*-iso8859-1",
    "fixed",
};
constexpr int kMargin = 16;
constexpr int kBar = 6;
constexpr int kMinimumWidth = 240;
constexpr char kOk[] = "OK";

// The core fonts draw Latin-1; other characters show as '?'.
std::string ToLatin1(std::string_view text) {
  std::string result;
  for (char16_t unit : Utf8ToUtf16(text)) {
    result += unit <= 0xFF ? static_cast<char>(unit) : '?';
  }
  return result;
}

std::vector<std::string> SplitLines(std::string_view message) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < message.size(); ++i) {
    const char c = message[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') ++i;
      lines.emplace_back();
    } else {
      lines.back() += c;
    }
  }
  for (std::string& line : lines) line = ToLatin1(line);
  return lines;
}

class MessageBox {
 public:
  MessageBox(tQX_X11& x, tQX_MessageType kind, std::string_view message)
      : fX(x), fDisplay(x.display()), fLines(SplitLines(message)), fKind(kind) {
    for (const char* name : kFonts) {
      fFont = fX.LoadQueryFont(fDisplay, name);
      if (fFont != nullptr) break;
    }
    Layout();
    XSetWindowAttributes attributes{};
    attributes.background_pixel = fX.Pixel(240, 240, 240);
    attributes.event_mask =
        ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
    fWindow = fX.CreateWindow(fDisplay, fX.root(), (fX.ScreenWidth() - fWidth) / 2,
                              (fX.ScreenHeight() - fHeight) / 2, fWidth, fHeight, 0, CopyFromParent,
                              InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &attributes);
    fX.StoreName(fDisplay, fWindow, kind == let_error ? "Error" : "Information");
    fDeleteWindow = fX.InternAtom(fDisplay, "WM_DELETE_WINDOW", False);
    fX.SetWMProtocols(fDisplay, fWindow, &fDeleteWindow, 1);
    XSizeHints hints{};
    hints.flags = PPosition | PMinSize | PMaxSize;
    hints.x = (fX.ScreenWidth() - fWidth) / 2;
    hints.y = (fX.ScreenHeight() - fHeight) / 2;
    hints.min_width = hints.max_width = fWidth;
    hints.min_height = hints.max_height = fHeight;
    fX.SetWMNormalHints(fDisplay, fWindow, &hints);
    fGC = fX.CreateGC(fDisplay, fWindow, 0, nullptr);
    if (fFont != nullptr) fX.SetFont(fDisplay, fGC, fFont->fid);
  }

  ~MessageBox() {
    fX.FreeGC(fDisplay, fGC);
    if (fFont != nullptr) fX.FreeFont(fDisplay, fFont);
    fX.DestroyWindow(fDisplay, fWindow);
    fX.Sync(fDisplay, False);
  }

  // Shows the box and handles its events until it is closed.
  void Run() {
    fX.MapRaised(fDisplay, fWindow);
    for (bool open = true; open;) {
      XEvent event;
      fX.NextEvent(fDisplay, &event);
      switch (event.type) {
        case Expose:
          if (event.xexpose.count == 0) Paint();
          break;
        case ButtonRelease:
          open = !InButton(event.xbutton.x, event.xbutton.y);
          break;
        case KeyPress: {
          const KeySym key = fX.LookupKeysym(&event.xkey, 0);
          open = !(key == XK_Return || key == XK_KP_Enter || key == XK_Escape || key == XK_space);
          break;
        }
        case ClientMessage:
          open = static_cast<Atom>(event.xclient.data.l[0]) != fDeleteWindow;
          break;
        case DestroyNotify:
          open = event.xdestroywindow.window != fWindow;
          break;
        default:
          break;
      }
    }
  }

 private:
  int Width(const std::string& text) const {
    return fFont != nullptr ? fX.TextWidth(fFont, text.data(), static_cast<int>(text.size())) : 0;
  }

  void Layout() {
    fLineHeight = fFont != nullptr ? fFont->ascent + fFont->descent : 13;
    int textWidth = 0;
    for (const std::string& line : fLines) textWidth = std::max(textWidth, Width(line));
    fButtonWidth = std::max(75, Width(kOk) + 24);
    fButtonHeight = fLineHeight + 12;
    fWidth = std::max(kMinimumWidth, std::max(textWidth, fButtonWidth) + 2 * kMargin + kBar);
    const int textHeight = static_cast<int>(fLines.size()) * fLineHeight;
    fHeight = kMargin + textHeight + kMargin + fButtonHeight + kMargin;
    fButtonX = (fWidth - fButtonWidth) / 2;
    fButtonY = fHeight - kMargin - fButtonHeight;
  }

  bool InButton(int x, int y) const {
    return x >= fButtonX && x < fButtonX + fButtonWidth && y >= fButtonY &&
           y < fButtonY + fButtonHeight;
  }

  void Paint() {
    fX.SetForeground(fDisplay, fGC,
                     fKind == let_error ? fX.Pixel(200, 30, 30) : fX.Pixel(12, 25, 117));
    fX.FillRectangle(fDisplay, fWindow, fGC, 0, 0, kBar, static_cast<unsigned>(fHeight));
    fX.SetForeground(fDisplay, fGC, BlackPixel(fDisplay, fX.screen()));
    if (fFont != nullptr) {
      int baseline = kMargin + fFont->ascent;
      for (const std::string& line : fLines) {
        fX.DrawString(fDisplay, fWindow, fGC, kBar + kMargin, baseline, line.data(),
                      static_cast<int>(line.size()));
        baseline += fLineHeight;
      }
      fX.DrawString(fDisplay, fWindow, fGC, fButtonX + (fButtonWidth - Width(kOk)) / 2,
                    fButtonY + 6 + fFont->ascent, kOk, 2);
    }
    fX.DrawRectangle(fDisplay, fWindow, fGC, fButtonX, fButtonY,
                     static_cast<unsigned>(fButtonWidth - 1),
                     static_cast<unsigned>(fButtonHeight - 1));
    fX.Flush(fDisplay);
  }

  tQX_X11& fX;
  Display* fDisplay;
  std::vector<std::string> fLines;
  tQX_MessageType fKind;
  XFontStruct* fFont = nullptr;
  GC fGC = nullptr;
  ::Window fWindow = 0;
  Atom fDeleteWindow = 0;
  int fLineHeight = 0, fWidth = 0, fHeight = 0;
  int fButtonX = 0, fButtonY = 0, fButtonWidth = 0, fButtonHeight = 0;
};

}  // namespace

bool ShowMessageBox(tQX_MessageType kind, std::string_view message) {
  std::unique_ptr<tQX_X11> x = tQX_X11::Connect();
  if (!x) return false;
  MessageBox box(*x, kind, message);
  box.Run();
  return true;
}

}  // namespace qx
