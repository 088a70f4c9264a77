// The log writer: file naming, entry format, message limits, the size limit,
// the drain on destruction, retries and concurrent writers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log/uQX_LogWriter.h"
#include "platform/datetime.h"
#include "platform/error.h"

namespace qx {
namespace {

namespace fs = std::filesystem;

// Whether |text| has the shape of |pattern|, where '9' stands for any digit.
bool Shaped(std::string_view text, std::string_view pattern) {
  if (text.size() != pattern.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool ok = pattern[i] == '9' ? (text[i] >= '0' && text[i] <= '9') : text[i] == pattern[i];
    if (!ok) return false;
  }
  return true;
}

constexpr char kStampShape[] = "9999-99-99 99:99:99:999";

class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qxlogXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The file split at CR LF; the text after the last CR LF must be empty.
  static std::vector<std::string> Lines(const std::string& path) {
    const std::string text = Read(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "file does not end with CR LF";
    return lines;
  }

  // The message part of an entry line, after checking its stamp and separator.
  static std::string Message(const std::string& line, const std::string& separator = " - ") {
    EXPECT_TRUE(Shaped(line.substr(0, 23), kStampShape)) << line;
    EXPECT_EQ(line.substr(23, separator.size()), separator) << line;
    return line.substr(std::min(line.size(), 23 + separator.size()));
  }

  std::vector<std::string> FilesIn(const std::string& dir) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

TEST_F(LogWriterTest, NamesTheFileAndCreatesTheDirectoryButNotTheFile) {
  const std::string logDir = dir_ + "/a/b/LogFiles";
  tQX_LogWriter writer("some/where/App", logDir, 0, false);
  EXPECT_EQ(writer.FileName(), logDir + "/App.log");  // directory part of the name ignored
  EXPECT_EQ(writer.Directory(), logDir);
  EXPECT_TRUE(fs::is_directory(logDir));
  EXPECT_FALSE(fs::exists(writer.FileName()));
  EXPECT_EQ(writer.GetLogFileSize(), -1);
  EXPECT_EQ(writer.MaxLogFileSize(), 5000);
  EXPECT_FALSE(writer.Daily());
  EXPECT_TRUE(writer.CheckLogfileSize());

  writer.Write(let_info, "x");
  writer.Flush();
  EXPECT_EQ(writer.GetLogFileSize(), static_cast<int64_t>(23 + 3 + 1 + 2));
}

TEST_F(LogWriterTest, DailyNameCarriesTheCreationDate) {
  const std::string before = FormatDateTime("yyyymmdd", Now());
  tQX_LogWriter writer("RTSPusher", dir_, 0, true);
  const std::string after = FormatDateTime("yyyymmdd", Now());
  const std::string name = fs::path(writer.FileName()).filename();
  EXPECT_TRUE(name == "RTSPusher_" + before + ".log" || name == "RTSPusher_" + after + ".log")
      << name;
  EXPECT_TRUE(writer.Daily());
}

TEST_F(LogWriterTest, RejectsEmptyOrInvalidDirectoryAndKeepsTheOldOne) {
  EXPECT_THROW(tQX_LogWriter("App", "", 0, false), Error);
  tQX_LogWriter writer("App", dir_, 0, false);
  try {
    writer.AssignDirectory("");
    FAIL() << "empty directory accepted";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Unable to create directory");
  }
  try {
    writer.AssignDirectory(dir_ + "/a|b");
    FAIL() << "invalid path accepted";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Invalid characters in path");
  }
  EXPECT_EQ(writer.Directory(), dir_);
  EXPECT_EQ(writer.FileName(), dir_ + "/App.log");
}

TEST_F(LogWriterTest, StampsAndSeparatesInfoAndErrorEntries) {
  tQX_LogWriter writer("App", dir_, 0, false);
  writer.Write(let_info, "started");
  writer.Write(let_error, "it failed");
  writer.Flush();
  const auto lines = Lines(writer.FileName());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Message(lines[0]), "started");
  EXPECT_EQ(Message(lines[1], " - ERROR - "), "it failed");
  // The file is UTF-8 without a byte-order mark.
  EXPECT_EQ(lines[0][0], '2');
}

TEST_F(LogWriterTest, CutsMessagesToTheLimitInUtf16Units) {
  const std::string longText(10000, 'x');
  {
    tQX_LogWriter unlimited("Whole", dir_, 0, false);
    unlimited.Write(let_info, longText);
  }
  EXPECT_EQ(Message(Lines(dir_ + "/Whole.log").at(0)), longText);

  {
    tQX_LogWriter limited("Cut", dir_, 10, false);
    limited.Write(let_error, "\u00c0\u00c9\u00ce\u00d5\u00dc\u00e0\u00e9\u00ee\u00f5\u20ac-tail");
    limited.Write(let_info, "short");
    // A character outside the basic plane takes two units and is never split.
    limited.Write(let_info, "abcdefghi\U0001F600");
    limited.Write(let_info, "abcdefgh\U0001F600z");
  }
  const auto lines = Lines(dir_ + "/Cut.log");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Message(lines[0], " - ERROR - "),
            "\u00c0\u00c9\u00ce\u00d5\u00dc\u00e0\u00e9\u00ee\u00f5\u20ac");
  EXPECT_EQ(Message(lines[1]), "short");
  EXPECT_EQ(Message(lines[2]), "abcdefghi");
  EXPECT_EQ(Message(lines[3]), "abcdefgh\U0001F600");
}

TEST_F(LogWriterTest, ControlCharactersAreEscapedSoAMessageIsOneLine) {
  {
    tQX_LogWriter writer("App", dir_, 0, false);
    writer.Write(let_error, "first\r\n2026-01-01 00:00:00:000 - forged\tx\x01\x7F\xC3\xA9\\n");
    writer.Write(let_info, "next");
  }
  const auto lines = Lines(dir_ + "/App.log");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Message(lines[0], " - ERROR - "),
            "first\\r\\n2026-01-01 00:00:00:000 - forged\\tx\\x01\\x7F\xC3\xA9\\n");
  EXPECT_EQ(Message(lines[1]), "next");
}

TEST_F(LogWriterTest, PlantedLinkIsNotFollowedAndTheFileIsPrivate) {
  const std::string target = dir_ + "/target";
  { std::ofstream(target) << "keep"; }
  ASSERT_EQ(::symlink(target.c_str(), (dir_ + "/Linked.log").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir_ + "/Fifo.log").c_str(), 0600), 0);
  {
    tQX_LogWriter linked("Linked", dir_, 0, false);
    linked.Write(let_info, "redirected?");
    tQX_LogWriter fifo("Fifo", dir_, 0, false);
    fifo.Write(let_info, "blocked?");  // must neither block nor write
    tQX_LogWriter plain("App", dir_, 0, false);
    plain.Write(let_info, "private");
  }
  EXPECT_EQ(Read(target), "keep");
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/App.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LogWriterTest, FileOfExactlyTheLimitStaysAndOneByteMoreIsMovedAside) {
  tQX_LogWriter writer("App", dir_, 0, false);
  writer.SetMaxLogFileSize(1);  // 1024 bytes
  const std::string file = writer.FileName();

  std::ofstream(file, std::ios::binary) << std::string(1024, 'a');
  writer.Write(let_info, "at the limit");
  writer.Flush();
  EXPECT_EQ(FilesIn(dir_), std::vector<std::string>{"App.log"});
  const std::string atLimit = Read(file);
  ASSERT_EQ(atLimit.size(), 1024u + 23 + 3 + 12 + 2);
  EXPECT_EQ(atLimit.substr(0, 1024), std::string(1024, 'a'));

  std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string(1025, 'b');
  writer.Write(let_info, "over the limit");
  writer.Flush();
  const auto names = FilesIn(dir_);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0], "App.log");
  EXPECT_TRUE(Shaped(names[1], "App_99999999999999999.log")) << names[1];
  EXPECT_TRUE(Read(dir_ + "/" + names[1]) == std::string(1025, 'b'));
  const auto lines = Lines(file);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Message(lines[0]), "over the limit");
}

TEST_F(LogWriterTest, DestructionWritesEveryQueuedLineInOrder) {
  constexpr int kLines = 3000;
  {
    tQX_LogWriter writer("App", dir_, 0, false);
    for (int i = 0; i < kLines; ++i) writer.Write(let_info, "line " + std::to_string(i));
  }
  const auto lines = Lines(dir_ + "/App.log");
  ASSERT_EQ(lines.size(), static_cast<size_t>(kLines));
  for (int i = 0; i < kLines; ++i) ASSERT_EQ(Message(lines[i]), "line " + std::to_string(i));
}

TEST_F(LogWriterTest, ConcurrentWritersKeepWholeLinesInTheirOrder) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 1000;
  {
    tQX_LogWriter writer("App", dir_, 0, false);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&writer, t] {
        const std::string padding(100 + 37 * t, static_cast<char>('a' + t));
        for (int i = 0; i < kPerThread; ++i) {
          writer.Write(t % 2 ? let_error : let_info,
                       std::to_string(t) + ":" + std::to_string(i) + ":" + padding);
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  const auto lines = Lines(dir_ + "/App.log");
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kPerThread));
  std::vector<int> next(kThreads, 0);
  for (const auto& line : lines) {
    // "<stamp> - [ERROR - ]<thread>:<number>:<padding>"
    const bool error = line.find(" - ERROR - ") == 23;
    const std::string message = Message(line, error ? " - ERROR - " : " - ");
    const size_t colon = message.find(':', 2);
    ASSERT_EQ(message[1], ':') << line;
    ASSERT_NE(colon, std::string::npos) << line;
    const int t = message[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(error, t % 2 == 1);
    EXPECT_EQ(message.substr(2, colon - 2), std::to_string(next[t]++));
    EXPECT_EQ(message.substr(colon + 1), std::string(100 + 37 * t, static_cast<char>('a' + t)));
  }
}

TEST_F(LogWriterTest, LaterLinesFollowAChangedDirectory) {
  tQX_LogWriter writer("App", dir_ + "/one", 0, false);
  writer.Write(let_info, "in one");
  writer.Flush();
  writer.AssignDirectory(dir_ + "/two/");
  EXPECT_EQ(writer.FileName(), dir_ + "/two/App.log");
  writer.Write(let_info, "in two");
  writer.Flush();
  EXPECT_EQ(Lines(dir_ + "/one/App.log").size(), 1u);
  ASSERT_EQ(Lines(dir_ + "/two/App.log").size(), 1u);
  EXPECT_EQ(Message(Lines(dir_ + "/two/App.log")[0]), "in two");
}

TEST_F(LogWriterTest, RelativeDirectoryResolvesAgainstTheCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  {
    tQX_LogWriter writer("RTSPusher", "LogFiles/RTPusher", 0, false);
    EXPECT_EQ(writer.FileName(), "LogFiles/RTPusher/RTSPusher.log");
    writer.Write(let_info, "relative");
  }
  fs::current_path(previous);
  EXPECT_EQ(Lines(dir_ + "/LogFiles/RTPusher/RTSPusher.log").size(), 1u);
}

TEST_F(LogWriterTest, LineIsDroppedAfterTenFailedAttemptsAndTheThreadGoesOn) {
  tQX_LogWriter writer("App", dir_, 0, false);
  // Another writer's lock on the file makes every attempt fail; each attempt
  // opens the file, which the watch counts.
  const int holder = ::open(writer.FileName().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  // Closes are watched too: alike events in a row would be merged into one.
  ASSERT_GE(::inotify_add_watch(watch, writer.FileName().c_str(), IN_OPEN | IN_CLOSE_WRITE), 0);
  writer.Write(let_info, "lost");
  writer.Flush();
  int opens = 0;
  alignas(inotify_event) char events[4096];
  for (ssize_t n; (n = ::read(watch, events, sizeof events)) > 0;) {
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      opens += (event->mask & IN_OPEN) != 0;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  EXPECT_EQ(opens, tQX_LogWriter::kAppendAttempts);
  ::close(holder);  // releases the lock
  writer.Write(let_info, "kept");
  writer.Flush();
  const auto lines = Lines(writer.FileName());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Message(lines[0]), "kept");
}

}  // namespace
}  // namespace qx
