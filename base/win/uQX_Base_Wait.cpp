// The wait window in Win32: a borderless, topmost popup at the centre of the
// desktop, dark blue, with the white bold caption "Attendere prego ..." in a
// static label. The window is made on first use rather than when the
// application object is built, because that happens while the library is
// being loaded, when creating windows is not safe.
#include "base/uQX_Base_Wait.h"

#include <windows.h>

#include "platform/win/wide.h"

namespace qx {

namespace {

constexpr wchar_t kClassName[] = L"QX_WaitWindow";
constexpr int kFontPoints = 10;
constexpr int kInitialClientWidth = 100;

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

COLORREF Background() {
  return RGB(tQX_Wait::kBackground[0], tQX_Wait::kBackground[1], tQX_Wait::kBackground[2]);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CTLCOLORSTATIC) {
    // The label: white text on the window's own colour.
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, RGB(255, 255, 255));
    SetBkColor(dc, Background());
    return static_cast<LRESULT>(GetClassLongPtrW(window, GCLP_HBRBACKGROUND));
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterWindowClass(HINSTANCE module) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = module;
  windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT));
  windowClass.hbrBackground = CreateSolidBrush(Background());
  windowClass.lpszClassName = kClassName;
  return RegisterClassExW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

class tQX_Wait::Form {
 public:
  // Null when no window can be made (no window station, for example).
  static std::unique_ptr<Form> Create() {
    const HINSTANCE module = ThisModule();
    if (!RegisterWindowClass(module)) return nullptr;
    auto form = std::unique_ptr<Form>(new Form(module));
    if (form->fWindow == nullptr) return nullptr;
    return form;
  }

  ~Form() {
    DestroyWindow(fWindow);  // with the label
    if (fFont != nullptr) DeleteObject(fFont);
  }

  HWND id() const { return fWindow; }

  void Show() {
    ShowWindow(fWindow, SW_SHOWNOACTIVATE);
    UpdateWindow(fWindow);
    ProcessMessages();
  }

  void Hide() { ShowWindow(fWindow, SW_HIDE); }

  void ProcessMessages() {
    MSG message;
    while (PeekMessageW(&message, fWindow, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }

 private:
  explicit Form(HINSTANCE module) {
    // 1. The window, 100 by 50 pixels of client area, hidden.
    fWindow =
        CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kClassName, L"", WS_POPUP, 0, 0,
                        kInitialClientWidth, kClientHeight, nullptr, nullptr, module, nullptr);
    if (fWindow == nullptr) return;
    // 2. The label, sized to its caption in 10-point bold.
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(kFontPoints, GetDeviceCaps(screen, LOGPIXELSY), 72);
    fFont = CreateFontW(height, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                        DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
    const std::wstring caption = win::Wide(kCaption);
    SIZE text{};
    HGDIOBJ previous = SelectObject(screen, fFont);
    GetTextExtentPoint32W(screen, caption.c_str(), static_cast<int>(caption.size()), &text);
    SelectObject(screen, previous);
    ReleaseDC(nullptr, screen);
    // 3. The client width is the label's width times 1.3, truncated.
    const int width = text.cx * 13 / 10;
    // 4. The label centred, each offset halved toward zero.
    fLabel = CreateWindowExW(0, L"STATIC", caption.c_str(), WS_CHILD | WS_VISIBLE | SS_CENTER,
                             (width - text.cx) / 2, (kClientHeight - text.cy) / 2, text.cx, text.cy,
                             fWindow, nullptr, module, nullptr);
    if (fLabel != nullptr) SendMessageW(fLabel, WM_SETFONT, reinterpret_cast<WPARAM>(fFont), FALSE);
    // The window at the centre of the desktop's work area.
    RECT desktop{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &desktop, 0);
    SetWindowPos(fWindow, HWND_TOPMOST, desktop.left + (desktop.right - desktop.left - width) / 2,
                 desktop.top + (desktop.bottom - desktop.top - kClientHeight) / 2, width,
                 kClientHeight, SWP_NOACTIVATE);
  }

  HWND fWindow = nullptr;
  HWND fLabel = nullptr;  // the caption, owned by the window
  HFONT fFont = nullptr;
};

tQX_Wait::tQX_Wait() = default;

tQX_Wait::~tQX_Wait() = default;

void tQX_Wait::Start() {
  if (!fForm) fForm = Form::Create();
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

unsigned long tQX_Wait::WindowId() const {
  return fForm ? static_cast<unsigned long>(reinterpret_cast<uintptr_t>(fForm->id())) : 0;
}

}  // namespace qx
