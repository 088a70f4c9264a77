// The log writer and its thread: formatting and queueing on the caller's side,
// size check, move aside and appending on the log thread.
#include "log/uQX_LogWriter.h"

#include <chrono>
#include <utility>

#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/logfile.h"
#include "platform/strings.h"
#include "platform/threads.h"

namespace qx {

namespace {

constexpr char kStampPattern[] = "yyyy-mm-dd hh:nn:ss:zzz";
// How often an idle log thread looks for queued lines.
constexpr int kIdlePollMillis = 60;

// The file name with the extension of its last component removed.
std::string WithoutExtension(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

// |message| with every control character written as an escape (\r, \n, \t,
// or \xHH), so that one entry is always one line: a server reply or a host
// document quoted in a message cannot forge entries of its own.
void AppendEscaped(std::string& line, std::string_view message) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : message) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      line += c;
    } else if (c == '\r') {
      line += "\\r";
    } else if (c == '\n') {
      line += "\\n";
    } else if (c == '\t') {
      line += "\\t";
    } else {
      line += "\\x";
      line += kHex[u >> 4];
      line += kHex[u & 0xF];
    }
  }
}

}  // namespace

// ---- tQX_LogThread ----

tQX_LogThread::tQX_LogThread(tQX_LogWriter& writer)
    : fWriter(writer), fThread([this] { Execute(); }) {}

tQX_LogThread::~tQX_LogThread() {
  Terminate();
  fThread.Join();
}

void tQX_LogThread::Push(std::string line) {
  {
    std::lock_guard<std::mutex> guard(fLock);
    fQueue.push_back(std::move(line));
    ++fPushed;
  }
  // No wake-up: the thread looks at its queue every kIdlePollMillis. Waking
  // it for each line would cost the writing thread a system call per line.
}

void tQX_LogThread::Terminate() {
  {
    std::lock_guard<std::mutex> guard(fLock);
    fTerminated = true;
  }
  fWork.notify_one();
}

void tQX_LogThread::WaitUntilWritten() {
  std::unique_lock<std::mutex> lock(fLock);
  const uint64_t target = fPushed;
  if (fHandled < target) fWork.notify_one();  // no need to wait for the next look
  fProgress.wait(lock, [&] { return fHandled >= target; });
}

void tQX_LogThread::WriteOutHere() noexcept {
  std::unique_lock<std::mutex> lock(fLock, std::try_to_lock);
  if (!lock.owns_lock()) return;
  while (!fQueue.empty()) {
    try {
      fWriter.WriteToFile(fQueue.front());
    } catch (...) {
    }
    fQueue.pop_front();
    ++fHandled;
  }
}

void tQX_LogThread::Execute() {
  NameCurrentThread("qx-log");
  std::unique_lock<std::mutex> lock(fLock);
  for (;;) {
    const auto due = [&] { return fTerminated || !fQueue.empty(); };
    while (!fWork.wait_for(lock, std::chrono::milliseconds(kIdlePollMillis), due)) {
    }
    if (fQueue.empty()) break;  // terminated and drained
    // Only this thread removes lines, and appending to a deque keeps
    // references to its elements valid, so the line can be read unlocked.
    const std::string& line = fQueue.front();
    lock.unlock();
    try {
      fWriter.WriteToFile(line);
    } catch (...) {
      // Given up like a line whose attempts all failed; the thread goes on.
    }
    lock.lock();
    fQueue.pop_front();
    ++fHandled;
    fProgress.notify_all();
  }
}

// ---- tQX_LogWriter ----

tQX_LogWriter::tQX_LogWriter(std::string_view aFileName, std::string_view aDirectory,
                             int32_t aMaxMessageLength, bool aDaily)
    : fMaxMessageLength(aMaxMessageLength), fDaily(aDaily) {
  std::string name(aFileName);
  if (aDaily) name.append("_").append(FormatDateTime("yyyymmdd", Now()));
  name += ".log";
  fFileName = std::move(name);
  AssignDirectory(aDirectory);
  fThread = std::make_unique<tQX_LogThread>(*this);
}

tQX_LogWriter::~tQX_LogWriter() { fThread.reset(); }

std::string tQX_LogWriter::Directory() const {
  std::lock_guard<std::mutex> guard(fNameLock);
  return fDirectory;
}

std::string tQX_LogWriter::FileName() const {
  std::lock_guard<std::mutex> guard(fNameLock);
  return fFileName;
}

void tQX_LogWriter::AssignDirectory(std::string_view value) {
  if (value.empty()) throw Error("Unable to create directory");
  const std::string directory(value);
  const std::string fileName = JoinPath(directory, ExtractFileName(FileName()));
  {
    std::lock_guard<std::mutex> guard(fNameLock);
    fDirectory = directory;
    fFileName = fileName;
  }
  // A directory that cannot be made shows up as failed appends later.
  (void)ForceDirectories(directory);
}

void tQX_LogWriter::Write(tQX_MessageType aEntryType, std::string_view aMessage) {
  if (FileName().empty()) throw Error("Log filename is empty ");
  std::string line = FormatDateTime(kStampPattern, Now());
  line += aEntryType == let_error ? " - ERROR - " : " - ";
  if (fMaxMessageLength > 0) {
    AppendEscaped(line, TruncateUtf16(aMessage, static_cast<size_t>(fMaxMessageLength)));
  } else {
    AppendEscaped(line, aMessage);
  }
  fThread->Push(std::move(line));
}

void tQX_LogWriter::Flush() { fThread->WaitUntilWritten(); }

void tQX_LogWriter::WriteOutHere() noexcept {
  if (fThread) fThread->WriteOutHere();
}

int64_t tQX_LogWriter::GetLogFileSize() const { return LogFileSize(FileName()); }

void tQX_LogWriter::MoveAsideWhenOversized(const std::string& fileName) {
  const int64_t limit = static_cast<int64_t>(MaxLogFileSize()) * 1024;
  if (LogFileSize(fileName) <= limit) return;  // a missing file (-1) stays where it is
  const std::string aside =
      WithoutExtension(fileName) + "_" + FormatDateTime("yyyymmddhhnnsszzz", Now()) + ".log";
  // When the move fails the line goes to the oversized file and the check
  // repeats before the next one.
  (void)MoveFileNoReplace(fileName, aside);
}

void tQX_LogWriter::WriteToFile(const std::string& aLine) {
  // Nothing raised here may end the log thread; a failed step counts as a
  // failed attempt and the line is given up after the last one.
  const std::string fileName = FileName();
  try {
    MoveAsideWhenOversized(fileName);
  } catch (...) {
  }
  try {
    for (int attempt = 1; attempt <= kAppendAttempts; ++attempt) {
      if (AppendLogLine(fileName, aLine)) return;
      if (attempt < kAppendAttempts) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kAppendRetryMs));
      }
    }
  } catch (...) {
  }
}

}  // namespace qx
