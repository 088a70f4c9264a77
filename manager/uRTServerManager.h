// The till manager: the per-till brain behind the host entry points. It owns
// the RT server client and the till's two counters records, lays out the
// till's data store (till, queue, processed, errors and journal directories),
// keeps the local caches of the receipt header lines and the VAT map that let
// a till work while the server cannot be reached, lists the queued documents,
// forwards server requests, opens the fiscal day and turns host receipts into
// sealed, queued and counted fiscal documents.
//
// Everything here runs on the host's calling thread; the queue pusher shares
// only the server client and the queue, processed and errors directories.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manager/uRTServerManager_Counters.h"
#include "manager/uRTServerManager_Pusher.h"
#include "rtserver/uRTSEPS20.h"

namespace qx {

class kRTSManager {
 public:
  // Creates the server client, both counters records (actual and previous)
  // and an empty error list. Touches no directory and asks no server.
  kRTSManager();
  ~kRTSManager();
  kRTSManager(const kRTSManager&) = delete;
  kRTSManager& operator=(const kRTSManager&) = delete;

  // Lays out the data store under |aDataRootDir| (the default data root when
  // empty) for |aTillId|, configures the server end point and stores the till
  // id. Contacts no server. Raises "Invalid characters in path" for a root or
  // till id a path may not hold (then nothing is created or changed).
  bool Init(const std::string& aDataRootDir, const std::string& aAddress, int32_t aPort,
            const std::string& aUser, const std::string& aPassword, const std::string& aTillId);
  // Configures the server end point and credentials.
  bool Setup(const std::string& aAddress, int32_t aPort, const std::string& aUser,
             const std::string& aPassword);
  // Stores the till id; paths are not recomputed.
  void SetTillId(const std::string& aTillId) { fTillId = aTillId; }
  const std::string& TillId() const { return fTillId; }

  // The newest message of the error list (empty when there is none). The list
  // only grows while the manager lives.
  std::string LastError() const;
  const std::vector<std::string>& Errors() const { return fErrors; }

  // Full paths of the ".srtd" files directly in the queue (errors) directory,
  // in enumeration order.
  std::vector<std::string> GetQueuedFiles() const;
  std::vector<std::string> GetErrorsFiles() const;
  int32_t DataQueueLength() const;
  int32_t DataErrorLength() const;

  // Opens the till's fiscal day: resumes the day of an existing actual
  // counters file, or starts one from a server token (queue drained) or from
  // the previous day's counters. True when a fingerprint is known. False,
  // with the reason in the error list, when a new day would number receipts
  // into a Z report the till has closed (the server refused its closure, or
  // its token still runs it). Raises "Server not available and no actual or
  // previous counters" when neither the server nor the previous counters can
  // start the day, "Till ... is in use by process ..." when another process
  // owns the till's store, and when the store cannot be listed or read.
  bool DayOpen(const std::string& aDataRootDir, const std::string& aAddress, int32_t aPort,
               const std::string& aUser, const std::string& aPassword, const std::string& aTillId);
  // Converts, seals, queues and counts one host receipt. False, with "Day not
  // opened" in the error list, when no day is open; every other failure
  // raises and leaves the queue and the counters as they were.
  bool ProcessReceipt(const std::string& aXmlReceipt);
  // Called with the queue file's path once a receipt has been queued, just
  // before its counters are saved: lets a test stand between the two steps,
  // where a crash or the delivery thread may come. Empty by default.
  void SetReceiptQueuedHook(std::function<void(const std::string&)> aHook) {
    fReceiptQueuedHook = std::move(aHook);
  }
  // Closes the open fiscal day: queues the daily closure, stamps the day's
  // counters, copies them to the journal, makes them the previous counters
  // and compares the till's totals with the server's (differences go to the
  // error list). False, with "Day not opened" and nothing changed, when no
  // day is open. A closure that cannot be queued raises with nothing
  // changed; once it is queued the day is no longer open, and a failure to
  // save, copy to the journal or move the counters raises, leaving the
  // closing to the next opening.
  bool DayClose();

  // The queue pusher. StartPusher creates and starts one when none is running
  // (a pusher whose thread has ended is replaced); StopPusher stops it (a
  // pause is cut short, a submission in progress completes) and frees it.
  // PusherRunning: a pusher exists and its thread has not ended.
  void StartPusher();
  void StopPusher();
  bool PusherRunning() const;
  // For an unload step that must not wait: the pusher's queued log lines
  // are written on the calling thread when nothing holds them.
  void WriteOutPusherLogHere() noexcept;

  // Forwarding operations: the result of one server request each.
  bool LoadServerInfo();
  bool LoadServerHeaders();
  bool LoadTillMap();
  bool LoadServerDateTime();
  bool LoadServerZRep();
  bool LoadVatMap();
  bool PrintServerZReport();
  // The till's current Z report. A failure adds the server client's message
  // for this very request to the error list (read while the client is held,
  // so no exchange of the pusher can come in between).
  bool LoadActualTillZRep();
  bool LoadHistoricTillZRep(int32_t aZRepNumber);

  // The last receipt this manager issued: its numbers and VAT total, for
  // the result of a signing that failed (which shows the values of before).
  struct IssuedReceipt {
    int32_t zRep = 0;
    int32_t nRec = 0;
    Currency vatTotal;
  };
  const IssuedReceipt& LastIssued() const { return fLastIssued; }

  bool DayOpened() const { return fDayOpened; }
  void SetDayOpened(bool aValue) { fDayOpened = aValue; }
  const std::string& DataRootDir() const { return fDataRootDir; }
  void SetDataRootDir(const std::string& aValue) { fDataRootDir = aValue; }
  const std::string& DataTillDir() const { return fDataTillDir; }
  void SetDataTillDir(const std::string& aValue) { fDataTillDir = aValue; }
  // The three directories the queue pusher works on; the setters hand the
  // new value to a running pusher as well.
  const std::string& DataQueueDir() const { return fDataQueueDir; }
  void SetDataQueueDir(const std::string& aValue);
  const std::string& DataProcessedDir() const { return fDataProcessedDir; }
  void SetDataProcessedDir(const std::string& aValue);
  const std::string& DataErrorsDir() const { return fDataErrorsDir; }
  void SetDataErrorsDir(const std::string& aValue);
  const std::string& JournalDir() const { return fJournalDir; }
  const std::string& ActualCountersFullFileName() const { return fActualCountersFullFileName; }
  const std::string& PreviousCountersFullFileName() const { return fPreviousCountersFullFileName; }

  kRTSCounters& ActualCounters() const { return *fActualCounters; }
  kRTSCounters& PreviousCounters() const { return *fPreviousCounters; }

  // The server client and views of its request objects (owned by the client).
  kEPSRTServer& Server() const { return *fServer; }
  kEPSRTServer_Receipt& Receipt() const { return fServer->Receipt(); }
  kEPSRTServer_Info& ServerInfo() const { return fServer->ServerInfo(); }
  kEPSRTServer_TillMap& TillMap() const { return fServer->ServerTillMap(); }
  kEPSRTServer_ZrepNumber& ServerZRep() const { return fServer->ZrepNumber(); }
  kEPSRTServer_DateTime& ServerDateTime() const { return fServer->DateTime(); }
  kEPSRTServer_VATMap& VATMap() const { return fServer->VATMap(); }
  kEPSRTServer_TillZReport& TillZReport() const { return fServer->TillZReport(); }
  kEPSRTServer_ServerZReport& ServerZReport() const { return fServer->ServerZReport(); }

  // The data root used when none is given: QX_SRT_DB when set and not empty,
  // else the system's place for it (SystemDataRoot).
  static std::string DefaultDataRootDir();
  // One step of the day opening's wait for the queue to drain:
  // QX_QUEUE_WAIT_MS when it holds a non-negative integer, else 5000.
  static int64_t QueueWaitMillis();

 private:
  void SetupDataDirectories(const std::string& aDataRootDir, const std::string& aTillId);
  void AddError(const std::string& aMessage) { fErrors.push_back(aMessage); }
  void SetServer(std::unique_ptr<kEPSRTServer> aServer);
  // Takes the owner lock of the till's store unless this manager holds it
  // already (then none is returned). Raises "Till ... is in use by process
  // ..." when a live process, or another copy of the library, holds it.
  std::unique_ptr<OwnerLock> TakeStore(const std::string& aDataRootDir, const std::string& aTillId);
  // Removes the temporary and withdrawn files a process cut short left in the store.
  void RemoveLeftovers() const;
  // True when the queue directory and the server end point are those an
  // Init with these arguments would set.
  bool Targets(const std::string& aDataRootDir, const std::string& aAddress, int32_t aPort,
               const std::string& aUser, const std::string& aPassword,
               const std::string& aTillId) const;

  bool SaveHeadersCache();
  bool LoadHeadersCache();
  bool SaveVatMapCache();
  bool LoadVatMapCache();

  // Day opening, resume path: rolls the counters forward over receipts that
  // reached the queue before a crash kept their counters from being saved.
  void RollForwardQueuedReceipts();
  // Day opening, new-day path (steps after the resume test). False, with
  // the reason in the error list, when the server refused the closure of
  // the previous day.
  bool StartNewDay(const std::string& aTillId);
  // The daily closure of Z report |aZRepNumber| of this till filed under the
  // errors directory (refused by the server); empty when there is none.
  std::string RefusedClosure(int32_t aZRepNumber) const;
  void WaitForQueueToDrain();

  // The daily closure's queue file for a Z report of this till.
  std::string ClosurePath(int32_t aZRepNumber) const;
  // A closing whose closure was queued but which did not complete: the
  // counters carry a closing time, or a closure of their Z report written
  // during their day lies in the queue, processed or errors directories.
  bool ClosingInterrupted() const;
  // The part of a closing after its closure is queued: stamps and saves the
  // actual counters (unless stamped), copies them to the journal, moves them
  // over the previous counters, clears them and loads the previous ones.
  // Returns the closed day's counters. Raises when the counters cannot be
  // saved or moved.
  kRTSCounters CompleteClosing();

  // Looks for the actual counters' next receipt (same Z report, number
  // CurrentnRec + 1, back link LastFingerPrint) in the queue directory and in
  // every dated subdirectory of the processed and errors directories.
  struct QueuedReceipt;
  bool FindNextQueuedReceipt(QueuedReceipt& aReceipt) const;
  // Reads a queued receipt file that continues the counters' chain.
  bool ReadQueuedReceipt(const std::string& aPath, QueuedReceipt& aReceipt) const;

  std::unique_ptr<OwnerLock> fOwnerLock;      // the store of the till opened last
  std::string fCachesOwner;                   // the till and server the caches are of
  std::unique_ptr<kRTSPusherThread> fPusher;  // empty while no pusher exists
  std::unique_ptr<kEPSRTServer> fServer;
  std::unique_ptr<kRTSCounters> fActualCounters;
  std::unique_ptr<kRTSCounters> fPreviousCounters;
  std::string fTillId;
  bool fDayOpened = false;
  // A VAT map fetched for a receipt is cached on disk only once a receipt
  // using it has converted: a refused receipt writes nothing.
  bool fVatMapToCache = false;
  std::string fDataRootDir;
  std::string fDataTillDir;
  std::string fDataQueueDir;
  std::string fDataProcessedDir;
  std::string fDataErrorsDir;
  std::string fJournalDir;
  std::string fActualCountersFullFileName;
  std::string fPreviousCountersFullFileName;
  std::vector<std::string> fErrors;
  IssuedReceipt fLastIssued;
  std::function<void(const std::string&)> fReceiptQueuedHook;
};

// Receipt number in the daily closure's queue file name: it sorts after every
// receipt of the day, and no receipt may be given it.
constexpr int32_t kRTSClosureNumber = 9999;

// Name of a queued document: till id, "-", Z-report number and receipt
// number in the pattern "0000", ".srtd" (T01-0012-0005.srtd). Raises "Invalid
// characters in path" when the till id is not a single path component.
std::string RTSQueueFileName(const std::string& aTillId, int32_t aZRepNumber, int32_t aNRecNumber);

// The delivery thread takes a queued document on by renaming it, in the queue,
// to its claimed name: ".sending" before the extension (T01-0012-0005.srtd
// becomes T01-0012-0005.sending.srtd). From then on the document is the
// thread's to deliver, and the signing path can no longer take it back. A
// claimed file still ends in ".srtd", so it is counted and listed as queued,
// and after a crash it is delivered like any other. It is filed under its
// queued name.
std::string ClaimedQueueFileName(const std::string& aQueueFileName);
bool IsClaimedQueueFileName(std::string_view aFileName);
// The queued name of a claimed file; any other name as it is.
std::string UnclaimedQueueFileName(const std::string& aFileName);

// What a queued document's name, claimed or not, says of it; none for a name
// of another shape.
struct QueuedDocumentKey {
  std::string_view tillId;
  int32_t zRepNumber = 0;
  int32_t number = 0;  // kRTSClosureNumber for the daily closure
};
std::optional<QueuedDocumentKey> ParseQueueFileName(std::string_view aFileName);

// Writes a document into the queue as |aPath| (one line), durably and never
// over another: raises "File already exists" when a document of that name is
// queued, claimed by the delivery thread or not, and then changes nothing.
void QueueDocument(const std::string& aPath, const std::string& aLine);

// Raises "Invalid characters in path" when |aName| holds a character a path
// may not contain or is not a single path component ("/", "\", "." or "..").
// The empty name passes.
void CheckPathComponent(const std::string& aName);
// CheckPathComponent; raises "Till id "<id>" cannot name a folder on this
// system: ..." for a name the file system would take for another (see
// FolderNameProblem), and "Till id <id> is reserved: ..." for the name of the
// data root's log folder where the logs live there (any case).
void CheckTillId(const std::string& aTillId);

}  // namespace qx
