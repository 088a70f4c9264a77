// The wait window over Xlib: an override-redirect window (no border, no
// caption, above the managed windows) with a label window holding the caption.
#include "base/uQX_Base_Wait.h"

#include <cstring>

#include "base/uQX_Base_X11.h"

namespace qx {

namespace {

// 10 point bold first; the server's built-in font when none is installed.
constexpr const char* kFonts[] = {
    "-*-helvetica-bold-r-normal--*-100-*-*-*-*-iso8859-1",
    "-*-*-bold-r-normal--*-100-*-*-*-*-iso8859-1",
    "-*-*-bold-r-*--*-100-*-*-*-*-*-*",
    "fixed",
};

}  // namespace

class tQX_Wait::Form {
 public:
  // Null when there is no display.
  static std::unique_ptr<Form> Create() {
    std::unique_ptr<tQX_X11> x = tQX_X11::Connect();
    if (!x) return nullptr;
    return std::unique_ptr<Form>(new Form(std::move(x)));
  }

  ~Form() {
    if (fGC != nullptr) fX->FreeGC(fX->display(), fGC);
    if (fFont != nullptr) fX->FreeFont(fX->display(), fFont);
    fX->DestroyWindow(fX->display(), fWindow);  // with the label
    fX->Sync(fX->display(), False);
  }

  ::Window id() const { return fWindow; }

  void Show() {
    fX->MapRaised(fX->display(), fWindow);
    fX->Sync(fX->display(), False);
    Paint();
    ProcessMessages();
  }

  void Hide() {
    fX->UnmapWindow(fX->display(), fWindow);
    fX->Sync(fX->display(), False);
  }

  void ProcessMessages() {
    Display* display = fX->display();
    while (fX->Pending(display) > 0) {
      XEvent event;
      fX->NextEvent(display, &event);
      if (event.type == Expose && event.xexpose.window == fLabel && event.xexpose.count == 0) {
        Paint();
      }
    }
    fX->Flush(display);
  }

 private:
  explicit Form(std::unique_ptr<tQX_X11> x) : fX(std::move(x)) {
    Display* display = fX->display();
    const unsigned long background = fX->Pixel(kBackground[0], kBackground[1], kBackground[2]);

    // 1. Borderless, on top of other windows, client area 100 x 50, hidden.
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = background;
    attributes.border_pixel = background;
    fWindow = fX->CreateWindow(display, fX->root(), 0, 0, 100, kClientHeight, 0, CopyFromParent,
                               InputOutput, CopyFromParent,
                               CWOverrideRedirect | CWBackPixel | CWBorderPixel, &attributes);
    fX->StoreName(display, fWindow, kCaption);

    // 2. The label sizes itself to its caption.
    for (const char* name : kFonts) {
      fFont = fX->LoadQueryFont(display, name);
      if (fFont != nullptr) break;
    }
    const int length = static_cast<int>(std::strlen(kCaption));
    const int labelWidth = fFont != nullptr ? fX->TextWidth(fFont, kCaption, length) : 0;
    const int labelHeight = fFont != nullptr ? fFont->ascent + fFont->descent : 0;
    attributes.event_mask = ExposureMask;
    fLabel = fX->CreateWindow(display, fWindow, 0, 0, Positive(labelWidth), Positive(labelHeight),
                              0, CopyFromParent, InputOutput, CopyFromParent,
                              CWBackPixel | CWEventMask, &attributes);
    fGC = fX->CreateGC(display, fLabel, 0, nullptr);
    fX->SetForeground(display, fGC, WhitePixel(display, fX->screen()));
    if (fFont != nullptr) fX->SetFont(display, fGC, fFont->fid);

    // 3. The client width is the label's width times 1.3, truncated.
    const int clientWidth = labelWidth * 13 / 10;
    // 4. The label in the middle, each offset halved with truncation toward zero.
    const int top = (kClientHeight - labelHeight) / 2;
    const int left = (clientWidth - labelWidth) / 2;
    fX->MoveResizeWindow(display, fLabel, left, top, Positive(labelWidth), Positive(labelHeight));
    fX->MapSubwindows(display, fWindow);

    // At the centre of the screen.
    fX->MoveResizeWindow(display, fWindow, (fX->ScreenWidth() - clientWidth) / 2,
                         (fX->ScreenHeight() - kClientHeight) / 2, Positive(clientWidth),
                         kClientHeight);
    fX->Flush(display);
  }

  // X refuses empty windows; a zero size becomes one pixel.
  static unsigned Positive(int size) { return size > 0 ? static_cast<unsigned>(size) : 1u; }

  void Paint() {
    if (fFont == nullptr) return;
    fX->DrawString(fX->display(), fLabel, fGC, 0, fFont->ascent, kCaption,
                   static_cast<int>(std::strlen(kCaption)));
    fX->Flush(fX->display());
  }

  std::unique_ptr<tQX_X11> fX;
  ::Window fWindow = 0;
  ::Window fLabel = 0;  // the caption, owned by the window
  XFontStruct* fFont = nullptr;
  GC fGC = nullptr;
};

tQX_Wait::tQX_Wait() : fForm(Form::Create()) {}

tQX_Wait::~tQX_Wait() = default;

void tQX_Wait::Start() {
  if (fForm) fForm->Show();
  fStarted = true;
}

void tQX_Wait::Stop() {
  fStarted = false;
  if (fForm) fForm->Hide();
}

void tQX_Wait::ProcessMessages() {
  if (fForm) fForm->ProcessMessages();
}

unsigned long tQX_Wait::WindowId() const { return fForm ? fForm->id() : 0; }

}  // namespace qx
