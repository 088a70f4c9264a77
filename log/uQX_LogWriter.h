// Asynchronous, size-limited log files. A writer formats each entry on the
// caller's thread ("yyyy-mm-dd hh:mm:ss:zzz - message", or " - ERROR - " for
// errors) and queues it; its own log thread appends the queued lines to the
// file in order, moving the file aside once it has grown past the size limit.
// Destroying a writer first writes out every queued line.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/uQX_Base_Defs.h"
#include "platform/threads.h"

namespace qx {

class tQX_LogWriter;

// The thread that serves one writer: takes lines off the queue oldest first
// and hands them to the writer's file. A line leaves the queue only once it
// has been written (or given up), so an empty queue means all is on disk.
class tQX_LogThread {
 public:
  // Starts the thread at once.
  explicit tQX_LogThread(tQX_LogWriter& writer);
  // Asks the thread to end, lets it write every queued line, and joins it.
  ~tQX_LogThread();
  tQX_LogThread(const tQX_LogThread&) = delete;
  tQX_LogThread& operator=(const tQX_LogThread&) = delete;

  tQX_LogWriter& Writer() const { return fWriter; }

  void Push(std::string line);
  // Asks the thread to end once the queue is empty; returns at once.
  void Terminate();
  // Blocks until every line pushed before the call has been handled.
  void WaitUntilWritten();
  // For an unload step that must not wait for this thread, once the system
  // has ended it (a process ending on Windows): when the ended thread did not
  // hold the queue, writes the queued lines on the calling thread; otherwise
  // leaves them. A line the thread was writing may be written a second time.
  // Not for use while the thread still runs.
  void WriteOutHere() noexcept;

 private:
  void Execute();

  tQX_LogWriter& fWriter;
  std::mutex fLock;
  std::condition_variable fWork;      // termination requested, or a writer waits
  std::condition_variable fProgress;  // a line was handled
  std::deque<std::string> fQueue;     // guarded by fLock
  uint64_t fPushed = 0;               // guarded by fLock
  uint64_t fHandled = 0;              // guarded by fLock
  bool fTerminated = false;           // guarded by fLock
  LibraryThread fThread;              // last: starts once the rest exists
};

class tQX_LogWriter {
 public:
  // Default size limit, in units of 1024 bytes.
  static constexpr int32_t kDefaultMaxLogFileSize = 5000;
  // Appends made for one line before it is dropped, and the pause between them.
  static constexpr int kAppendAttempts = 10;
  static constexpr int kAppendRetryMs = 50;

  // The file is |aFileName| + ".log", or with |aDaily| |aFileName| + "_yyyymmdd.log"
  // with the date of creation, placed in |aDirectory| (see AssignDirectory). Any
  // directory part of |aFileName| is ignored. |aMaxMessageLength| > 0 cuts
  // messages to that many UTF-16 code units. Raises like AssignDirectory.
  tQX_LogWriter(std::string_view aFileName, std::string_view aDirectory, int32_t aMaxMessageLength,
                bool aDaily);
  // Writes out every queued line, then ends the log thread.
  ~tQX_LogWriter();
  tQX_LogWriter(const tQX_LogWriter&) = delete;
  tQX_LogWriter& operator=(const tQX_LogWriter&) = delete;

  std::string Directory() const;
  std::string FileName() const;
  int32_t MaxMessageLength() const { return fMaxMessageLength; }
  bool Daily() const { return fDaily; }
  int32_t MaxLogFileSize() const { return fMaxLogfileSize.load(); }
  void SetMaxLogFileSize(int32_t value) { fMaxLogfileSize.store(value); }

  // Moves the log file into |value| (later lines go there) and creates the
  // directory with its parents; a failure to create it is not reported (the
  // appends then fail). A relative directory is resolved against the current
  // directory at each append. Raises "Unable to create directory" for an empty
  // value and "Invalid characters in path" for a path that may not exist;
  // nothing changes then.
  void AssignDirectory(std::string_view value);

  // Formats and queues one entry; never touches the file. A message holding
  // line breaks becomes one entry spanning several lines, stamped once. Callable
  // from any thread; lines reach the file in the order the calls completed.
  void Write(tQX_MessageType aEntryType, std::string_view aMessage);

  // Blocks until every entry written before the call is in the file (or was
  // given up after its attempts).
  void Flush();
  // Writes the queued entries on the calling thread when it can do so without
  // waiting (see tQX_LogThread::WriteOutHere).
  void WriteOutHere() noexcept;

  // Size of the current file in bytes, -1 when it cannot be queried (missing).
  int64_t GetLogFileSize() const;
  // The size is checked before every line.
  bool CheckLogfileSize() const { return true; }

 private:
  friend class tQX_LogThread;

  // Log thread only: moves an oversized file aside, then appends the line.
  void WriteToFile(const std::string& aLine);
  void MoveAsideWhenOversized(const std::string& fileName);

  mutable std::mutex fNameLock;  // guards fDirectory and fFileName
  std::string fDirectory;
  const int32_t fMaxMessageLength;
  std::string fFileName;
  const bool fDaily;
  std::atomic<int32_t> fMaxLogfileSize{kDefaultMaxLogFileSize};
  std::unique_ptr<tQX_LogThread> fThread;
};

}  // namespace qx
