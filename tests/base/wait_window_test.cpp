// The wait window and the message box on a real X server: a private Xvfb
// started by the test on a display number it picks itself.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/uQX_Base.h"
#include "base/uQX_Base_MessageBox.h"
#include "base/uQX_Base_Wait.h"
#include "base/uQX_Base_X11.h"

extern char** environ;

namespace qx {
namespace {

namespace fs = std::filesystem;

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;
constexpr int kDeadlineMs = 30000;

std::string FindOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::string();
}

// A private X server. Xvfb chooses a free display number and reports it on a
// pipe once it accepts connections.
class Xvfb {
 public:
  bool Start(const std::string& binary, std::string& error) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const std::string fd = std::to_string(fds[1]);
    const std::string screen =
        std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
    const char* argv[] = {binary.c_str(), "-displayfd", fd.c_str(), "-screen", "0",
                          screen.c_str(), "-nolisten",  "tcp",      nullptr};
    const int spawned = ::posix_spawn(&pid_, binary.c_str(), &actions, nullptr,
                                      const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
      ::close(fds[0]);
      pid_ = -1;
      error = "cannot start Xvfb";
      return false;
    }
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    for (;;) {
      if (::poll(&wait, 1, kDeadlineMs) <= 0) break;
      char c;
      if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
      number += c;
    }
    ::close(fds[0]);
    if (number.empty()) {
      error = "Xvfb did not report a display";
      return false;
    }
    display_ = ":" + number;
    return true;
  }

  ~Xvfb() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

class WaitWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string binary = FindOnPath("Xvfb");
    if (binary.empty()) GTEST_SKIP() << "Xvfb is not installed";
    std::string error;
    ASSERT_TRUE(server_.Start(binary, error)) << error;
    ::setenv("DISPLAY", server_.display().c_str(), 1);
    x_ = tQX_X11::Connect();
    ASSERT_NE(x_, nullptr) << "cannot open " << server_.display();
  }

  void TearDown() override {
    x_.reset();
    ::unsetenv("DISPLAY");
  }

  XWindowAttributes Attributes(::Window window) const {
    XWindowAttributes attributes{};
    EXPECT_NE(x_->GetWindowAttributes(x_->display(), window, &attributes), 0);
    return attributes;
  }

  // The colours of a rectangle of a window, as 8-bit red, green and blue.
  std::vector<std::array<int, 3>> Pixels(::Window window, int px, int py, unsigned width,
                                         unsigned height) const {
    std::vector<std::array<int, 3>> rgb;
    XImage* image = x_->GetImage(x_->display(), window, px, py, width, height, AllPlanes, ZPixmap);
    EXPECT_NE(image, nullptr);
    if (image == nullptr) return rgb;
    for (unsigned y = 0; y < height; ++y) {
      for (unsigned x = 0; x < width; ++x) {
        const unsigned long pixel = XGetPixel(image, static_cast<int>(x), static_cast<int>(y));
        rgb.push_back({Channel(pixel, image->red_mask), Channel(pixel, image->green_mask),
                       Channel(pixel, image->blue_mask)});
      }
    }
    XDestroyImage(image);
    return rgb;
  }

  std::array<int, 3> PixelAt(::Window window, int px, int py) const {
    const auto rgb = Pixels(window, px, py, 1, 1);
    return rgb.empty() ? std::array<int, 3>{-1, -1, -1} : rgb[0];
  }

  static int Channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return -1;
    int shift = 0;
    while (((mask >> shift) & 1u) == 0) ++shift;
    return static_cast<int>((pixel & mask) >> shift);
  }

  std::vector<::Window> Children(::Window window) const {
    ::Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    EXPECT_NE(x_->QueryTree(x_->display(), window, &root, &parent, &children, &count), 0);
    std::vector<::Window> result(children, children + count);
    if (children != nullptr) x_->Free(children);
    return result;
  }

  // Waits for an event of |type| on the test's connection; false at the deadline.
  bool WaitForEvent(int type, XEvent& event) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    for (;;) {
      while (x_->Pending(x_->display()) > 0) {
        x_->NextEvent(x_->display(), &event);
        if (event.type == type) return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      pollfd wait{ConnectionNumber(x_->display()), POLLIN, 0};
      ::poll(&wait, 1, static_cast<int>(left));
    }
  }

  void Close(::Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = x_->InternAtom(x_->display(), "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] =
        static_cast<long>(x_->InternAtom(x_->display(), "WM_DELETE_WINDOW", False));
    x_->SendEvent(x_->display(), window, False, NoEventMask, &event);
    x_->Flush(x_->display());
  }

  std::string NameOf(::Window window) const {
    char* name = nullptr;
    if (x_->FetchName(x_->display(), window, &name) == 0 || name == nullptr) return "";
    std::string result(name);
    x_->Free(name);
    return result;
  }

  Xvfb server_;
  std::unique_ptr<tQX_X11> x_;
};

TEST_F(WaitWindowTest, BorderlessCentredDarkBlueAndWiderThanItsLabel) {
  tQX_Wait wait;
  const ::Window window = wait.WindowId();
  ASSERT_NE(window, 0u);
  EXPECT_EQ(Attributes(window).map_state, IsUnmapped);  // created hidden

  wait.Start();
  EXPECT_TRUE(wait.Started());
  const XWindowAttributes form = Attributes(window);
  EXPECT_EQ(form.map_state, IsViewable);
  EXPECT_TRUE(form.override_redirect);  // no border or caption from a window manager
  EXPECT_EQ(form.border_width, 0);
  EXPECT_EQ(form.height, 50);
  EXPECT_EQ(NameOf(window), "Attendere prego ...");

  const std::vector<::Window> children = Children(window);
  ASSERT_EQ(children.size(), 1u);
  const XWindowAttributes label = Attributes(children[0]);
  EXPECT_GT(label.width, 1);
  EXPECT_EQ(form.width, label.width * 13 / 10);  // 1.3 times, truncated
  EXPECT_EQ(label.x, (form.width - label.width) / 2);
  EXPECT_EQ(label.y, (form.height - label.height) / 2);
  EXPECT_EQ(form.x, (kScreenWidth - form.width) / 2);
  EXPECT_EQ(form.y, (kScreenHeight - form.height) / 2);

  EXPECT_EQ(PixelAt(window, 0, 0), (std::array<int, 3>{12, 25, 117}));
  EXPECT_EQ(PixelAt(window, form.width - 1, form.height - 1), (std::array<int, 3>{12, 25, 117}));
  // The caption is painted in white on the label.
  const auto caption = Pixels(children[0], 0, 0, static_cast<unsigned>(label.width),
                              static_cast<unsigned>(label.height));
  const bool white =
      std::find(caption.begin(), caption.end(), std::array<int, 3>{255, 255, 255}) != caption.end();
  EXPECT_TRUE(white);

  wait.Stop();
  EXPECT_FALSE(wait.Started());
  EXPECT_EQ(Attributes(window).map_state, IsUnmapped);
}

TEST_F(WaitWindowTest, MessageBoxWaitsForTheUserWithTheWaitWindowHidden) {
  fs::path dir = fs::temp_directory_path() / ("qxwait" + std::to_string(::getpid()));
  fs::create_directories(dir / "bin");
  {
    tQX_Application app(tQX_HostProcess{(dir / "bin" / "host").string(), {}});
    app.Wait().Start();
    const ::Window waitWindow = app.Wait().WindowId();
    x_->SelectInput(x_->display(), x_->root(), SubstructureNotifyMask);
    x_->Flush(x_->display());

    std::thread user([&app] { app.UserMessage(let_error, "Stampante non pronta\nRiprovare"); });
    XEvent event{};
    bool mapped = false;
    while (!mapped && WaitForEvent(MapNotify, event)) mapped = event.xmap.window != waitWindow;
    ASSERT_TRUE(mapped) << "no message box appeared";
    const ::Window box = event.xmap.window;
    EXPECT_EQ(NameOf(box), "Error");
    EXPECT_EQ(Attributes(waitWindow).map_state, IsUnmapped);
    const XWindowAttributes attributes = Attributes(box);
    EXPECT_EQ(attributes.x, (kScreenWidth - attributes.width) / 2);
    Close(box);
    user.join();
    EXPECT_TRUE(app.Wait().Started());
    EXPECT_EQ(Attributes(waitWindow).map_state, IsViewable);
    // Shown, so neither logged nor an error of the application.
    EXPECT_EQ(app.LastError(), "");
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace qx
