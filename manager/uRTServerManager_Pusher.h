// The queue pusher: the till manager's background thread that delivers the
// till's queued documents (signed receipts and the daily closure) to the RT
// server one at a time, oldest first, and files each one under the dated
// processed or errors directory. A blocking failure leaves the document
// queued and the thread pauses before trying again, so a till keeps selling
// while the server is away. The pusher keeps its own daily log file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/threads.h"

namespace qx {

class kEPSRTServer;
class tQX_LogWriter;

// The queue files of one scan in sending order: oldest modification time
// first (to the millisecond), equal times in the order of their paths
// compared case-insensitively; among one till's documents, whatever their
// times, a lower Z report and number never goes after a higher one. Each
// full path is made when it is asked for, and a queue scanned again keeps
// its buffers.
class SendingQueue {
 public:
  // Replaces the contents with the ".srtd" files directly in |aQueueDir|.
  // Raises "The specified path was not found" when the directory does not
  // exist; the queue is then empty.
  void Scan(const std::string& aQueueDir);
  bool Empty() const { return fNext == fListing.Files().size(); }
  size_t Size() const { return fListing.Files().size() - fNext; }
  // The full path of the file |aIndex| places behind the front.
  std::string Path(size_t aIndex) const { return fListing.Path(fListing.Files()[fNext + aIndex]); }
  std::string Front() const { return Path(0); }
  void PopFront() { ++fNext; }
  void Clear();
  std::vector<std::string> Paths() const;

 private:
  void KeepNumberOrder();

  TimedListing fListing;
  size_t fNext = 0;  // files before it have left the queue
};

class kRTSPusherThread {
 public:
  // Creates the pusher's log writer ("RTSPusher_yyyymmdd.log" in
  // PusherLogDirectory) and reads the pause
  // length. The thread does not run until Start.
  kRTSPusherThread();
  // Stops the thread (a pause is cut short, a submission in progress
  // completes), logs the STOP line and drains the log.
  ~kRTSPusherThread();

  kRTSPusherThread(const kRTSPusherThread&) = delete;
  kRTSPusherThread& operator=(const kRTSPusherThread&) = delete;

  // Logs the START line and lets the thread run. Only the first call counts.
  void Start();
  // Asks the thread to end at the top of its next cycle and cuts a pause in
  // progress short. Returns at once.
  void Terminate();
  // Waits until the thread has ended (Terminate first).
  void WaitFor();
  // True once the thread body has returned.
  bool Finished() const;
  // Writes the queued log lines on the calling thread, without waiting.
  void WriteOutLogHere() noexcept;

  // The directories and the server client are set by the till manager on
  // the host's thread and read by the pusher at every cycle; each is replaced
  // and read whole under the configuration lock.
  std::string DataQueueDir() const;
  void SetDataQueueDir(const std::string& aValue);
  std::string DataProcessedDir() const;
  void SetDataProcessedDir(const std::string& aValue);
  std::string DataErrorsDir() const;
  void SetDataErrorsDir(const std::string& aValue);
  // Not owned.
  kEPSRTServer* Server() const;
  void SetServer(kEPSRTServer* aServer);

  // The pause after an empty scan or a blocking failure: QX_PUSHER_PAUSE_MS
  // milliseconds (default 30000).
  int64_t PauseMillis() const { return fPauseMillis; }

 private:
  // The configuration of one cycle, taken whole under the lock.
  struct Config {
    std::string queueDir;
    std::string processedDir;
    std::string errorsDir;
    kEPSRTServer* server = nullptr;
  };

  void Execute();
  Config Snapshot() const;
  static bool IsConfigured(const Config& aConfig);
  void ScanQueueDir(const Config& aConfig);
  bool PushFile(const Config& aConfig, const std::string& aFileName);
  // Moves a handled file to its dated target directory; the duplicate rule
  // applies when the move fails. False when the file could not be taken out
  // of the queue at all.
  bool FileAway(const std::string& aFileName, const std::string& aTargetDir);
  // Renames a queued file that cannot be filed, in place, to its queued name
  // with "_duplicate.err" appended (a numbered name when that is taken). False
  // when it could not be renamed at all.
  bool SetAsideDuplicate(const std::string& aFileName);
  // Files the delivered document whose move is pending, if any, and notes a
  // failure for TakeFilingOutcome. A delivered document is filed while the
  // next one is on its way to the server, or before the queue is scanned
  // again, the thread pauses or it ends, whichever comes first.
  void FilePendingDocument();
  // False once after a pending filing has failed.
  bool TakeFilingOutcome();
  // The work done while a document is on its way to the server: filing the
  // one delivered before it and reading the one after it.
  void WorkWhileSending();
  // Claims and reads the document that follows the one being sent, if any.
  void ReadAhead();
  // True when the read-ahead has claimed the queued file |aListedName|.
  bool ClaimedAhead(const std::string& aListedName) const;
  // The text of the file |aFileName|, listed as |aListedName| (its name
  // before the claim): the text read ahead when the file is still the very
  // one read, else read now.
  std::string TakeDocumentText(const std::string& aListedName, const std::string& aFileName);
  // Makes the moves of filed documents durable: the directories they left
  // and entered are synced together, at most kMoveSyncMillis after the
  // first unsynced move, before every pause and when the thread ends. False
  // when a directory could not be synced; it is synced again later.
  bool SyncMoves();
  // What the server's own numbering says of a document claimed before its
  // turn: its Z report is closed there, or the server has booked its number
  // in the running one (kYes); not yet (kNo); the server cannot be asked
  // (kUnknown: the queue waits).
  enum class Held { kYes, kNo, kUnknown };
  Held ServerHolds(kEPSRTServer& aServer, const std::string& aFileName);
  // Files a document the server holds under |aTargetDir|; a filing that
  // fails is remembered, so that the document is filed and not sent when
  // the queue is tried again. False when it could not be filed.
  bool FileDelivered(const std::string& aFileName, const std::string& aTargetDir);
  void LogInfo(const std::string& aMessage);
  void LogError(const std::string& aMessage);
  // Sleeps up to aMillis; returns at once when termination is requested.
  void Pause(int64_t aMillis);
  bool TerminationRequested() const;

  // A delivered document and the directory it goes to.
  struct Filing {
    std::string fileName;
    std::string targetDir;
    bool delivered = false;  // accepted by the server
  };

  // The queued document after the one being sent, claimed ahead of its turn
  // (|claimedName|, empty when the claim failed) and read when it could be,
  // with the identity of the file it was read from.
  struct ReadText {
    std::string fileName;
    std::string claimedName;
    std::optional<FileIdentity> identity;
    std::string text;
  };

  // Used by the pusher's thread only.
  SendingQueue fQueue;
  std::optional<ReadText> fReadAhead;
  std::optional<Filing> fPendingFiling;
  bool fFilingFailed = false;
  // Claimed documents the server accepted whose filing failed, with their
  // target directories: filed, never sent, when their turn comes again.
  std::map<std::string, std::string> fDelivered;
  std::set<std::string> fUnsyncedDirs;  // directories holding unsynced moves
  std::chrono::steady_clock::time_point fFirstUnsyncedMove;
  std::string fMadeDir;  // the filing directory last made

  mutable std::mutex fConfigLock;
  std::string fDataQueueDir;
  std::string fDataProcessedDir;
  std::string fDataErrorsDir;
  kEPSRTServer* fServer = nullptr;

  std::unique_ptr<tQX_LogWriter> fLogger;
  const int64_t fPauseMillis;

  mutable std::mutex fStateLock;
  std::condition_variable fWake;
  bool fTerminated = false;
  bool fFinished = false;
  LibraryThread fThread;
};

// QX_PUSHER_PAUSE_MS when it holds a non-negative integer, else 30000.
int64_t PusherPauseMillisFromEnvironment();

// Full paths of the ".srtd" files directly in |aQueueDir| in sending order
// (see SendingQueue).
std::vector<std::string> QueueFilesInSendingOrder(const std::string& aQueueDir);

}  // namespace qx
