// The queue pusher against the RT server simulator: delivery order, filing
// under processed and errors, blocking failures, unknown documents, broken
// replies, its log and prompt stopping.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "manager/uRTServerManager.h"
#include "manager/uRTServerManager_Pusher.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/files.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_ZReport.h"
#include "tools/rtsim/rtsim.h"

namespace qx {
namespace {

namespace fs = std::filesystem;
using std::chrono::steady_clock;

// The message of a log line stamped "yyyy-mm-dd hh:nn:ss:zzz - message";
// none for a line without the stamp.
std::optional<std::string> StampedMessage(const std::string& aLine) {
  constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd:ddd - ";
  if (aLine.size() < kShape.size()) return std::nullopt;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = aLine[i] >= '0' && aLine[i] <= '9';
    if (kShape[i] == 'd' ? !digit : aLine[i] != kShape[i]) return std::nullopt;
  }
  return aLine.substr(kShape.size());
}

// The digits of the first recNumber="..." attribute in |aText|; none without one.
std::optional<std::string> RecNumber(const std::string& aText) {
  constexpr std::string_view kAttribute = "recNumber=\"";
  const size_t start = aText.find(kAttribute);
  if (start == std::string::npos) return std::nullopt;
  const size_t first = start + kAttribute.size();
  size_t end = first;
  while (end < aText.size() && aText[end] >= '0' && aText[end] <= '9') ++end;
  if (end == first || end == aText.size() || aText[end] != '"') return std::nullopt;
  return aText.substr(first, end - first);
}

// Polls |done| until it holds or a generous deadline has passed.
bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Receipt(int number) {
  return "<createReceipt><receipt><printerFiscalReceipt><fiscalInformation tillId=\"T01\" "
         "doctype=\"0\" recAmount=\"1.00\" recNumber=\"" +
         std::to_string(number) +
         "\"/></printerFiscalReceipt></receipt><receiptSecurity><hash fingerPrint=\"" +
         std::string(64, 'a') + "\"/></receiptSecurity></createReceipt>";
}

int64_t NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class PusherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qxpushXXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    ::setenv("QX_LOG_DIR", (root_ + "/LogFiles").c_str(), 1);
    queue_ = root_ + "/T01/Queue";
    processed_ = root_ + "/T01/Processed";
    errors_ = root_ + "/T01/Errors";
    for (const std::string& dir : {queue_, processed_, errors_}) fs::create_directories(dir);
    sim_.Start();
    server_.Setup(sim_.BaseAddress(), sim_.Port(), "", "");
    base_ = NowMillis() - 60000;
  }

  void TearDown() override {
    pusher_.reset();
    sim_.Stop();
    ::unsetenv("QX_LOG_DIR");
    fs::remove_all(root_);
    ::unsetenv("QX_PUSHER_PAUSE_MS");
  }

  void StartPusher(const char* pauseMillis = "100", bool withServer = true) {
    ::setenv("QX_PUSHER_PAUSE_MS", pauseMillis, 1);
    pusher_ = std::make_unique<kRTSPusherThread>();
    pusher_->SetDataProcessedDir(processed_);
    pusher_->SetDataErrorsDir(errors_);
    pusher_->SetDataQueueDir(queue_);
    if (withServer) pusher_->SetServer(&server_);
    pusher_->Start();
  }

  // Writes a queue file the way the till does (atomic rename) with the
  // modification time |base_| + |offsetMillis|, given before the file enters
  // the queue, where a running pusher may take it on at once.
  std::string Queue(const std::string& name, const std::string& text, int64_t offsetMillis) {
    const std::string path = queue_ + "/" + name;
    const std::string unlisted = path + ".new";
    WriteFileAtomic(unlisted, text + "\r\n");
    const int64_t millis = base_ + offsetMillis;
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = millis / 1000;
    times[1].tv_nsec = (millis % 1000) * 1000000;
    EXPECT_EQ(::utimensat(AT_FDCWD, unlisted.c_str(), times, 0), 0);
    EXPECT_TRUE(MoveFileReplace(unlisted, path));
    return path;
  }

  // The documents that reached the server, in order: receipt numbers, or
  // "Z" for a daily closure.
  std::vector<std::string> Sent() const {
    std::vector<std::string> sent;
    for (const rtsim::RecordedRequest& request : sim_.Requests()) {
      if (request.kind == "createDailyClosure") {
        sent.push_back("Z");
      } else if (request.kind == "createReceipt") {
        sent.push_back(RecNumber(request.body).value_or("?"));
      }
    }
    return sent;
  }

  static std::string Today() { return FormatDateTime("yyyymmdd", Now()); }
  std::string ProcessedPath(const std::string& name) const {
    return processed_ + "/" + Today() + "/" + name;
  }
  std::string ErrorsPath(const std::string& name) const {
    return errors_ + "/" + Today() + "/" + name;
  }

  // The pusher's log file (there is one per day of creation).
  std::string LogPath() const {
    return root_ + "/LogFiles/RTPusher/RTSPusher_" + logDate_ + ".log";
  }
  std::vector<std::string> LogLines() const {
    const std::string text = ReadAll(LogPath());
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  bool LogContains(const std::string& text) const {
    return ReadAll(LogPath()).find(text) != std::string::npos;
  }
  // Stops the pusher (its log is complete afterwards) and returns the
  // messages of the log, without stamps; continuation lines as they are.
  std::vector<std::string> StopAndReadLog() {
    pusher_.reset();
    std::vector<std::string> messages;
    for (const std::string& line : LogLines()) {
      messages.push_back(StampedMessage(line).value_or(line));
    }
    return messages;
  }

  std::string root_;
  std::string queue_, processed_, errors_;
  std::string logDate_ = Today();
  int64_t base_ = 0;
  rtsim::Simulator sim_;
  kEPSRTServer server_;
  std::unique_ptr<kRTSPusherThread> pusher_;
};

TEST_F(PusherTest, SendingOrderFoldsCaseBeforeComparingNames) {
  Queue("T01-b.srtd", "b", 10);
  Queue("t01-a.srtd", "a", 10);
  Queue("T01-A.srtd", "A", 10);  // equal to the one above but for case: bytes decide
  Queue("T01-ab.srtd", "ab", 10);
  Queue("T01-z.SRTD", "z", 5);  // older
  EXPECT_EQ(QueueFilesInSendingOrder(queue_),
            (std::vector<std::string>{queue_ + "/T01-z.SRTD", queue_ + "/T01-A.srtd",
                                      queue_ + "/t01-a.srtd", queue_ + "/T01-ab.srtd",
                                      queue_ + "/T01-b.srtd"}));
  EXPECT_THROW(QueueFilesInSendingOrder(queue_ + "/none"), Error);

  // Each till's documents take the places their times give them in the
  // order of Z report and number; other files keep their places.
  for (const std::string& path : QueueFilesInSendingOrder(queue_)) fs::remove(path);
  Queue("T02-0001-0002.srtd", "", 1);
  Queue("T01-0002-0001.srtd", "", 2);
  Queue("notes-x.srtd", "", 3);
  Queue("T01-0001-0005.sending.srtd", "", 4);
  Queue("t02-0001-0001.srtd", "", 6);  // the same till to Windows
  EXPECT_EQ(
      QueueFilesInSendingOrder(queue_),
      (std::vector<std::string>{queue_ + "/t02-0001-0001.srtd",
                                queue_ + "/T01-0001-0005.sending.srtd", queue_ + "/notes-x.srtd",
                                queue_ + "/T01-0002-0001.srtd", queue_ + "/T02-0001-0002.srtd"}));
}

TEST_F(PusherTest, SendsEveryLineEndedByCrLfWhateverTheFileHolds) {
  // A till-written file goes as it is; others lose their byte order mark and
  // get CR LF after every line, the last included.
  const std::string twoLines = "<createReceipt>\n" + Receipt(2).substr(15);
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  WriteFileAtomic(queue_ + "/T01-0001-0002.srtd", "\xEF\xBB\xBF" + twoLines);
  WriteFileAtomic(queue_ + "/T01-0001-0003.srtd", Receipt(3) + "\r");
  StartPusher();
  ASSERT_TRUE(WaitUntil([&] { return sim_.Requests().size() == 3; }));
  std::vector<std::string> bodies;
  for (const rtsim::RecordedRequest& request : sim_.Requests()) bodies.push_back(request.body);
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_NE(bodies[0].find(Receipt(1) + "\r\n</"), std::string::npos);
  EXPECT_NE(bodies[1].find("<createReceipt>\r\n" + Receipt(2).substr(15) + "\r\n</"),
            std::string::npos);
  EXPECT_EQ(bodies[1].find("\xEF\xBB\xBF"), std::string::npos);
  EXPECT_NE(bodies[2].find(Receipt(3) + "\r\n</"), std::string::npos);
}

TEST_F(PusherTest, FilingDirectoryTakenAwayIsMadeAgain) {
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  StartPusher();
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0001.srtd")); }));
  fs::remove_all(processed_);
  Queue("T01-0001-0002.srtd", Receipt(2), 20);
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0002.srtd")); }));
  EXPECT_FALSE(fs::exists(queue_ + "/T01-0001-0002.srtd_duplicate.err"));

  // A file where the folder belongs: the log says why the folder is not
  // there, and the document waits in the queue until it can be filed.
  fs::remove_all(processed_);
  std::ofstream(processed_) << "in the way";
  Queue("T01-0001-0003.srtd", Receipt(3), 30);
  ASSERT_TRUE(WaitUntil([&] { return LogContains("Cannot create folder \"" + processed_); }));
  fs::remove(processed_);
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0003.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(PusherTest, DeliversOldestFirstAndEqualTimesInPathOrder) {
  Queue("T01-0001-0003.srtd", Receipt(3), 30);
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  // Older than 3 despite its number (a store copied without its times):
  // sent after 3 all the same, since the server would take it for booked;
  // claimed for delivery when the process ended, and filed under its
  // queued name.
  Queue("T01-0001-0005.sending.srtd", Receipt(5), 20);
  Queue("T01-0001-0009.srtd", Receipt(9), 40);  // the same millisecond: path order
  Queue("T01-0001-0008.srtd", Receipt(8), 40);
  Queue("T01-0001-9999.srtd", kEPSRTServer_TillZReport::GetMessage("T01"), 40);
  Queue("notes.txt", Receipt(7), 0);  // not a queue file
  StartPusher();

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-9999.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1", "3", "5", "8", "9", "Z"}));
  EXPECT_EQ(sim_.ClosedReport("T01", 1)->recNumber, 9);
  EXPECT_FALSE(fs::exists(errors_ + "/" + Today()));
  for (const char* name : {"T01-0001-0001.srtd", "T01-0001-0003.srtd", "T01-0001-0005.srtd",
                           "T01-0001-0008.srtd", "T01-0001-0009.srtd"}) {
    EXPECT_TRUE(fs::exists(ProcessedPath(name))) << name;
    EXPECT_FALSE(fs::exists(queue_ + "/" + name)) << name;
  }
  EXPECT_EQ(ListFiles(queue_, ".srtd"), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(queue_ + "/notes.txt"));
  // Delivered documents keep their text.
  EXPECT_EQ(ReadAll(ProcessedPath("T01-0001-0001.srtd")), Receipt(1) + "\r\n");
}

// A document claimed before its turn may be on the server's books already
// (a crash after the server took it, a lost reply, a filing that failed):
// the server's numbering decides, and what it holds is filed, never sent
// again. A queued file whose claimed twin is still queued is a duplicate:
// the claim never replaces the twin.
TEST_F(PusherTest, ClaimedDocumentsTheServerHoldsAreFiledNotSentAgain) {
  sim_.SetTill(rtsim::ParseTill("T01 open z=2 doc=3"));  // Z 1 closed, 1 and 2 of Z 2 booked
  Queue("T01-0001-9999.sending.srtd", kEPSRTServer_TillZReport::GetMessage("T01"), 10);
  Queue("T01-0002-0002.sending.srtd", Receipt(2), 20);
  Queue("T01-0002-0003.sending.srtd", Receipt(3), 30);
  Queue("T01-0002-0004.srtd", Receipt(4), 40);
  std::string twin = Receipt(4);
  twin.replace(twin.find("1.00"), 4, "9.99");
  Queue("T01-0002-0004.sending.srtd", twin, 50);
  StartPusher("100");

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0002-0004.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"3", "4"}));
  for (const char* name : {"T01-0001-9999.srtd", "T01-0002-0002.srtd", "T01-0002-0003.srtd"}) {
    EXPECT_TRUE(fs::exists(ProcessedPath(name))) << name;
  }
  EXPECT_EQ(ReadAll(ProcessedPath("T01-0002-0004.srtd")), twin + "\r\n");
  EXPECT_EQ(ReadAll(queue_ + "/T01-0002-0004.srtd_duplicate.err"), Receipt(4) + "\r\n");
  EXPECT_FALSE(fs::exists(errors_ + "/" + Today()));
  EXPECT_EQ(sim_.Till("T01")->nextDocNumber, 5);
}

// While a document is on its way, the one delivered before it is filed and
// the one after it is claimed and read ahead. A claimed file replaced after
// that read is sent as it then is.
TEST_F(PusherTest, FileReplacedAfterItWasReadAheadIsSentAsReplaced) {
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  Queue("T01-0001-0002.srtd", Receipt(2), 20);
  const std::string third = ClaimedQueueFileName(Queue("T01-0001-0003.srtd", Receipt(3), 30));
  int requests = 0;
  sim_.SetLogSink([&](const std::string&) {
    if (++requests != 2) return;
    // The first document is filed and the third claimed while the second is
    // on its way.
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0001.srtd")); }));
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(third); }));
    WriteFileAtomic(third, Receipt(30) + "\r\n");
  });
  StartPusher();

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0003.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1", "2", "30"}));
  EXPECT_EQ(ReadAll(ProcessedPath("T01-0001-0003.srtd")), Receipt(30) + "\r\n");
  sim_.SetLogSink(nullptr);
}

TEST_F(PusherTest, NonBlockingRefusalIsFiledUnderErrorsAndTheNextFollowsAtOnce) {
  rtsim::Fault refusal;
  refusal.kind = rtsim::FaultKind::Refuse;
  refusal.match = "createReceipt";
  refusal.code = "-21";
  refusal.status = "Document refused";
  refusal.count = 2;
  sim_.AddFault(refusal);
  // The server has booked 1 and 2: a refusal of what it holds is no
  // rejection, and the document is filed as delivered.
  sim_.SetTill(rtsim::ParseTill("T01 open z=1 doc=3"));
  Queue("T01-0001-0002.srtd", Receipt(2), 5);
  Queue("T01-0001-0003.srtd", Receipt(3), 10);
  Queue("T01-0001-0004.srtd", Receipt(4), 20);
  // A pause of ten minutes: the last file can only arrive without one.
  StartPusher("600000");

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0004.srtd")); }));
  EXPECT_TRUE(fs::exists(ErrorsPath("T01-0001-0003.srtd")));
  EXPECT_TRUE(fs::exists(ProcessedPath("T01-0001-0002.srtd")));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"2", "3", "4"}));

  const std::vector<std::string> log = StopAndReadLog();
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[3],
            "Already held by the RT server, filed as delivered: " + queue_ + "/T01-0001-0002.srtd");
  EXPECT_EQ(log[4], queue_ + "/T01-0001-0003.srtd");
  // The server's reply follows on the same line, its line breaks escaped.
  EXPECT_TRUE(log[5].starts_with("ERROR - -21 - Document refused\\r\\n<")) << log[5];
  EXPECT_NE(log[5].find("status=\"Document refused\""), std::string::npos) << log[5];
}

// A failure that means the server cannot take documents now holds back the
// whole queue until the retry after the pause.
class PusherBlockingTest : public PusherTest,
                           public ::testing::WithParamInterface<rtsim::FaultKind> {};

TEST_P(PusherBlockingTest, HoldsBackEveryLaterFileUntilTheRetry) {
  rtsim::Fault fault;
  fault.kind = GetParam();
  fault.match = "createReceipt";
  fault.code = "-20";
  fault.httpStatus = 503;
  sim_.AddFault(fault);
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  Queue("T01-0001-0002.srtd", Receipt(2), 20);
  Queue("T01-0001-0003.srtd", Receipt(3), 30);
  StartPusher("200");

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0003.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1", "1", "2", "3"}));
  EXPECT_TRUE(fs::exists(ProcessedPath("T01-0001-0001.srtd")));
  EXPECT_FALSE(fs::exists(ErrorsPath("T01-0001-0001.srtd")));
  EXPECT_FALSE(pusher_->Finished());
}

INSTANTIATE_TEST_SUITE_P(Faults, PusherBlockingTest,
                         ::testing::Values(rtsim::FaultKind::Refuse, rtsim::FaultKind::HttpStatus,
                                           rtsim::FaultKind::Drop),
                         [](const ::testing::TestParamInfo<rtsim::FaultKind>& info) {
                           switch (info.param) {
                             case rtsim::FaultKind::Refuse:
                               return "RefusalCodeMinus20";
                             case rtsim::FaultKind::HttpStatus:
                               return "HttpError";
                             default:
                               return "NoReply";
                           }
                         });

TEST_F(PusherTest, FilesAddedWhileTheQueueHoldsPathsWaitForTheNextScan) {
  const std::string first = Queue("T01-0001-0001.srtd", Receipt(1), 10);
  Queue("T01-0001-0002.srtd", Receipt(2), 20);
  {
    // Holding the client keeps the pusher at its first submission.
    std::lock_guard<std::recursive_mutex> hold(server_.Lock());
    StartPusher();
    ASSERT_TRUE(WaitUntil([&] { return LogContains(first); }));
    // Older than both: a new scan would put it first.
    Queue("T01-0001-0000.srtd", Receipt(0), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0000.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1", "2", "0"}));
}

TEST_F(PusherTest, DuplicateNameStaysInTheQueueUnderAnotherName) {
  const std::string name = "T01-0001-0001.srtd";
  fs::create_directories(processed_ + "/" + Today());
  WriteFileAtomic(ProcessedPath(name), "earlier");
  Queue(name, Receipt(1), 10);
  Queue("T01-0001-0002.srtd", Receipt(2), 20);
  StartPusher("600000");

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0002.srtd")); }));
  EXPECT_EQ(ReadAll(ProcessedPath(name)), "earlier");
  EXPECT_EQ(ReadAll(queue_ + "/" + name + "_duplicate.err"), Receipt(1) + "\r\n");
  EXPECT_FALSE(fs::exists(queue_ + "/" + name));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1", "2"}));
  const std::vector<std::string> log = StopAndReadLog();
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "ERROR - Duplicate File Name found: " + ProcessedPath(name)),
            log.end());
}

TEST_F(PusherTest, SecondDuplicateDoesNotOverwriteTheFirstNorGetSentAgain) {
  const std::string name = "T01-0001-0001.srtd";
  fs::create_directories(processed_ + "/" + Today());
  WriteFileAtomic(ProcessedPath(name), "earlier");
  WriteFileAtomic(queue_ + "/" + name + "_duplicate.err", "first duplicate");
  Queue(name, Receipt(1), 10);
  StartPusher("100");

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(queue_ + "/" + name + "_duplicate_2.err"); }));
  EXPECT_EQ(ReadAll(queue_ + "/" + name + "_duplicate.err"), "first duplicate");
  EXPECT_FALSE(fs::exists(queue_ + "/" + name));
  StopAndReadLog();
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1"}));
}

TEST_F(PusherTest, UnknownDocumentIsFiledUnderErrorsWithoutBeingSent) {
  // Leave a blocking failure on the client: it must not decide the fate of
  // a document that was never sent.
  rtsim::Fault down;
  down.kind = rtsim::FaultKind::HttpStatus;
  sim_.AddFault(down);
  ASSERT_FALSE(server_.GetServerInfo());
  ASSERT_EQ(server_.LastErrorType(), et_Blocking);

  const std::string declared =
      Queue("T01-0001-0001.srtd", "<?xml version=\"1.0\"?>" + Receipt(1), 10);
  const std::string indented = Queue("T01-0001-0002.srtd", " " + Receipt(2), 20);
  const std::string lowercase = Queue("T01-0001-0003.srtd", "<createreceipt/>", 30);
  Queue("T01-0001-0004.srtd", Receipt(4), 40);
  StartPusher("600000");

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0004.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"4"}));
  for (const char* name : {"T01-0001-0001.srtd", "T01-0001-0002.srtd", "T01-0001-0003.srtd"}) {
    EXPECT_TRUE(fs::exists(ErrorsPath(name))) << name;
  }
  const std::vector<std::string> log = StopAndReadLog();
  for (const std::string& path : {declared, indented, lowercase}) {
    EXPECT_NE(std::find(log.begin(), log.end(), "ERROR - Unknown document kind, not sent: " + path),
              log.end())
        << path;
  }
}

TEST_F(PusherTest, ReplyThatIsNotXmlKeepsTheThreadAliveAndTheFileQueued) {
  rtsim::Fault garbage;
  garbage.kind = rtsim::FaultKind::Garbage;
  garbage.match = "createReceipt";
  sim_.AddFault(garbage);
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  Queue("T01-0001-0002.srtd", Receipt(2), 20);
  StartPusher("200");

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0002.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1", "1", "2"}));
  EXPECT_FALSE(pusher_->Finished());
  const std::vector<std::string> log = StopAndReadLog();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[1], queue_ + "/T01-0001-0001.srtd");
  EXPECT_TRUE(log[2].starts_with("ERROR - ")) << log[2];
  EXPECT_EQ(log[3], queue_ + "/T01-0001-0001.srtd");
}

TEST_F(PusherTest, VanishedQueueDirectoryIsLoggedAndRetried) {
  fs::remove_all(queue_);
  StartPusher("100");
  ASSERT_TRUE(WaitUntil([&] { return LogContains("ERROR - The specified path was not found"); }));
  EXPECT_FALSE(pusher_->Finished());

  fs::create_directories(queue_);
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0001.srtd")); }));
  EXPECT_FALSE(pusher_->Finished());
}

TEST_F(PusherTest, WaitsQuietlyForItsConfigurationAndTakesItWhileRunning) {
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  StartPusher("100", /*withServer=*/false);
  // Nothing to do without a server client: polls, and logs nothing.
  ASSERT_TRUE(WaitUntil([&] { return LogContains("START"); }));
  EXPECT_TRUE(Sent().empty());

  pusher_->SetServer(&server_);
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0001.srtd")); }));

  // A new queue directory is picked up by the running pusher.
  const std::string other = root_ + "/T02/Queue";
  fs::create_directories(other);
  pusher_->SetDataQueueDir(other);
  WriteFileAtomic(other + "/T02-0001-0001.srtd", Receipt(11) + "\r\n");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T02-0001-0001.srtd")); }));
  EXPECT_EQ(Sent(), (std::vector<std::string>{"1", "11"}));
  const std::vector<std::string> log = StopAndReadLog();
  EXPECT_EQ(log.size(), 4u);  // START, two deliveries, STOP
}

// The log of one delivered receipt and a daily closure refused once by an
// unreachable server.
TEST_F(PusherTest, LogsStartDeliveriesFailuresAndStop) {
  rtsim::Fault unreachable;
  unreachable.kind = rtsim::FaultKind::Drop;
  unreachable.match = "createDailyClosure";
  sim_.AddFault(unreachable);
  const std::string receipt = Queue("T01-0012-0005.srtd", Receipt(5), 10);
  const std::string closure =
      Queue("T01-0012-9999.srtd", kEPSRTServer_TillZReport::GetMessage("T01"), 20);
  StartPusher("100");

  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0012-9999.srtd")); }));
  const std::vector<std::string> log = StopAndReadLog();
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(log.size(), 6u) << ReadAll(LogPath());
  EXPECT_EQ(log[0], "****** START " + queue_ + " *****");
  EXPECT_EQ(log[1], receipt);
  EXPECT_EQ(log[2], "TILLZREPORT:" + closure);
  // The reply markup continues the error entry on its line.
  EXPECT_TRUE(log[3].starts_with("ERROR - Http error: 0: ")) << log[3];
  EXPECT_TRUE(log[3].ends_with("\\r\\n<NoData/>")) << log[3];
  EXPECT_EQ(log[4], "TILLZREPORT:" + closure);
  EXPECT_EQ(log[5], "****** STOP " + queue_ + " *****");
  for (const std::string& line : lines) EXPECT_TRUE(StampedMessage(line)) << line;
}

TEST_F(PusherTest, StopDuringAPauseIsPrompt) {
  Queue("T01-0001-0001.srtd", Receipt(1), 10);
  StartPusher("600000");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(ProcessedPath("T01-0001-0001.srtd")); }));
  // The queue is empty now: the pusher pauses for ten minutes.
  const auto start = steady_clock::now();
  pusher_.reset();
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(PusherPause, ComesFromTheEnvironment) {
  ::unsetenv("QX_PUSHER_PAUSE_MS");
  EXPECT_EQ(PusherPauseMillisFromEnvironment(), 30000);
  ::setenv("QX_PUSHER_PAUSE_MS", "250", 1);
  EXPECT_EQ(PusherPauseMillisFromEnvironment(), 250);
  ::setenv("QX_PUSHER_PAUSE_MS", "soon", 1);
  EXPECT_EQ(PusherPauseMillisFromEnvironment(), 30000);
  ::setenv("QX_PUSHER_PAUSE_MS", "-5", 1);
  EXPECT_EQ(PusherPauseMillisFromEnvironment(), 30000);
  ::unsetenv("QX_PUSHER_PAUSE_MS");
}

}  // namespace
}  // namespace qx
