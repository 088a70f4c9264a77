// The queue pusher thread, and the till manager's members that start, stop
// and configure it.
#include "manager/uRTServerManager_Pusher.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <functional>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "log/uQX_LogWriter.h"
#include "manager/uRTServerManager.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/logfile.h"
#include "platform/process.h"
#include "platform/strings.h"
#include "platform/threads.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_ZReport.h"

namespace qx {

namespace {

constexpr int64_t kDefaultPauseMillis = 30000;
constexpr int64_t kConfigPollMillis = 1000;
constexpr char kReceiptStart[] = "<createReceipt>";
constexpr char kClosureStart[] = "<createDailyClosure>";
constexpr char kDuplicateSuffix[] = "_duplicate.err";
// How many numbered duplicate names are tried when "_duplicate.err" is taken.
constexpr int kMaxDuplicateNames = 100;
// The longest a filed document's move may stay unsynced while the queue is
// being delivered. Syncing the two directories after every document would
// cost far more than sending it.
constexpr auto kMoveSyncMillis = std::chrono::milliseconds(200);

// The outcome of one submission, read while the server client was held.
struct Submission {
  bool accepted = false;
  std::string lastError;
  tkEPSRT_ErrorType errorType = et_Blocking;
  std::string reply;
};

// Posts one document through |submit| and reads its outcome without letting
// another exchange on the client in between. |aWhileWaiting| runs during the
// exchange, while the server handles the request; it is never left behind
// for a later exchange.
template <typename Submit>
Submission SubmitHolding(kEPSRTServer& aServer, std::function<void()> aWhileWaiting,
                         Submit submit) {
  Submission result;
  std::lock_guard<std::recursive_mutex> hold(aServer.Lock());
  struct Withdraw {
    kEPSRTServer& server;
    ~Withdraw() { server.SetWhileWaiting(nullptr); }
  } withdraw{aServer};
  aServer.SetWhileWaiting(std::move(aWhileWaiting));
  result.accepted = submit();
  if (!result.accepted) {
    result.lastError = aServer.LastError();
    result.errorType = aServer.LastErrorType();
    result.reply = aServer.XmlResponse().DocumentElement().Xml();
  }
  return result;
}

// True when |aBytes| already is a document text: no byte order mark, and
// every line, the last included, ended by CR LF.
bool IsDocumentText(std::string_view aBytes) {
  if (aBytes.empty()) return true;
  const unsigned char first = static_cast<unsigned char>(aBytes.front());
  if (first == 0xEF || first == 0xFF || first == 0xFE) return false;
  if (aBytes.back() != '\n') return false;
  for (size_t i = 0; i < aBytes.size(); ++i) {
    if (aBytes[i] == '\n') return false;  // not after CR
    if (aBytes[i] == '\r') {
      if (i + 1 == aBytes.size() || aBytes[i + 1] != '\n') return false;
      ++i;
    }
  }
  return true;
}

// The document text: every line followed by CR LF. A file the till wrote is
// that already and is taken as read.
std::string ReadDocument(const std::string& aFileName) {
  std::string bytes = ReadFileBytes(aFileName);
  if (IsDocumentText(bytes)) return bytes;
  std::string text;
  for (const std::string& line : ReadTextLines(aFileName)) {
    text += line;
    text += "\r\n";
  }
  return text;
}

std::string Today() { return FormatDateTime("yyyymmdd", Now()); }

}  // namespace

int64_t PusherPauseMillisFromEnvironment() {
  const std::string value = EnvironmentText("QX_PUSHER_PAUSE_MS");
  if (value.empty()) return kDefaultPauseMillis;
  int32_t millis = 0;
  if (!TryStrToInt(value, millis) || millis < 0) return kDefaultPauseMillis;
  return millis;
}

namespace {

// Orders two texts as their forms in lower case (ASCII letters folded, as
// ToLowerAscii does) compare byte by byte: negative, zero or positive.
int CompareFolded(std::string_view aA, std::string_view aB) {
  const auto fold = [](char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  };
  const size_t common = std::min(aA.size(), aB.size());
  for (size_t i = 0; i < common; ++i) {
    const unsigned char a = fold(aA[i]);
    const unsigned char b = fold(aB[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  if (aA.size() != aB.size()) return aA.size() < aB.size() ? -1 : 1;
  return 0;
}

// Orders two file names folded, then as the names themselves.
int CompareNames(std::string_view aA, std::string_view aB) {
  const int folded = CompareFolded(aA, aB);
  return folded != 0 ? folded : aA.compare(aB);
}

}  // namespace

void SendingQueue::Scan(const std::string& aQueueDir) {
  fNext = 0;
  ListFilesWithTimes(aQueueDir, ".srtd", fListing);
  // Every path shares the directory, so comparing the names orders the paths.
  std::vector<TimedListing::File>& files = fListing.Files();
  std::sort(files.begin(), files.end(),
            [&](const TimedListing::File& a, const TimedListing::File& b) {
              if (a.modifiedUnixMillis != b.modifiedUnixMillis) {
                return a.modifiedUnixMillis < b.modifiedUnixMillis;
              }
              return CompareNames(fListing.Name(a), fListing.Name(b)) < 0;
            });
  KeepNumberOrder();
}

void SendingQueue::KeepNumberOrder() {
  // A store copied without its files' times, or a clock set back, can make a
  // later document look older. The server books a till's documents in the
  // order of their numbers and takes a number below its last one as booked,
  // so a document sent after a later one would never be booked. Each till's
  // documents therefore keep the places their times give them but take
  // those places in the order of Z report and number.
  std::vector<TimedListing::File>& files = fListing.Files();
  struct Document {
    size_t place;
    QueuedDocumentKey key;
  };
  std::vector<Document> documents;
  for (size_t i = 0; i < files.size(); ++i) {
    if (std::optional<QueuedDocumentKey> key = ParseQueueFileName(fListing.Name(files[i]))) {
      documents.push_back(Document{i, *key});
    }
  }
  const auto numberOrder = [](const Document& a, const Document& b) {
    return std::tie(a.key.zRepNumber, a.key.number) < std::tie(b.key.zRepNumber, b.key.number);
  };
  // Till ids compare as Windows compares folder names, letter case aside:
  // one folder, one till.
  const auto sameTill = [](const Document& a, const Document& b) {
    return CompareFolded(a.key.tillId, b.key.tillId) == 0;
  };
  const bool oneTill = std::all_of(documents.begin(), documents.end(), [&](const Document& d) {
    return sameTill(d, documents.front());
  });
  if (oneTill && std::is_sorted(documents.begin(), documents.end(), numberOrder)) return;

  const std::vector<TimedListing::File> listed = files;
  std::stable_sort(documents.begin(), documents.end(), [](const Document& a, const Document& b) {
    return CompareFolded(a.key.tillId, b.key.tillId) < 0;
  });
  for (auto till = documents.begin(); till != documents.end();) {
    const auto end =
        std::find_if(till, documents.end(), [&](const Document& d) { return !sameTill(d, *till); });
    std::vector<size_t> places;
    for (auto it = till; it != end; ++it) places.push_back(it->place);
    std::stable_sort(till, end, numberOrder);
    for (size_t k = 0; k < places.size(); ++k) files[places[k]] = listed[till[k].place];
    till = end;
  }
}

void SendingQueue::Clear() {
  fListing.Clear();
  fNext = 0;
}

std::vector<std::string> SendingQueue::Paths() const {
  std::vector<std::string> paths;
  paths.reserve(Size());
  for (size_t i = 0; i < Size(); ++i) paths.push_back(Path(i));
  return paths;
}

std::vector<std::string> QueueFilesInSendingOrder(const std::string& aQueueDir) {
  SendingQueue queue;
  queue.Scan(aQueueDir);
  return queue.Paths();
}

// ---------------------------------------------------------------------------
// kRTSPusherThread

kRTSPusherThread::kRTSPusherThread()
    : fLogger(std::make_unique<tQX_LogWriter>("RTSPusher", PusherLogDirectory(), 0, true)),
      fPauseMillis(PusherPauseMillisFromEnvironment()) {}

kRTSPusherThread::~kRTSPusherThread() {
  Terminate();
  WaitFor();
  LogInfo("****** STOP " + DataQueueDir() + " *****");
  fLogger.reset();  // writes every queued line first
  fQueue.Clear();
}

void kRTSPusherThread::Start() {
  if (fThread.Joinable()) return;
  LogInfo("****** START " + DataQueueDir() + " *****");
  fThread = LibraryThread([this] { Execute(); });
}

void kRTSPusherThread::Terminate() {
  {
    std::lock_guard<std::mutex> lock(fStateLock);
    fTerminated = true;
  }
  fWake.notify_all();
}

void kRTSPusherThread::WaitFor() { fThread.Join(); }

bool kRTSPusherThread::Finished() const {
  std::lock_guard<std::mutex> lock(fStateLock);
  return fFinished;
}

bool kRTSPusherThread::TerminationRequested() const {
  std::lock_guard<std::mutex> lock(fStateLock);
  return fTerminated;
}

void kRTSPusherThread::Pause(int64_t aMillis) {
  std::unique_lock<std::mutex> lock(fStateLock);
  fWake.wait_for(lock, std::chrono::milliseconds(aMillis), [this] { return fTerminated; });
}

std::string kRTSPusherThread::DataQueueDir() const {
  std::lock_guard<std::mutex> lock(fConfigLock);
  return fDataQueueDir;
}

void kRTSPusherThread::SetDataQueueDir(const std::string& aValue) {
  std::lock_guard<std::mutex> lock(fConfigLock);
  fDataQueueDir = aValue;
}

std::string kRTSPusherThread::DataProcessedDir() const {
  std::lock_guard<std::mutex> lock(fConfigLock);
  return fDataProcessedDir;
}

void kRTSPusherThread::SetDataProcessedDir(const std::string& aValue) {
  std::lock_guard<std::mutex> lock(fConfigLock);
  fDataProcessedDir = aValue;
}

std::string kRTSPusherThread::DataErrorsDir() const {
  std::lock_guard<std::mutex> lock(fConfigLock);
  return fDataErrorsDir;
}

void kRTSPusherThread::SetDataErrorsDir(const std::string& aValue) {
  std::lock_guard<std::mutex> lock(fConfigLock);
  fDataErrorsDir = aValue;
}

kEPSRTServer* kRTSPusherThread::Server() const {
  std::lock_guard<std::mutex> lock(fConfigLock);
  return fServer;
}

void kRTSPusherThread::SetServer(kEPSRTServer* aServer) {
  std::lock_guard<std::mutex> lock(fConfigLock);
  fServer = aServer;
}

kRTSPusherThread::Config kRTSPusherThread::Snapshot() const {
  std::lock_guard<std::mutex> lock(fConfigLock);
  return Config{fDataQueueDir, fDataProcessedDir, fDataErrorsDir, fServer};
}

bool kRTSPusherThread::IsConfigured(const Config& aConfig) {
  return !aConfig.queueDir.empty() && !aConfig.processedDir.empty() && !aConfig.errorsDir.empty() &&
         aConfig.server != nullptr;
}

void kRTSPusherThread::LogInfo(const std::string& aMessage) {
  try {
    fLogger->Write(let_info, aMessage);
  } catch (...) {
    // A line that cannot be queued is dropped, as lines the log thread
    // cannot write are.
  }
}

void kRTSPusherThread::LogError(const std::string& aMessage) {
  try {
    fLogger->Write(let_error, aMessage);
  } catch (...) {
  }
}

void kRTSPusherThread::Execute() {
  NameCurrentThread("qx-pusher");
  std::string scannedDir;
  while (!TerminationRequested()) {
    const Config config = Snapshot();
    if (!IsConfigured(config)) {
      Pause(std::min(kConfigPollMillis, fPauseMillis));
      continue;
    }
    // Paths taken from a queue directory that has since been replaced are
    // not sent; the next scan reads the new one.
    if (config.queueDir != scannedDir) fQueue.Clear();
    bool pause = false;
    try {
      if (fQueue.Empty()) {
        scannedDir = config.queueDir;
        ScanQueueDir(config);
      }
      if (fQueue.Empty()) {
        pause = true;
      } else if (PushFile(config, fQueue.Front())) {
        fQueue.PopFront();
      } else {
        fQueue.Clear();
        pause = true;
      }
    } catch (const std::exception& e) {
      // A queue directory that vanished, a file that cannot be read or a
      // reply the client cannot parse: like a blocking failure, the queue
      // waits and is scanned again after the pause.
      LogError(e.what());
      fQueue.Clear();
      pause = true;
    } catch (...) {
      LogError("Unknown error while delivering the queue");
      fQueue.Clear();
      pause = true;
    }
    if (pause || fQueue.Empty()) {
      // A document that could not be filed is still queued: like a blocking
      // failure, it waits for the pause.
      FilePendingDocument();
      if (!TakeFilingOutcome() || !SyncMoves()) {
        fQueue.Clear();
        pause = true;
      }
    }
    if (pause) Pause(fPauseMillis);
  }
  FilePendingDocument();
  SyncMoves();
  std::lock_guard<std::mutex> lock(fStateLock);
  fFinished = true;
}

void kRTSPusherThread::ScanQueueDir(const Config& aConfig) { fQueue.Scan(aConfig.queueDir); }

bool kRTSPusherThread::PushFile(const Config& aConfig, const std::string& aFileName) {
  const std::string date = Today();
  // The document is claimed before anything of it is sent: one that the
  // signing path has taken back meanwhile is gone and is not sent at all.
  std::string sending = aFileName;
  if (ClaimedAhead(aFileName)) {
    sending = fReadAhead->claimedName;
  } else if (!IsClaimedQueueFileName(aFileName)) {
    sending = ClaimedQueueFileName(aFileName);
    const MoveOutcome claim = RenameNoReplace(aFileName, sending);
    if (claim.kind == MoveOutcome::kSourceMissing) return true;  // taken back meanwhile
    if (claim.kind == MoveOutcome::kTargetExists) {
      // A claimed file of the same name is still queued: this one is a
      // duplicate of it and is never sent.
      LogError("Duplicate File Name found: " + sending);
      return SetAsideDuplicate(aFileName);
    }
    if (!claim) {
      // An I/O error may pass: the document waits, like after a blocking failure.
      LogError("Cannot claim " + aFileName + ": " + claim.cause);
      return false;
    }
  } else {
    // Claimed before its turn came: by a delivery cut short by a crash, a
    // lost reply or a filing that failed, so it may be on the server's
    // books already. Whatever the server holds is filed, never sent again.
    const auto delivered = fDelivered.find(aFileName);
    if (delivered != fDelivered.end()) {
      const std::string targetDir = delivered->second;
      fDelivered.erase(delivered);
      return FileDelivered(aFileName, targetDir);
    }
    switch (ServerHolds(*aConfig.server, aFileName)) {
      case Held::kYes:
        LogInfo("Already held by the RT server, filed as delivered: " +
                UnclaimedQueueFileName(aFileName));
        return FileDelivered(aFileName, JoinPath(aConfig.processedDir, date));
      case Held::kUnknown:
        return false;
      case Held::kNo:
        break;
    }
  }
  const std::string queued = UnclaimedQueueFileName(sending);
  const std::string text = TakeDocumentText(aFileName, sending);
  kEPSRTServer& server = *aConfig.server;
  // Work on the documents before and after this one while it is on its way:
  // it then costs the queue no time.
  const auto whileSending = [this] { WorkWhileSending(); };

  Submission outcome;
  if (StartsWith(text, kReceiptStart)) {
    LogInfo(queued);
    outcome = SubmitHolding(server, whileSending, [&] { return server.Receipt().Print(text); });
  } else if (StartsWith(text, kClosureStart)) {
    LogInfo("TILLZREPORT:" + queued);
    outcome = SubmitHolding(server, whileSending, [&] { return server.TillZReport().Print(text); });
  } else {
    // Neither a receipt nor a daily closure: never sent, and not judged by
    // whatever error the client holds from an earlier exchange.
    FilePendingDocument();
    LogError("Unknown document kind, not sent: " + queued);
    const bool filed = FileAway(sending, JoinPath(aConfig.errorsDir, date));
    return TakeFilingOutcome() && filed;
  }
  FilePendingDocument();  // when the exchange ended before it could be done
  const bool earlierFiled = TakeFilingOutcome();

  if (outcome.accepted) {
    fPendingFiling = Filing{sending, JoinPath(aConfig.processedDir, date), true};
    return earlierFiled;
  }
  LogError(outcome.lastError + "\r\n" + outcome.reply);
  if (outcome.errorType == et_Blocking) return false;
  // A refusal of a document the server holds already (its claim or filing
  // did not survive a power cut, say) is no rejection: it is filed as
  // delivered. Only what the server does not hold is set aside under Errors.
  switch (ServerHolds(server, sending)) {
    case Held::kYes:
      LogInfo("Already held by the RT server, filed as delivered: " + queued);
      return FileDelivered(sending, JoinPath(aConfig.processedDir, date)) && earlierFiled;
    case Held::kUnknown:
      return false;
    case Held::kNo:
      break;
  }
  return FileAway(sending, JoinPath(aConfig.errorsDir, date)) && earlierFiled;
}

void kRTSPusherThread::FilePendingDocument() {
  if (!fPendingFiling) return;
  const Filing filing = std::move(*fPendingFiling);
  fPendingFiling.reset();
  bool filed = false;
  try {
    filed = FileAway(filing.fileName, filing.targetDir);
  } catch (const std::exception& e) {
    LogError(e.what());
  } catch (...) {
    LogError("Unknown error while filing " + filing.fileName);
  }
  if (filed) return;
  fFilingFailed = true;
  // The server has it: when its turn comes again it is filed, not sent.
  if (filing.delivered && FileExists(filing.fileName)) {
    fDelivered[filing.fileName] = filing.targetDir;
  }
}

bool kRTSPusherThread::FileDelivered(const std::string& aFileName, const std::string& aTargetDir) {
  if (FileAway(aFileName, aTargetDir)) return true;
  if (FileExists(aFileName)) fDelivered[aFileName] = aTargetDir;
  return false;
}

kRTSPusherThread::Held kRTSPusherThread::ServerHolds(kEPSRTServer& aServer,
                                                     const std::string& aFileName) {
  // The queued name gives the till, the Z report and the document number
  // (9999 for the daily closure).
  const std::string name = UnclaimedQueueFileName(ExtractFileName(aFileName));
  const std::optional<QueuedDocumentKey> key = ParseQueueFileName(name);
  if (!key) return Held::kNo;  // not one of ours: the server judges it
  const std::string tillId(key->tillId);
  const int32_t zRep = key->zRepNumber;
  const int32_t number = key->number;
  kEPSRTServer_TillZReport& report = aServer.TillZReport();
  std::lock_guard<std::recursive_mutex> hold(aServer.Lock());
  report.SetRecNumber(-1);
  bool answered = false;
  try {
    answered = report.GetCurrent(tillId);
  } catch (const std::exception& e) {
    LogError("Cannot read the till's Z report from the RT server: " + std::string(e.what()));
    return Held::kUnknown;
  }
  if (!answered) {
    LogError("Cannot tell whether the RT server holds " + name + ": " + aServer.LastError());
    return Held::kUnknown;
  }
  // The server's running Z report and the last document booked in it.
  const int32_t serverZRep = report.ZRepNumber();
  int32_t serverLast = report.RecNumber();
  if (zRep < serverZRep) {
    // Its Z report is closed there: a closure is held; a receipt is held
    // when the closed report counts it.
    if (number == kRTSClosureNumber) return Held::kYes;
    report.SetRecNumber(-1);
    bool found = false;
    try {
      found = report.Get(tillId, zRep);
    } catch (const std::exception& e) {
      LogError("Cannot read Z report " + std::to_string(zRep) +
               " from the RT server: " + std::string(e.what()));
      return Held::kUnknown;
    }
    if (!found) {
      if (aServer.LastErrorType() == et_Blocking) {
        LogError("Cannot tell whether the RT server holds " + name + ": " + aServer.LastError());
        return Held::kUnknown;
      }
      return Held::kNo;  // no such report there: the server judges the document
    }
    serverLast = report.RecNumber();
  } else if (number == kRTSClosureNumber || zRep > serverZRep) {
    return Held::kNo;
  }
  if (serverLast < 0) return Held::kNo;  // a reply without the number: let the server judge
  return number <= serverLast ? Held::kYes : Held::kNo;
}

void kRTSPusherThread::WorkWhileSending() {
  FilePendingDocument();
  ReadAhead();
}

void kRTSPusherThread::ReadAhead() {
  fReadAhead.reset();
  if (fQueue.Size() < 2) return;
  const std::string next = fQueue.Path(1);
  // Claimed now rather than when its turn comes, so that the rename too
  // costs the queue no time. A claimed document is sent whatever comes
  // between, as at its turn: a crash leaves it queued under its claimed name.
  // A claim that fails is made again at its turn, which reports why.
  std::string claimed = next;
  if (!IsClaimedQueueFileName(next)) {
    claimed = ClaimedQueueFileName(next);
    if (!RenameNoReplace(next, claimed)) return;
  }
  fReadAhead = ReadText{next, claimed, std::nullopt, std::string()};
  try {
    const std::optional<FileIdentity> before = IdentityOf(claimed);
    if (!before) return;
    std::string text = ReadDocument(claimed);
    // A file replaced while it was being read is read again when its turn comes.
    if (IdentityOf(claimed) != before) return;
    fReadAhead->identity = before;
    fReadAhead->text = std::move(text);
  } catch (...) {
    // Read again when its turn comes, which reports what went wrong.
  }
}

bool kRTSPusherThread::ClaimedAhead(const std::string& aListedName) const {
  return fReadAhead && fReadAhead->fileName == aListedName && !fReadAhead->claimedName.empty() &&
         fReadAhead->claimedName != aListedName;
}

std::string kRTSPusherThread::TakeDocumentText(const std::string& aListedName,
                                               const std::string& aFileName) {
  std::optional<ReadText> ahead = std::exchange(fReadAhead, std::nullopt);
  if (ahead && ahead->fileName == aListedName && ahead->identity &&
      IdentityOf(aFileName) == ahead->identity) {
    return std::move(ahead->text);
  }
  return ReadDocument(aFileName);
}

bool kRTSPusherThread::TakeFilingOutcome() { return !std::exchange(fFilingFailed, false); }

bool kRTSPusherThread::FileAway(const std::string& aFileName, const std::string& aTargetDir) {
  // The dated directory is made once; a move that fails makes it again and
  // is tried once more, in case it was taken away meanwhile. A directory
  // that cannot be made fails the move. A claimed file is filed under its
  // queued name.
  const std::string target =
      JoinPath(aTargetDir, UnclaimedQueueFileName(ExtractFileName(aFileName)));
  std::string notMade;  // why the directory could not be made, if it could not
  if (aTargetDir != fMadeDir && ForceDirectories(aTargetDir, &notMade)) fMadeDir = aTargetDir;
  MoveOutcome moved = RenameNoReplace(aFileName, target);
  if (moved.kind == MoveOutcome::kFailed) {
    notMade.clear();
    ForceDirectories(aTargetDir, &notMade);
    moved = RenameNoReplace(aFileName, target);
  }
  if (moved) {
    const auto now = std::chrono::steady_clock::now();
    if (fUnsyncedDirs.empty()) fFirstUnsyncedMove = now;
    fUnsyncedDirs.insert(aTargetDir);
    const size_t slash = aFileName.rfind('/');
    fUnsyncedDirs.insert(slash == std::string::npos ? std::string(".")
                                                    : aFileName.substr(0, slash));
    if (now - fFirstUnsyncedMove >= kMoveSyncMillis && !SyncMoves()) return false;
    return true;
  }
  if (moved.kind == MoveOutcome::kSourceMissing) return true;  // taken out by someone else
  if (moved.kind == MoveOutcome::kFailed) {
    // An I/O error, not a clash: the document stays claimed in the queue
    // and is filed when the queue is tried again.
    LogError("Cannot file " + aFileName + " in " + aTargetDir + ": " +
             (notMade.empty() ? moved.cause : notMade));
    return false;
  }
  LogError("Duplicate File Name found: " + target);
  return SetAsideDuplicate(aFileName);
}

bool kRTSPusherThread::SetAsideDuplicate(const std::string& aFileName) {
  // The file keeps its place, under its queued name, but no longer matches
  // "*.srtd", so it is not sent again. An older duplicate of the same name is
  // never overwritten.
  const std::string queued = UnclaimedQueueFileName(aFileName);
  MoveOutcome renamed = MoveFileNoReplace(aFileName, queued + kDuplicateSuffix);
  for (int n = 2; renamed.kind == MoveOutcome::kTargetExists && n <= kMaxDuplicateNames; ++n) {
    renamed = MoveFileNoReplace(aFileName, queued + "_duplicate_" + std::to_string(n) + ".err");
  }
  if (renamed.kind == MoveOutcome::kFailed) {
    LogError("Cannot set aside " + aFileName + ": " + renamed.cause);
  }
  // A file that could not be renamed either would be sent again at once:
  // let the queue wait instead.
  return static_cast<bool>(renamed) || renamed.kind == MoveOutcome::kSourceMissing;
}

bool kRTSPusherThread::SyncMoves() {
  bool synced = true;
  for (auto dir = fUnsyncedDirs.begin(); dir != fUnsyncedDirs.end();) {
    const std::string cause = SyncDirectoryCause(*dir);
    if (cause.empty()) {
      dir = fUnsyncedDirs.erase(dir);
    } else {
      // Kept, and synced again after the pause.
      LogError("Cannot sync directory " + *dir + ": " + cause);
      synced = false;
      ++dir;
    }
  }
  return synced;
}

// ---------------------------------------------------------------------------
// kRTSManager: the pusher's members

void kRTSManager::StartPusher() {
  if (fPusher) {
    if (!fPusher->Finished()) return;
    StopPusher();  // a thread that has ended is replaced
  }
  auto pusher = std::make_unique<kRTSPusherThread>();
  pusher->SetDataProcessedDir(fDataProcessedDir);
  pusher->SetDataErrorsDir(fDataErrorsDir);
  pusher->SetDataQueueDir(fDataQueueDir);
  pusher->SetServer(fServer.get());
  pusher->Start();
  fPusher = std::move(pusher);
}

void kRTSManager::StopPusher() {
  if (!fPusher) return;
  fPusher->Terminate();
  fPusher->WaitFor();
  fPusher.reset();
}

bool kRTSManager::PusherRunning() const { return fPusher && !fPusher->Finished(); }

void kRTSManager::WriteOutPusherLogHere() noexcept {
  if (fPusher) fPusher->WriteOutLogHere();
}

void kRTSPusherThread::WriteOutLogHere() noexcept {
  if (fLogger) fLogger->WriteOutHere();
}

// The client being replaced is freed here, so a running pusher, which may be
// in the middle of a submission through it, is stopped first and started
// again on the new client.
void kRTSManager::SetServer(std::unique_ptr<kEPSRTServer> aServer) {
  const bool restart = fPusher != nullptr;
  StopPusher();
  fServer = std::move(aServer);
  if (restart) StartPusher();
}

void kRTSManager::SetDataQueueDir(const std::string& aValue) {
  fDataQueueDir = aValue;
  if (fPusher) fPusher->SetDataQueueDir(aValue);
}

void kRTSManager::SetDataProcessedDir(const std::string& aValue) {
  fDataProcessedDir = aValue;
  if (fPusher) fPusher->SetDataProcessedDir(aValue);
}

void kRTSManager::SetDataErrorsDir(const std::string& aValue) {
  fDataErrorsDir = aValue;
  if (fPusher) fPusher->SetDataErrorsDir(aValue);
}

}  // namespace qx
