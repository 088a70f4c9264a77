// Day closing: queues the till's daily closure behind the day's receipts,
// stamps the day's counters, keeps a journal copy of them, turns them into
// the previous-day counters the next opening starts from, and compares the
// till's own totals with those the RT server reports for the till. A closing
// is one transaction: once the closure is queued it is completed, by the
// closing itself or, after a failure or a crash, by the next opening.
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "manager/uRTServerManager.h"
#include "platform/currency.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/files.h"
#include "rtserver/uRTSEPS20_ZReport.h"
#include "store/uRTSStoreNames.h"

namespace qx {
namespace {

constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 as a date-time value
constexpr double kMillisPerDay = 86400000.0;
// How far a file's modification time may lag the clock: file systems stamp
// files from a coarse clock (a scheduler tick on Linux, about 16 ms on Windows).
constexpr int64_t kFileTimeLagMillis = 20;

// The server's figures for the till's day, read once before anything changes.
struct ServerTotals {
  Currency sales, refunds, voids, daily;
};

ServerTotals ReadServerTotals(kEPSRTServer& aServer, const std::string& aTillId) {
  kEPSRTServer_TillZReport& report = aServer.TillZReport();
  std::lock_guard<std::recursive_mutex> hold(aServer.Lock());
  // A failed request leaves the figures of the report read last; the
  // comparison then merely reports differences.
  report.GetCurrent(aTillId);
  return ServerTotals{report.SalesAmount(), report.RefundAmount(), report.VoidAmount(),
                      report.DailyAmount()};
}

// One message per total in which the till and the server differ, amounts in
// the user's locale form.
std::vector<std::string> ComparisonMessages(const kRTSCounters& aLocal,
                                            const ServerTotals& aServer) {
  std::vector<std::string> messages;
  auto compare = [&](const char* aName, Currency aOwn, Currency aTheirs, const char* aWhat) {
    if (aOwn != aTheirs) {
      messages.push_back(std::string(aName) + " " + FormatLocale(aOwn) + " different from " +
                         aWhat + " " + FormatLocale(aTheirs));
    }
  };
  compare("DailySales", aLocal.DailySales(), aServer.sales, "RT Server");
  compare("DailyRefunds", aLocal.DailyRefunds(), aServer.refunds, "RT Server");
  compare("DailyVoids", aLocal.DailyVoids(), aServer.voids, "RT Server");
  compare("DailyAmount", aLocal.DailyTotal(), aServer.daily, "RT Server Daily Amount");
  return messages;
}

// Whether the journal already keeps a copy with exactly these bytes: a closing
// completed by the next opening must not archive the same day a second time.
bool JournalHolds(const std::string& aJournalDir, const std::string& aBytes) {
  for (const std::string& file : ListFiles(aJournalDir, ".srtj")) {
    try {
      if (ReadFileBytes(file) == aBytes) return true;
    } catch (const Error&) {
    }
  }
  return false;
}

// A byte-for-byte copy of the counters file, unless the journal holds it or a
// file of that name exists. A copy that cannot be made raises: the closing is
// then not complete, and the next opening finishes it, copy included, so that
// no closed day is missing from the journal.
void CopyToJournal(const std::string& aCountersFile, const std::string& aJournalDir) {
  const std::string bytes = ReadFileBytes(aCountersFile);
  if (JournalHolds(aJournalDir, bytes)) return;
  const std::string name = JoinPath(aJournalDir, FormatDateTime("yyyymmddhhnnss", Now()) + ".srtj");
  if (FileExists(name)) return;
  WriteFileAtomic(name, bytes);
}

// A closing time read back from a file: the zero date comes back shifted by
// the zone's offset, so anything before 1900 counts as none.
bool HasClosingTime(const kRTSCounters& aCounters) { return aCounters.LastZRepDate() >= 1.0; }

}  // namespace

std::string kRTSManager::ClosurePath(int32_t aZRepNumber) const {
  return JoinPath(fDataQueueDir, RTSQueueFileName(fTillId, aZRepNumber, kRTSClosureNumber));
}

bool kRTSManager::DayClose() {
  // Closing a day that is not open would queue a closure numbered from empty
  // counters and overwrite the last closed day's counters with them.
  if (!fDayOpened) {
    AddError("Day not opened");
    return false;
  }
  // Documents still queued are not in the server's totals yet.
  const int32_t undelivered = DataQueueLength();
  const ServerTotals server = ReadServerTotals(*fServer, fTillId);

  // The closure goes into the queue after every receipt of the day. It never
  // replaces a document: when it cannot be queued, nothing has changed.
  QueueDocument(ClosurePath(fActualCounters->CurrentzRep()),
                kEPSRTServer_TillZReport::GetMessage(fTillId));
  // From here on the day is closed, whatever fails next: no receipt may be
  // numbered in a Z report whose closure is on its way to the server. A
  // closing that cannot be completed now is completed by the next opening.
  fDayOpened = false;
  const kRTSCounters closed = CompleteClosing();
  const std::vector<std::string> differences = ComparisonMessages(closed, server);
  for (const std::string& message : differences) AddError(message);
  // A later call reports its own error: the comparison also stays in the
  // store, where the status report finds it, until the next closing.
  std::vector<std::string> lines = {"zRep=" + std::to_string(closed.CurrentzRep()),
                                    "queued=" + std::to_string(undelivered)};
  lines.insert(lines.end(), differences.begin(), differences.end());
  try {
    WriteTextLinesAtomic(JoinPath(fDataTillDir, kRTSComparisonName), lines);
  } catch (const Error&) {
    // The closing is complete; the host still sees the differences.
  }
  return true;
}

kRTSCounters kRTSManager::CompleteClosing() {
  kRTSCounters& actual = *fActualCounters;
  if (!HasClosingTime(actual)) {
    actual.SetLastZRepDate(Now());
    actual.Save();
  }
  CopyToJournal(fActualCountersFullFileName, fJournalDir);

  // One rename replaces the previous day's file, so there is never a moment
  // without previous counters.
  if (!MoveFileReplace(fActualCountersFullFileName, fPreviousCountersFullFileName)) {
    throw Error("Cannot move file \"" + fActualCountersFullFileName +
                "\": " + std::strerror(errno));
  }

  const kRTSCounters closed = actual;
  actual.Clear();
  // The closed day as the file gives it back (its closing time then in UTC);
  // the record in memory stands in should the file not read.
  bool loaded = false;
  try {
    loaded = fPreviousCounters->Load(fPreviousCountersFullFileName);
  } catch (const Error&) {
  }
  if (!loaded) {
    *fPreviousCounters = closed;
    fPreviousCounters->SetCounterType(ctPrevious);
    fPreviousCounters->SetFullFileName(fPreviousCountersFullFileName);
  }
  return closed;
}

bool kRTSManager::ClosingInterrupted() const {
  const kRTSCounters& actual = *fActualCounters;
  if (HasClosingTime(actual)) return true;
  const std::string path = ClosurePath(actual.CurrentzRep());
  const std::string name = ExtractFileName(path);
  // A closure of the same number filed before this day began belongs to an
  // earlier day (one the server refused, say), not to this one. The counters
  // were just read back, so their times are UTC; a file's time may lag the
  // clock by a tick of the system's coarse clock.
  const int64_t dayStartMillis =
      static_cast<int64_t>((actual.FirstUpdated() - kUnixEpochDays) * kMillisPerDay) -
      kFileTimeLagMillis;
  auto closureOfThisDay = [&](const std::string& aPath) {
    try {
      return FileExists(aPath) && FileModifiedUnixMillis(aPath) >= dayStartMillis;
    } catch (const Error&) {
      if (FileExists(aPath)) throw;  // there, but its time cannot be read
      return false;                  // moved on meanwhile
    }
  };
  if (closureOfThisDay(path) || closureOfThisDay(ClaimedQueueFileName(path))) return true;
  for (const std::string* filed : {&fDataProcessedDir, &fDataErrorsDir}) {
    for (const std::string& dated : ReadSubdirectories(*filed)) {
      if (closureOfThisDay(JoinPath(dated, name))) return true;
    }
  }
  return false;
}

}  // namespace qx
