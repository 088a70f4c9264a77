// Day closing: queues the till's daily closure behind the day's receipts,
// stamps the day's counters, keeps a journal copy of them, turns them into
// the previous-day counters the next opening starts from, and compares the
// till's own totals with those the RT server reports for the till.
#include <mutex>
#include <string>
#include <vector>

#include "manager/uRTServerManager.h"
#include "platform/currency.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/files.h"
#include "rtserver/uRTSEPS20_ZReport.h"

namespace qx {
namespace {

// Receipt number in the closure document's name: it sorts after every receipt.
constexpr int32_t kClosureNumber = 9999;

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

// A byte-for-byte copy of the counters file, unless one of that name exists;
// the journal is an archive, a copy that cannot be made does not stop the close.
void CopyToJournal(const std::string& aCountersFile, const std::string& aJournalFile) {
  if (FileExists(aJournalFile)) return;
  try {
    WriteFileAtomic(aJournalFile, ReadFileBytes(aCountersFile));
  } catch (const Error&) {
  }
}

}  // namespace

bool kRTSManager::DayClose() {
  // Closing a day that is not open would queue a closure numbered from empty
  // counters and overwrite the last closed day's counters with them.
  if (!fDayOpened) {
    AddError("Day not opened");
    return false;
  }
  kRTSCounters& actual = *fActualCounters;
  const ServerTotals server = ReadServerTotals(*fServer, fTillId);

  // The closure goes into the queue after every receipt of the day.
  const std::string closure =
      JoinPath(fDataQueueDir, RTSQueueFileName(fTillId, actual.CurrentzRep(), kClosureNumber));
  WriteTextLinesAtomic(closure, {kEPSRTServer_TillZReport::GetMessage(fTillId)});

  actual.SetLastZRepDate(Now());
  actual.Save();

  CopyToJournal(fActualCountersFullFileName,
                JoinPath(fJournalDir, FormatDateTime("yyyymmddhhnnss", Now()) + ".srtj"));

  // One rename replaces the previous day's file, so there is never a moment
  // without previous counters. A failed move leaves the actual file, and the
  // next opening resumes the day from it.
  MoveFileReplace(fActualCountersFullFileName, fPreviousCountersFullFileName);

  for (const std::string& message : ComparisonMessages(actual, server)) AddError(message);

  actual.Clear();
  fPreviousCounters->Clear();
  fPreviousCounters->Load(fPreviousCountersFullFileName);
  fDayOpened = false;
  return true;
}

}  // namespace qx
