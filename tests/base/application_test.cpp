// The application object: start-up with its log in the data root, switches,
// messages, the log directory, single-instance locking, the icon record and
// how messages reach the user without a display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/uQX_Base.h"
#include "platform/error.h"
#include "platform/logfile.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qxappXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::create_directories(dir_ + "/bin");
    ::unsetenv("DISPLAY");  // message boxes go to the log and standard error
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    ::setenv("QX_SRT_DB", (dir_ + "/db").c_str(), 1);
    ::unsetenv("QX_LOG_DIR");
  }
  void TearDown() override {
    ::unsetenv("QX_SRT_DB");
    ::unsetenv("QX_LOG_DIR");
    fs::remove_all(dir_);
  }

  tQX_HostProcess Host(std::vector<std::string> arguments = {}) const {
    return {dir_ + "/bin/posHost.bin", std::move(arguments)};
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
};

// The logs never follow the host's executable or its current directory: they
// go to QX_LOG_DIR, else to the data root's LogFiles, made for the owner alone.
TEST_F(ApplicationTest, LogDirectoryIsTheSettingElseTheDataRootsLogFiles) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_ + "/bin");
  struct Case {
    std::string setting, expected;
  };
  for (const Case& c : {Case{"", dir_ + "/db/LogFiles"}, Case{dir_ + "/logs", dir_ + "/logs"},
                        Case{"logs", dir_ + "/db/logs"}}) {
    SCOPED_TRACE(c.setting);
    const std::string& expected = c.expected;
    ::setenv("QX_LOG_DIR", c.setting.c_str(), 1);
    tQX_Application app(Host());
    EXPECT_EQ(app.GetLogDirectory(), expected);
    EXPECT_EQ(fs::status(expected).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(PusherLogDirectory(), expected + "/RTPusher");
    app.Log(let_info, "here");
    app.FlushLog();
    EXPECT_EQ(fs::status(expected + "/posHost.log").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  fs::current_path(previous);
  EXPECT_TRUE(fs::is_empty(dir_ + "/bin"));  // the host's folder and current directory
}

TEST_F(ApplicationTest, StartUpCreatesTheLogDirectoryAndReadsTheVersion) {
  tQX_Application app(Host());
  EXPECT_TRUE(fs::is_directory(dir_ + "/db/LogFiles"));
  EXPECT_FALSE(fs::exists(dir_ + "/db/LogFiles/posHost.log"));
  EXPECT_EQ(app.GetLogDirectory(), dir_ + "/db/LogFiles");
  EXPECT_EQ(app.Info().Version(), QX_VERSION);
  EXPECT_FALSE(app.IsBatch());
  EXPECT_FALSE(app.IsDebug());
  EXPECT_FALSE(app.SingleInstance());
  EXPECT_FALSE(app.Wait().Started());
  EXPECT_TRUE(app.Language().empty());
  EXPECT_TRUE(app.DefaultLanguage().empty());
  EXPECT_TRUE(app.Setup().List().empty());

  app.Log(let_info, "hello");
  app.Log(let_error, "broken");
  EXPECT_EQ(app.LastError(), "broken");
  app.FlushLog();
  const std::string log = Read(dir_ + "/db/LogFiles/posHost.log");
  EXPECT_NE(log.find(" - hello\r\n"), std::string::npos);
  EXPECT_NE(log.find(" - ERROR - broken\r\n"), std::string::npos);
}

TEST_F(ApplicationTest, SwitchesMatchWholeNamesWithColonOrEquals) {
  EXPECT_TRUE(tQX_Application(Host({"x", "/debug=1"})).IsDebug());
  EXPECT_FALSE(tQX_Application(Host({"/debugger"})).IsDebug());
  for (const char* batch : {"/batch", "/BATCH:1", "/Batch=yes"}) {
    EXPECT_TRUE(tQX_Application(Host({batch})).IsBatch()) << batch;
  }
  const std::vector<std::string> args = {"/Port:9100", "/port=1", "/Till=T01"};
  EXPECT_EQ(FindCommandLineSwitch(args, "/PORT", true), "/Port:9100");
  EXPECT_EQ(FindCommandLineSwitch(args, "/PORT", false), "9100");
  EXPECT_EQ(FindCommandLineSwitch(args, "/till", false), "T01");
  EXPECT_EQ(FindCommandLineSwitch(args, "/Missing", true), "");
  EXPECT_EQ(FindCommandLineSwitch({"/flag"}, "/FLAG", false), "");
  // The program's own name is never taken for a switch.
  EXPECT_EQ(FindCommandLineSwitch("/proc/self/exe", true), "");
}

TEST_F(ApplicationTest, HostProcessComesFromProc) {
  const tQX_HostProcess self = tQX_HostProcess::Current();
  EXPECT_EQ(self.BaseName(), "qx_tests");
  EXPECT_EQ(GetAppBaseName(), "qx_tests");
  EXPECT_EQ(GetAppDirectory(), self.Directory());
  EXPECT_TRUE(fs::exists(GetAppDirectory() + "qx_tests"));
  EXPECT_EQ(GetAppDirectory().back(), '/');
  EXPECT_EQ(Host().BaseName(), "posHost");
  EXPECT_EQ(Host().Directory(), dir_ + "/bin/");
}

TEST(GetField, SplitsAtTheSeparator) {
  EXPECT_EQ(GetField("A:B:C", 2, ':', false), "B");
  EXPECT_EQ(GetField("A:B:C", 2, ':', true), "B:C");
  EXPECT_EQ(GetField("A:B:C", 1, ':', false), "A");
  EXPECT_EQ(GetField("A:B:C", 3, ':', false), "C");
  EXPECT_EQ(GetField("A:B:C", 4, ':', false), "");
  EXPECT_EQ(GetField("A:B:C", 0, ':', false), "");
  EXPECT_EQ(GetField("A::C", 2, ':', false), "");
  EXPECT_EQ(GetField("", 1, ':', true), "");
}

TEST_F(ApplicationTest, MessagesByLanguageWithFallbackAndCheckedFormatting) {
  tQX_Application app(Host());
  EXPECT_EQ(app.GetMessage("X1"), "Message X1 not found");

  app.AddMessages("M1.it:Till %s aperto\r\nM1.en:Till %s opened: done\nM2.en:%d receipts\n\n");
  app.SetDefaultLanguage("en");
  EXPECT_EQ(app.GetMessage("M1", {"T01"}), "Till T01 opened");  // the text ends at a second colon
  app.SetLanguage("it");
  EXPECT_EQ(app.GetMessage("M1", {"T01"}), "Till T01 aperto");
  EXPECT_EQ(app.GetMessage("M2", {int64_t{3}}), "3 receipts");
  EXPECT_THROW(app.GetMessage("M1"), Error);
  EXPECT_THROW(app.GetMessage("M2", {"three"}), Error);
  EXPECT_THROW(app.AddMessages("M9.en:new\nM2.en:again"), Error);
  EXPECT_EQ(app.GetMessage("M9"), "new");
}

TEST_F(ApplicationTest, LogDirectoryRelativeBelowLogFilesAbsoluteAsGiven) {
  tQX_Application app(Host());
  app.ChangeLogDirectory("Archive");
  EXPECT_EQ(app.GetLogDirectory(), dir_ + "/db/LogFiles/Archive");
  app.Log(let_info, "archived");
  app.FlushLog();
  EXPECT_TRUE(fs::exists(dir_ + "/db/LogFiles/Archive/posHost.log"));

  app.ChangeLogDirectory(dir_ + "/elsewhere");
  EXPECT_EQ(app.GetLogDirectory(), dir_ + "/elsewhere");
  app.Log(let_info, "moved");
  app.FlushLog();
  EXPECT_NE(Read(dir_ + "/elsewhere/posHost.log").find(" - moved"), std::string::npos);
}

// Whether another open file description can take the lock right now.
bool LockIsFree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

TEST_F(ApplicationTest, SingleInstanceIsTakenOnceAndReleased) {
  tQX_Application app(Host());
  const std::string lock = app.SingleInstanceLockPath();
  EXPECT_EQ(lock, dir_ + "/posHost.lock");
  app.AssignSingleInstance(true);
  app.AssignSingleInstance(true);
  EXPECT_TRUE(app.SingleInstance());
  EXPECT_FALSE(LockIsFree(lock));
  EXPECT_FALSE(app.Terminated());
  app.AssignSingleInstance(false);
  EXPECT_TRUE(LockIsFree(lock));
  app.AssignSingleInstance(true);
  EXPECT_FALSE(LockIsFree(lock));
}

TEST_F(ApplicationTest, SingleInstanceIsRefusedWhileAnotherProcessHoldsIt) {
  tQX_Application app(Host({"/batch"}));
  const std::string lock = app.SingleInstanceLockPath();
  int ready[2], release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    ::close(release[1]);
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
    const char ok = (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ? '1' : '0';
    (void)!::write(ready[1], &ok, 1);
    char byte;
    (void)!::read(release[0], &byte, 1);  // until the parent closes its end
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char ok = '0';
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, '1');

  app.AssignSingleInstance(true);
  EXPECT_TRUE(app.Terminated());
  EXPECT_EQ(app.LastError(), "Impossible to enter single instance mode.");
  app.FlushLog();
  EXPECT_NE(Read(dir_ + "/db/LogFiles/posHost.log")
                .find(" - ERROR - Impossible to enter single instance mode.\r\n"),
            std::string::npos);

  ::close(release[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(ready[0]);
  app.AssignSingleInstance(false);
  app.AssignSingleInstance(true);
  EXPECT_FALSE(LockIsFree(lock));
}

TEST_F(ApplicationTest, NotifyIconRecordIsKeptAndCleared) {
  tQX_Application app(Host());
  app.CreateNotifyIcon(0x2a00001);
  EXPECT_TRUE(app.NotifyIcon());
  EXPECT_EQ(app.IconData().hWnd, 0x2a00001u);
  EXPECT_EQ(app.IconData().uCallbackMessage, 1124u);
  EXPECT_EQ(app.IconData().uID, 1u);
  EXPECT_EQ(app.IconData().uFlags, 3u);
  EXPECT_EQ(app.IconData().cbSize, sizeof(tQX_NotifyIconData));
  app.DeleteNotifyIcon();
  EXPECT_FALSE(app.NotifyIcon());
  EXPECT_EQ(app.IconData().uFlags, 0u);
  EXPECT_EQ(app.IconData().hWnd, 0x2a00001u);
}

TEST_F(ApplicationTest, WithoutDisplayMessagesGoToTheLogAndStandardError) {
  tQX_Application app(Host());
  app.Wait().Start();
  testing::internal::CaptureStderr();
  app.UserMessage(let_error, "Printer not ready");
  app.UserMessage(let_info, "Day closed");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Printer not ready\n"), std::string::npos);
  EXPECT_NE(err.find("Day closed\n"), std::string::npos);
  EXPECT_TRUE(app.Wait().Started());  // shown again afterwards
  EXPECT_EQ(app.LastError(), "Printer not ready");
  app.FlushLog();
  const std::string log = Read(dir_ + "/db/LogFiles/posHost.log");
  EXPECT_NE(log.find(" - ERROR - Printer not ready\r\n"), std::string::npos);
  EXPECT_NE(log.find(" - Day closed\r\n"), std::string::npos);
  app.Wait().Stop();
  EXPECT_FALSE(app.Wait().Started());
}

TEST_F(ApplicationTest, BatchModeLogsEveryMessageAsAnErrorAndShowsNothing) {
  tQX_Application app(Host({"/BATCH"}));
  testing::internal::CaptureStderr();
  app.ShowOrLogMessage(let_info, "quiet");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(app.LastError(), "quiet");
  app.FlushLog();
  EXPECT_NE(Read(dir_ + "/db/LogFiles/posHost.log").find(" - ERROR - quiet\r\n"),
            std::string::npos);
}

TEST_F(ApplicationTest, GlobalApplicationIsCreatedAndDestroyedOnRequest) {
  ASSERT_EQ(gApplication, nullptr);
  ASSERT_TRUE(CreateApplication());
  ASSERT_NE(gApplication, nullptr);
  tQX_Application* first = gApplication;
  EXPECT_TRUE(CreateApplication());
  EXPECT_EQ(gApplication, first);
  gApplication->ChangeLogDirectory(dir_);
  gApplication->Log(let_info, "from the global application");
  DrainApplicationLog();
  EXPECT_NE(Read(dir_ + "/qx_tests.log").find(" - from the global application\r\n"),
            std::string::npos);
  gApplication->Log(let_info, "last line");
  DestroyApplication();
  EXPECT_EQ(gApplication, nullptr);
  EXPECT_NE(Read(dir_ + "/qx_tests.log").find(" - last line\r\n"), std::string::npos);
  DrainApplicationLog();  // harmless without an application
}

}  // namespace
}  // namespace qx
