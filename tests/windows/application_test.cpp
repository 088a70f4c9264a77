// The application object's Windows side: the wait window and the message box
// in Win32, on the desktop Wine shows on a virtual X server (borderless,
// topmost, centred, dark blue with the white caption; a message box hides the
// wait window until the user answers), and single-instance mode as a named
// mutex.
// clang-format off
#include <windows.h>  // first: the other system headers need its types
// clang-format on
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "base/uQX_Base.h"
#include "base/uQX_Base_Wait.h"

namespace qx {
namespace {

constexpr COLORREF kDarkBlue = RGB(12, 25, 117);
constexpr COLORREF kWhite = RGB(255, 255, 255);

HWND WindowOf(const tQX_Wait& wait) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(wait.WindowId()));
}

// Skips where Wine was started without a display; the test stage gives it one.
bool NoDesktop(const tQX_Wait& wait) {
  return WindowOf(wait) == nullptr && GetEnvironmentVariableW(L"DISPLAY", nullptr, 0) == 0;
}

RECT ClientRectOf(HWND window, HWND parent) {
  RECT rect{};
  GetWindowRect(window, &rect);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

TEST(WindowsWaitWindow, BorderlessTopmostCentredDarkBlueAndWiderThanItsLabel) {
  tQX_Wait wait;
  wait.Start();
  if (NoDesktop(wait)) GTEST_SKIP() << "Wine has no display to show windows on";
  const HWND window = WindowOf(wait);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(IsWindowVisible(window));
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_NE(style & WS_POPUP, 0);
  EXPECT_EQ(style & (WS_BORDER | WS_DLGFRAME | WS_THICKFRAME), 0);
  EXPECT_NE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);

  RECT client{};
  GetClientRect(window, &client);
  EXPECT_EQ(client.bottom, 50);
  const HWND label = FindWindowExW(window, nullptr, L"STATIC", nullptr);
  ASSERT_NE(label, nullptr);
  wchar_t caption[64] = {};
  GetWindowTextW(label, caption, 64);
  EXPECT_STREQ(caption, L"Attendere prego ...");
  const RECT place = ClientRectOf(label, window);
  const int labelWidth = place.right - place.left;
  const int labelHeight = place.bottom - place.top;
  EXPECT_GT(labelWidth, 1);
  EXPECT_EQ(client.right, labelWidth * 13 / 10);  // 1.3 times, truncated
  EXPECT_EQ(place.left, (client.right - labelWidth) / 2);
  EXPECT_EQ(place.top, (50 - labelHeight) / 2);

  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  RECT frame{};
  GetWindowRect(window, &frame);
  EXPECT_EQ(frame.left, work.left + (work.right - work.left - client.right) / 2);
  EXPECT_EQ(frame.top, work.top + (work.bottom - work.top - 50) / 2);

  HDC dc = GetDC(window);
  EXPECT_EQ(GetPixel(dc, 0, 0), kDarkBlue);
  EXPECT_EQ(GetPixel(dc, client.right - 1, client.bottom - 1), kDarkBlue);
  ReleaseDC(window, dc);
  // The caption is painted in white on the label's dark blue.
  HDC labelDc = GetDC(label);
  bool white = false;
  for (int y = 0; y < labelHeight && !white; ++y) {
    for (int x = 0; x < labelWidth && !white; ++x) white = GetPixel(labelDc, x, y) == kWhite;
  }
  EXPECT_EQ(GetPixel(labelDc, 0, 0), kDarkBlue);
  ReleaseDC(label, labelDc);
  EXPECT_TRUE(white);

  wait.Stop();
  EXPECT_FALSE(IsWindowVisible(window));
}

// A host executable's path below the user's temporary folder, written with
// '/' the way the library reads its host's path.
std::string TemporaryHost() {
  wchar_t temp[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, temp);
  std::string host;
  for (const wchar_t* c = temp; *c != 0; ++c) host += *c == L'\\' ? '/' : static_cast<char>(*c);
  return host + "qxwait/bin/host.exe";
}

// The box runs its own modal loop on the caller's thread; another thread
// watches for it, looks at the wait window and answers it.
TEST(WindowsWaitWindow, MessageBoxWaitsForTheUserWithTheWaitWindowHidden) {
  tQX_Application app(tQX_HostProcess{TemporaryHost(), {}});
  app.Wait().Start();
  if (NoDesktop(app.Wait())) GTEST_SKIP() << "Wine has no display to show windows on";
  const HWND waitWindow = WindowOf(app.Wait());
  ASSERT_NE(waitWindow, nullptr);

  HWND box = nullptr;
  bool waitShownWithBox = true;
  std::thread user([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((box = FindWindowW(L"#32770", L"Error")) == nullptr &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (box == nullptr) return;
    waitShownWithBox = IsWindowVisible(waitWindow) != 0;
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  app.UserMessage(let_error, "Stampante non pronta\nRiprovare");
  user.join();
  ASSERT_NE(box, nullptr) << "no message box appeared";
  EXPECT_FALSE(waitShownWithBox);
  EXPECT_TRUE(app.Wait().Started());
  EXPECT_TRUE(IsWindowVisible(waitWindow));
  // Shown, so neither logged nor an error of the application.
  EXPECT_EQ(app.LastError(), "");
}

// A second instance of the same host is refused (in batch mode, logged
// rather than shown) until the first gives the claim back.
TEST(WindowsApplication, SingleInstanceIsANamedMutexTakenOnce) {
  tQX_Application first(tQX_HostProcess{TemporaryHost(), {"/batch"}});
  first.AssignSingleInstance(true);
  EXPECT_FALSE(first.Terminated());
  {
    tQX_Application second(tQX_HostProcess{TemporaryHost(), {"/batch"}});
    second.AssignSingleInstance(true);
    EXPECT_TRUE(second.Terminated());
    EXPECT_EQ(second.LastError(), "Impossible to enter single instance mode.");
  }
  first.AssignSingleInstance(false);
  tQX_Application third(tQX_HostProcess{TemporaryHost(), {"/batch"}});
  third.AssignSingleInstance(true);
  EXPECT_FALSE(third.Terminated());
}

}  // namespace
}  // namespace qx
