// qxtill status. Everything is read, nothing is written below the till or the
// log directory. The store is read and judged by the same reader and checks
// as the chain verifier (store/), so the two never disagree about damage; the
// status adds what only time and the pusher's log tell: how long documents
// wait and why, since when the day is open, what the last closing found. A
// live till may sign, file or close while it is read: a till that does not
// verify is read and checked once more before it is called broken.
#include "tools/qxtill/status.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "manager/uRTServerManager.h"
#include "manager/uRTServerManager_Counters.h"
#include "platform/currency.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/strings.h"
#include "store/uRTSStore.h"
#include "store/uRTSStoreCheck.h"
#include "store/uRTSStoreNames.h"
#include "tools/qxtill/verify.h"

namespace qx::qxtill {
namespace {

namespace fs = std::filesystem;

constexpr size_t kRejectedShown = 3;
constexpr int kSchemaVersion = 2;
constexpr char kLogStampPattern[] = "yyyy-mm-dd hh:nn:ss:zzz";
constexpr char kUsage[] =
    "usage: qxtill status [--json | --prometheus] [--max-age MINUTES] [--critical-age MINUTES]\n"
    "                     [--max-open HOURS] [--log-dir DIR] [DATAROOT|TILLDIR...]\n";

struct Options {
  bool json = false;
  bool prometheus = false;
  int64_t maxAgeMinutes = 30;        // a queue older than this is a warning
  int64_t criticalAgeMinutes = 120;  // and older than this critical
  int64_t maxOpenHours = 26;         // a day open longer is a warning
  std::string logDir;                // empty: found from the data root
  std::vector<std::string> paths;
};

// ---- times ----------------------------------------------------------------

int64_t NowUnixMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The counters hold their dates as UTC after reading.
int64_t UnixMillisFromUtc(TDateTime aUtc) {
  constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 counted from 1899-12-30
  return std::llround((aUtc - kUnixEpochDays) * 86400000.0);
}

std::string LocalStamp(int64_t aUnixMillis, bool aIso) {
  const TDateTime local = LocalFromUnixMillis(aUnixMillis);
  if (!aIso) return FormatDateTime("yyyy-mm-dd hh:nn:ss", local);
  const int offset = LocalOffsetMinutes(local);
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                std::abs(offset) % 60);
  return FormatDateTime("yyyy-mm-ddThh:nn:ss", local) + zone;
}

// The store's paths and names are UTF-8 texts on every system; the file
// system library's own narrow form is the ANSI code page on Windows.
fs::path PathOf(const std::string& aUtf8) {
  return fs::path(std::u8string(aUtf8.begin(), aUtf8.end()));
}
std::string TextOf(const fs::path& aPath) {
  const std::u8string text = aPath.u8string();
  return std::string(text.begin(), text.end());
}

std::string Child(const std::string& aDir, const std::string& aName) {
  if (aDir.empty()) return aName;
  return aDir.back() == '/' ? aDir + aName : aDir + "/" + aName;
}

// Names of the regular files directly in |aDir|, sorted; none when it does
// not exist.
std::vector<std::string> FileNames(const std::string& aDir) {
  std::vector<std::string> names;
  std::error_code error;
  if (!fs::is_directory(PathOf(aDir), error)) return names;
  for (const fs::directory_entry& entry : fs::directory_iterator(PathOf(aDir))) {
    if (entry.is_regular_file()) names.push_back(TextOf(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsDocumentName(const std::string& aName) {
  return aName.find(kRTSDocumentSuffix) != std::string::npos;
}

// ---- the pusher's log -----------------------------------------------------

struct LoggedRejection {
  std::string stamp;
  std::string reason;
};

// The latest reason the pusher logged for each document name it could not
// deliver: the error line that follows the line naming the document.
using RejectionIndex = std::map<std::string, LoggedRejection>;

// How the latest sendings of one till ended, as the log tells it.
struct TillDelivery {
  std::string lastErrorStamp;
  std::string lastError;
  // The first of the latest run of sendings the server refused for the
  // till's credentials (HTTP 401 or 403); empty when the run ended.
  std::string credentialsRefusedSince;
  bool sendingUnanswered = false;  // a sending line with no error after it yet
};

bool HasLogStamp(const std::string& aLine) {
  // "yyyy-mm-dd hh:mm:ss:zzz - "
  return aLine.size() >= 26 && aLine[4] == '-' && aLine[7] == '-' && aLine[10] == ' ' &&
         aLine[13] == ':' && aLine.compare(23, 3, " - ") == 0;
}

bool RefusesCredentials(const std::string& aError) {
  return StartsWith(aError, "Http error: 401") || StartsWith(aError, "Http error: 403");
}

void RecordRejection(RejectionIndex& aIndex, const std::string& aName, const std::string& aStamp,
                     const std::string& aReason) {
  LoggedRejection& entry = aIndex[aName];
  if (aStamp >= entry.stamp) entry = {aStamp, aReason};
}

// The document's name in a path the pusher logged; a log written on Windows
// separates with a backslash.
std::string LoggedName(const std::string& aPath) {
  const size_t separator = aPath.find_last_of("/\\");
  return separator == std::string::npos ? aPath : aPath.substr(separator + 1);
}

// Reads one log file, oldest first, into |aIndex| and |aTills|.
void ReadPusherLog(const std::string& aFile, RejectionIndex& aIndex,
                   std::map<std::string, TillDelivery>& aTills) {
  constexpr std::string_view kError = "ERROR - ";
  constexpr std::string_view kClosure = "TILLZREPORT:";
  constexpr std::string_view kUnknownKind = "Unknown document kind, not sent: ";
  std::string sending;  // the document of the latest sending line
  for (const std::string& line : ReadTextLines(aFile)) {
    if (!HasLogStamp(line)) continue;  // a server reply spanning lines
    const std::string stamp = line.substr(0, 23);
    std::string message = line.substr(26);
    if (!StartsWith(message, kError)) {
      if (StartsWith(message, kClosure)) message.erase(0, kClosure.size());
      sending = IsDocumentName(message) ? LoggedName(message) : std::string();
      if (!sending.empty()) {
        // A sending that no error followed was delivered.
        TillDelivery& till = aTills[DocumentTill(sending)];
        if (till.sendingUnanswered) till.credentialsRefusedSince.clear();
        till.sendingUnanswered = true;
      }
      continue;
    }
    message.erase(0, kError.size());
    // The server's reply follows the reason, on the same line with its line
    // breaks escaped, or on lines of its own in an older log.
    const size_t reply = message.find("\\r\\n");
    if (reply != std::string::npos) message.erase(reply);
    if (StartsWith(message, kUnknownKind)) {
      RecordRejection(aIndex, LoggedName(message.substr(kUnknownKind.size())), stamp,
                      "not a receipt or daily closure document");
    } else if (!sending.empty() && !StartsWith(message, "Duplicate File Name found: ") &&
               !StartsWith(message, "Cannot sync directory ")) {
      RecordRejection(aIndex, sending, stamp, message);
      TillDelivery& till = aTills[DocumentTill(sending)];
      till.sendingUnanswered = false;
      till.lastErrorStamp = stamp;
      till.lastError = message;
      if (!RefusesCredentials(message))
        till.credentialsRefusedSince.clear();
      else if (till.credentialsRefusedSince.empty())
        till.credentialsRefusedSince = stamp;
      sending.clear();
    }
  }
}

// The pusher's log files of one folder, each read at most once and only when
// asked: a till's log folder may hold years of files.
class PusherLog {
 public:
  explicit PusherLog(std::string aDir) : fDir(std::move(aDir)) {}

  // What the log says about |aName|, rejected on |aDate| ("yyyymmdd"): only
  // files written to on or after that day can say it.
  const LoggedRejection* Find(const std::string& aName, const std::string& aDate) {
    ReadFilesWrittenFrom(aDate);
    auto found = fIndex.find(aName);
    return found == fIndex.end() ? nullptr : &found->second;
  }

  // How the till's latest sendings ended, from the files of the last week.
  const TillDelivery* Delivery(const std::string& aTill, int64_t aNow) {
    ReadFilesWrittenFrom(
        FormatDateTime("yyyymmdd", LocalFromUnixMillis(aNow - 7 * 24 * 3600 * 1000LL)));
    auto found = fTills.find(aTill);
    return found == fTills.end() ? nullptr : &found->second;
  }

  const std::string& Dir() const { return fDir; }

 private:
  void ReadFilesWrittenFrom(const std::string& aDate) {
    try {
      // Names carry the day, so reading in name order reads oldest first.
      for (const std::string& name : FileNames(fDir)) {
        if (!StartsWith(name, "RTSPusher") || !EndsWithIgnoreCase(name, ".log")) continue;
        if (fRead.count(name) != 0) continue;
        const std::string path = Child(fDir, name);
        if (FormatDateTime("yyyymmdd", LocalFromUnixMillis(FileModifiedUnixMillis(path))) < aDate)
          continue;
        fRead.insert(name);
        ReadPusherLog(path, fIndex, fTills);
      }
    } catch (const std::exception&) {
      // Without the log the reasons are left out; the store still speaks.
    }
  }

  std::string fDir;
  std::set<std::string> fRead;
  RejectionIndex fIndex;
  std::map<std::string, TillDelivery> fTills;
};

// The pusher's log folder of a till: the one given, else QX_LOG_DIR's, else
// the one below the till's data root; never the working folder's.
std::string PusherLogDir(const Options& aOptions, const std::string& aTillDir) {
  if (!aOptions.logDir.empty()) return aOptions.logDir;
  const std::string configured = EnvironmentText("QX_LOG_DIR");
  if (!configured.empty()) return Child(configured, "RTPusher");
  const fs::path root = fs::absolute(PathOf(aTillDir)).lexically_normal();
  const fs::path parent =
      root.has_filename() ? root.parent_path() : root.parent_path().parent_path();
  return Child(Child(TextOf(parent), kRTSLogFolder), "RTPusher");
}

class PusherLogs {
 public:
  PusherLog& For(const std::string& aDir) {
    auto& log = fLogs[aDir];
    if (!log) log = std::make_unique<PusherLog>(aDir);
    return *log;
  }

 private:
  std::map<std::string, std::unique_ptr<PusherLog>> fLogs;
};

// ---- one till -------------------------------------------------------------

struct DayInfo {
  const char* state = "none";  // "open", "closed" or "none"
  std::string dataSource;
  int32_t zRep = 0;
  int32_t nRec = 0;
  Currency total, sales, refunds, voids;
  std::optional<int64_t> lastReceipt;
  std::optional<int64_t> openedAt;
  std::optional<int64_t> closedAt;
  int64_t openSeconds = 0;
};

struct QueueInfo {
  int documents = 0;
  std::string oldest;
  int64_t oldestAt = 0;
  int64_t oldestAgeSeconds = 0;
  int setAside = 0;
  std::string lastDelivered;
  std::optional<int64_t> lastDeliveredAt;
  std::string lastError;  // the pusher's, with its stamp
  std::string lastErrorStamp;
  std::string credentialsRefusedSince;
};

struct RejectedDocument {
  std::string date;  // of the errors subdirectory
  std::string name;
  int64_t writtenAt = 0;
  bool resolved = false;
  std::string reason;
};

struct RejectedInfo {
  int documents = 0;
  int unresolved = 0;
  int sinceClosing = 0;
  std::vector<RejectedDocument> newest;
};

struct ChainInfo {
  int32_t zRep = 0;
  int receipts = 0;
  int days = 0;
  std::vector<std::string> problems;
  std::vector<std::string> warnings;
};

struct Finding {
  Verdict verdict;
  State state;
  std::string text;
};

struct TillReport {
  std::string dir;
  std::string till;
  std::string logDir;
  Verdict verdict = Verdict::kOk;
  State state = State::kOk;
  std::vector<Finding> findings;
  DayInfo day;
  QueueInfo queue;
  RejectedInfo rejected;
  ChainInfo chain;
  kRTSClosingComparison comparison;  // of the last closed day, when it differed
};

void ReadDay(const kRTSTillStore& aStore, int64_t aNow, DayInfo& aDay) {
  const kRTSCounters* shown = nullptr;
  if (aStore.actual.state == tkRTSCountersState::csLoaded) {
    aDay.state = "open";
    shown = &aStore.actual.counters;
    aDay.openedAt = UnixMillisFromUtc(shown->FirstUpdated());
    aDay.openSeconds = std::max<int64_t>(0, (aNow - *aDay.openedAt) / 1000);
  } else if (aStore.previous.state == tkRTSCountersState::csLoaded) {
    aDay.state = "closed";
    shown = &aStore.previous.counters;
    if (shown->LastZRepDate() >= 1.0) aDay.closedAt = UnixMillisFromUtc(shown->LastZRepDate());
  }
  if (shown == nullptr) return;
  aDay.dataSource = kRTSCounters::CountersDataSourceToString(shown->DataSource());
  aDay.zRep = shown->CurrentzRep();
  aDay.nRec = shown->CurrentnRec();
  aDay.total = shown->DailyTotal();
  aDay.sales = shown->DailySales();
  aDay.refunds = shown->DailyRefunds();
  aDay.voids = shown->DailyVoids();
  for (const kRTSStoredDocument& document : aStore.documents) {
    if (document.numbered && document.zRep == aDay.zRep && document.nRec == aDay.nRec &&
        document.modifiedMillis != 0)
      aDay.lastReceipt = document.modifiedMillis;
  }
}

void ReadQueue(const kRTSTillStore& aStore, int64_t aNow, QueueInfo& aQueue) {
  for (const kRTSStoredDocument& document : aStore.documents) {
    if (document.place == tkRTSDocumentPlace::dpQueue && document.modifiedMillis != 0) {
      ++aQueue.documents;
      if (aQueue.oldest.empty() || document.modifiedMillis < aQueue.oldestAt) {
        aQueue.oldest = UnclaimedQueueFileName(document.name);
        aQueue.oldestAt = document.modifiedMillis;
      }
    } else if (document.place == tkRTSDocumentPlace::dpProcessed &&
               (!aQueue.lastDeliveredAt || document.modifiedMillis >= *aQueue.lastDeliveredAt)) {
      // A document keeps its own time when it is filed: the latest written
      // stands for the latest delivered.
      aQueue.lastDelivered = document.name;
      aQueue.lastDeliveredAt = document.modifiedMillis;
    }
  }
  aQueue.setAside = static_cast<int>(aStore.setAside.size());
  if (aQueue.documents > 0)
    aQueue.oldestAgeSeconds = std::max<int64_t>(0, (aNow - aQueue.oldestAt) / 1000);
}

void ReadRejected(const kRTSTillStore& aStore, PusherLog& aLog, RejectedInfo& aRejected) {
  // The last closing's day and stamp as the pusher's log writes them.
  std::string closingDate, closingStamp;
  if (aStore.previous.state == tkRTSCountersState::csLoaded &&
      aStore.previous.counters.LastZRepDate() >= 1.0) {
    const TDateTime closed =
        LocalFromUnixMillis(UnixMillisFromUtc(aStore.previous.counters.LastZRepDate()));
    closingDate = FormatDateTime("yyyymmdd", closed);
    closingStamp = FormatDateTime(kLogStampPattern, closed);
  }
  std::vector<RejectedDocument> all;
  for (const kRTSStoredDocument& document : aStore.documents) {
    if (document.place != tkRTSDocumentPlace::dpErrors) continue;
    all.push_back({document.date, document.name, document.modifiedMillis, document.resolved, ""});
  }
  aRejected.documents = static_cast<int>(all.size());
  for (const RejectedDocument& document : all) {
    if (!document.resolved) ++aRejected.unresolved;
    // The dated directory is the day of the rejection. On the closing's own
    // day the log tells whether it came after the closing; without the log
    // it counts.
    bool since = document.date > closingDate;
    if (document.date == closingDate) {
      const LoggedRejection* logged = aLog.Find(document.name, document.date);
      since = logged == nullptr || logged->stamp > closingStamp;
    }
    if (since) ++aRejected.sinceClosing;
  }
  // The unresolved first, newest first.
  std::sort(all.begin(), all.end(), [](const RejectedDocument& a, const RejectedDocument& b) {
    if (a.resolved != b.resolved) return !a.resolved;
    return a.date != b.date ? a.date > b.date : a.writtenAt > b.writtenAt;
  });
  if (all.size() > kRejectedShown) all.resize(kRejectedShown);
  for (RejectedDocument& document : all) {
    if (const LoggedRejection* logged = aLog.Find(document.name, document.date))
      document.reason = logged->reason;
  }
  aRejected.newest = std::move(all);
}

std::string Minutes(int64_t aSeconds) {
  const int64_t minutes = aSeconds / 60;
  return minutes < 120 ? std::to_string(minutes) + " min" : std::to_string(minutes / 60) + " h";
}

void Add(TillReport& aReport, Verdict aVerdict, State aState, std::string aText) {
  aReport.findings.push_back({aVerdict, aState, std::move(aText)});
}

int StateRank(State aState) {
  switch (aState) {
    case State::kOk:
      return 0;
    case State::kWarning:
      return 1;
    case State::kUnknown:
      return 2;
    case State::kCritical:
      return 3;
  }
  return 2;
}

void Judge(TillReport& aReport, const Options& aOptions) {
  const ChainInfo& chain = aReport.chain;
  if (!chain.problems.empty()) {
    std::string text = "store does not verify: " + chain.problems.front();
    if (chain.problems.size() > 1)
      text += " (and " + std::to_string(chain.problems.size() - 1) + " more)";
    Add(aReport, Verdict::kBroken, State::kCritical, text);
  }
  if (aReport.rejected.unresolved > 0)
    Add(aReport, Verdict::kRejected, State::kWarning,
        std::to_string(aReport.rejected.unresolved) +
            " documents refused by the server and not resolved");
  const QueueInfo& queue = aReport.queue;
  if (queue.setAside > 0)
    Add(aReport, Verdict::kSetAside, State::kWarning,
        std::to_string(queue.setAside) + " duplicate documents set aside in the queue");
  const int64_t warnAfter = aOptions.maxAgeMinutes * 60;
  const int64_t criticalAfter = aOptions.criticalAgeMinutes * 60;
  const bool credentials = queue.documents > 0 && !queue.credentialsRefusedSince.empty();
  if (credentials || (queue.documents > 0 && queue.oldestAgeSeconds > warnAfter)) {
    std::string text = std::to_string(queue.documents) + " documents queued, oldest " +
                       Minutes(queue.oldestAgeSeconds);
    if (credentials)
      text += ": the server refuses the till's credentials since " +
              queue.credentialsRefusedSince.substr(0, 19);
    else if (!queue.lastError.empty())
      text += ": last error " + queue.lastError;
    text += " (limits " + std::to_string(aOptions.maxAgeMinutes) + "/" +
            std::to_string(aOptions.criticalAgeMinutes) + " min)";
    Add(aReport, credentials ? Verdict::kCredentials : Verdict::kDelayed,
        queue.oldestAgeSeconds > criticalAfter ? State::kCritical : State::kWarning, text);
  }
  const DayInfo& day = aReport.day;
  if (day.openedAt && day.openSeconds > aOptions.maxOpenHours * 3600)
    Add(aReport, Verdict::kDayOpen, State::kWarning,
        "day (Z report " + std::to_string(day.zRep) + ") open since " +
            LocalStamp(*day.openedAt, false) + ", longer than " +
            std::to_string(aOptions.maxOpenHours) + " h");
  // Compared while documents were still on their way, the server's totals
  // lacked them: shown, but no finding.
  if (!aReport.comparison.differences.empty() && aReport.comparison.queued == 0) {
    std::string text = "closing of Z report " + std::to_string(aReport.comparison.zRep) +
                       " differs from the server:";
    for (size_t i = 0; i < aReport.comparison.differences.size(); ++i)
      text += (i ? "; " : " ") + aReport.comparison.differences[i];
    Add(aReport, Verdict::kTotalsDiffer, State::kWarning, text);
  }
  for (const Finding& finding : aReport.findings) {
    if (StateRank(finding.state) > StateRank(aReport.state) ||
        (finding.state == aReport.state && finding.verdict > aReport.verdict)) {
      aReport.state = finding.state;
      aReport.verdict = finding.verdict;
    }
  }
}

TillReport ReadTill(const std::string& aDir, PusherLog& aLog, int64_t aNow) {
  TillReport report;
  report.dir = aDir;
  report.logDir = aLog.Dir();
  const kRTSTillStore store = ReadTillStore(aDir);
  std::ostringstream ignored;
  const kRTSStoreCheck check = CheckTillStore(store, ignored);
  ReadDay(store, aNow, report.day);
  ReadQueue(store, aNow, report.queue);
  ReadRejected(store, aLog, report.rejected);
  report.chain.zRep = report.day.zRep;
  report.chain.receipts = check.receipts;
  report.chain.days = check.days;
  report.chain.problems = check.Texts(tkRTSFindingLevel::flProblem);
  report.chain.warnings = check.Texts(tkRTSFindingLevel::flWarning);
  // The comparison speaks of the last closed day until the next closing.
  if (store.comparison.present && store.previous.state == tkRTSCountersState::csLoaded &&
      store.comparison.zRep == store.previous.counters.CurrentzRep())
    report.comparison = store.comparison;
  return report;
}

std::string TillName(const std::string& aDir) {
  std::string till = TextOf(PathOf(aDir).lexically_normal().filename());
  if (till.empty()) till = TextOf(PathOf(aDir).lexically_normal().parent_path().filename());
  return till;
}

TillReport InspectTill(const std::string& aDir, const Options& aOptions, PusherLogs& aLogs,
                       int64_t aNow) {
  TillReport report;
  PusherLog& log = aLogs.For(PusherLogDir(aOptions, aDir));
  const std::string till = TillName(aDir);
  try {
    report = ReadTill(aDir, log, aNow);
    // A live till may have moved a document or saved its counters while it
    // was read: look a second time before calling it broken.
    if (!report.chain.problems.empty()) report = ReadTill(aDir, log, aNow);
    if (report.queue.documents > 0) {
      if (const TillDelivery* delivery = log.Delivery(till, aNow)) {
        report.queue.lastError = delivery->lastError;
        report.queue.lastErrorStamp = delivery->lastErrorStamp;
        report.queue.credentialsRefusedSince = delivery->credentialsRefusedSince;
      }
    }
    Judge(report, aOptions);
  } catch (const std::exception& e) {
    report = TillReport();
    report.dir = aDir;
    report.verdict = Verdict::kUnknown;
    report.state = State::kUnknown;
    Add(report, Verdict::kUnknown, State::kUnknown,
        std::string("cannot read the store: ") + e.what());
  }
  report.till = till;
  return report;
}

TillReport UnknownTill(const std::string& aDir, const std::string& aReason) {
  TillReport report;
  report.dir = aDir;
  report.till = aDir;
  report.verdict = Verdict::kUnknown;
  report.state = State::kUnknown;
  Add(report, Verdict::kUnknown, State::kUnknown, aReason);
  return report;
}

// Every till a path names: itself when it is a till directory, else each
// till directory right below it (a data root).
std::vector<TillReport> InspectPath(const std::string& aPath, const Options& aOptions,
                                    PusherLogs& aLogs, int64_t aNow) {
  if (!DirectoryExists(aPath)) return {UnknownTill(aPath, "no such directory")};
  if (IsTillStore(aPath)) return {InspectTill(aPath, aOptions, aLogs, aNow)};
  std::vector<TillReport> reports;
  for (const std::string& dir : TillStoresBelow(aPath))
    reports.push_back(InspectTill(dir, aOptions, aLogs, aNow));
  if (reports.empty()) reports.push_back(UnknownTill(aPath, "no till store found here"));
  return reports;
}

// ---- output ---------------------------------------------------------------

std::string Ago(int64_t aNow, int64_t aThen) {
  return Minutes(std::max<int64_t>(0, aNow - aThen) / 1000) + " ago";
}

std::string Reasons(const TillReport& r) {
  std::string text;
  for (const Finding& f : r.findings) text += (text.empty() ? "" : "; ") + f.text;
  return text;
}

struct Totals {
  int queued = 0, rejected = 0, setAside = 0, problems = 0;
  int64_t oldestSeconds = 0, openSeconds = 0;
};

Totals Sum(const std::vector<TillReport>& aReports) {
  Totals t;
  for (const TillReport& r : aReports) {
    t.queued += r.queue.documents;
    t.rejected += r.rejected.unresolved;
    t.setAside += r.queue.setAside;
    t.problems += static_cast<int>(r.chain.problems.size());
    t.oldestSeconds = std::max(t.oldestSeconds, r.queue.oldestAgeSeconds);
    t.openSeconds = std::max(t.openSeconds, r.day.openSeconds);
  }
  return t;
}

// "QXTILL WARNING - T01: 12 documents queued, ... | queued=12 oldest_s=2820;1800;7200 ..."
void PrintFirstLine(const std::vector<TillReport>& aReports, State aWorst, const Options& aOptions,
                    std::ostream& out) {
  std::string summary;
  for (const TillReport& r : aReports) {
    if (r.state == State::kOk && aReports.size() > 1) continue;
    summary += (summary.empty() ? "" : "; ") + r.till + ": " +
               (r.findings.empty() ? std::string("healthy, ") + std::to_string(r.queue.documents) +
                                         " documents queued, store verified"
                                   : VerdictName(r.verdict) + std::string(" ") + Reasons(r));
  }
  if (summary.empty()) summary = std::to_string(aReports.size()) + " tills healthy";
  const Totals t = Sum(aReports);
  out << "QXTILL " << StateName(aWorst) << " - " << summary << " | queued=" << t.queued
      << " oldest_s=" << t.oldestSeconds << ";" << aOptions.maxAgeMinutes * 60 << ";"
      << aOptions.criticalAgeMinutes * 60 << " rejected=" << t.rejected
      << " set_aside=" << t.setAside << " problems=" << t.problems << " open_s=" << t.openSeconds
      << ";" << aOptions.maxOpenHours * 3600 << " tills=" << aReports.size() << "\n";
}

void PrintText(const TillReport& r, int64_t aNow, std::ostream& out) {
  out << "Till " << r.till << " (" << r.dir << ")\n";
  if (r.state != State::kUnknown) {
    const DayInfo& d = r.day;
    out << "  day:      ";
    if (std::string_view(d.state) == "none") {
      out << "no counters\n";
    } else {
      out << d.state;
      if (d.openedAt) out << " since " << LocalStamp(*d.openedAt, false);
      if (d.closedAt) out << " at " << LocalStamp(*d.closedAt, false);
      out << "; Z report " << d.zRep << ", data source " << d.dataSource
          << "\n            last receipt " << d.nRec;
      if (d.lastReceipt) out << " at " << LocalStamp(*d.lastReceipt, false);
      out << "\n            daily " << FormatTwoDecimals(d.total) << ", sales "
          << FormatTwoDecimals(d.sales) << ", refunds " << FormatTwoDecimals(d.refunds)
          << ", voids " << FormatTwoDecimals(d.voids) << "\n";
    }
    const QueueInfo& q = r.queue;
    out << "  queue:    " << q.documents << " documents";
    if (q.documents > 0)
      out << ", oldest " << q.oldest << " from " << LocalStamp(q.oldestAt, false) << " ("
          << Ago(aNow, q.oldestAt) << ")";
    out << "; last delivery "
        << (q.lastDeliveredAt ? LocalStamp(*q.lastDeliveredAt, false) + " (" + q.lastDelivered + ")"
                              : std::string("none"))
        << "\n";
    if (!q.lastError.empty())
      out << "            last error " << q.lastErrorStamp.substr(0, 19) << ": " << q.lastError
          << "\n";
    if (q.setAside > 0) out << "            " << q.setAside << " set aside as duplicates\n";
    out << "  rejected: " << r.rejected.documents << " documents, " << r.rejected.unresolved
        << " not resolved, " << r.rejected.sinceClosing << " since the last closing\n";
    for (const RejectedDocument& doc : r.rejected.newest)
      out << "            " << doc.date << "/" << doc.name << (doc.resolved ? " (resolved)" : "")
          << ": " << (doc.reason.empty() ? "(no reason in the pusher's log)" : doc.reason) << "\n";
    if (!r.comparison.differences.empty()) {
      out << "  closing:  Z report " << r.comparison.zRep << " differs from the server";
      if (r.comparison.queued > 0)
        out << " (compared while " << r.comparison.queued
            << " documents were not delivered yet: not a finding)";
      out << "\n";
      for (const std::string& line : r.comparison.differences)
        out << "            " << line << "\n";
    }
    out << "  store:    " << r.chain.days << " Z reports, " << r.chain.receipts << " receipts, "
        << (r.chain.problems.empty() ? "verified" : "DOES NOT VERIFY") << "\n";
    for (const std::string& problem : r.chain.problems) out << "            " << problem << "\n";
    for (const std::string& warning : r.chain.warnings) out << "            " << warning << "\n";
  }
  out << r.till << ": " << VerdictName(r.verdict);
  const std::string reasons = Reasons(r);
  if (!reasons.empty()) out << " - " << reasons;
  out << "\n";
}

std::string Json(std::string_view aText) {
  std::string out = "\"";
  for (const char c : aText) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string JsonTime(const std::optional<int64_t>& aUnixMillis) {
  return aUnixMillis ? Json(LocalStamp(*aUnixMillis, true)) : "null";
}

std::string JsonList(const std::vector<std::string>& aItems) {
  std::string out = "[";
  for (size_t i = 0; i < aItems.size(); ++i) out += (i ? ", " : "") + Json(aItems[i]);
  return out + "]";
}

std::string JsonText(const std::string& aText) { return aText.empty() ? "null" : Json(aText); }

void PrintJson(const TillReport& r, std::ostream& out) {
  const DayInfo& d = r.day;
  const QueueInfo& q = r.queue;
  std::vector<std::string> reasons;
  for (const Finding& f : r.findings) reasons.push_back(f.text);
  out << "{\"till\": " << Json(r.till) << ", \"dir\": " << Json(r.dir)
      << ", \"verdict\": " << Json(VerdictName(r.verdict))
      << ", \"state\": " << Json(StateName(r.state)) << ", \"exitCode\": " << StateExitCode(r.state)
      << ", \"reasons\": " << JsonList(reasons);
  if (r.state == State::kUnknown) {
    out << "}";
    return;
  }
  out << ", \"logDir\": " << Json(r.logDir) << ",\n   \"day\": {\"state\": " << Json(d.state)
      << ", \"dataSource\": " << Json(d.dataSource) << ", \"zReport\": " << d.zRep
      << ", \"lastReceipt\": " << d.nRec << ", \"lastReceiptTime\": " << JsonTime(d.lastReceipt)
      << ", \"openedAt\": " << JsonTime(d.openedAt) << ", \"openSeconds\": " << d.openSeconds
      << ", \"closedAt\": " << JsonTime(d.closedAt)
      << ", \"dailyTotal\": " << FormatTwoDecimals(d.total)
      << ", \"dailySales\": " << FormatTwoDecimals(d.sales)
      << ", \"dailyRefunds\": " << FormatTwoDecimals(d.refunds)
      << ", \"dailyVoids\": " << FormatTwoDecimals(d.voids)
      << "},\n   \"queue\": {\"documents\": " << q.documents
      << ", \"oldest\": " << (q.documents ? Json(q.oldest) : "null")
      << ", \"oldestTime\": " << JsonTime(q.documents ? std::optional(q.oldestAt) : std::nullopt)
      << ", \"oldestAgeSeconds\": " << q.oldestAgeSeconds << ", \"setAside\": " << q.setAside
      << ", \"lastDelivered\": " << (q.lastDeliveredAt ? Json(q.lastDelivered) : "null")
      << ", \"lastDeliveryTime\": " << JsonTime(q.lastDeliveredAt)
      << ", \"lastError\": " << JsonText(q.lastError)
      << ", \"lastErrorTime\": " << JsonText(q.lastErrorStamp.substr(0, 19))
      << ", \"credentialsRefusedSince\": " << JsonText(q.credentialsRefusedSince.substr(0, 19))
      << "},\n   \"rejected\": {\"documents\": " << r.rejected.documents
      << ", \"unresolved\": " << r.rejected.unresolved
      << ", \"sinceLastClosing\": " << r.rejected.sinceClosing << ", \"newest\": [";
  for (size_t i = 0; i < r.rejected.newest.size(); ++i) {
    const RejectedDocument& doc = r.rejected.newest[i];
    out << (i ? ", " : "") << "{\"document\": " << Json(doc.name)
        << ", \"date\": " << Json(doc.date)
        << ", \"resolved\": " << (doc.resolved ? "true" : "false")
        << ", \"reason\": " << JsonText(doc.reason) << "}";
  }
  out << "]},\n   \"closing\": {\"zReport\": " << r.comparison.zRep
      << ", \"queuedWhenCompared\": " << r.comparison.queued
      << ", \"differences\": " << JsonList(r.comparison.differences) << "}"
      << ",\n   \"chain\": {\"zReport\": " << r.chain.zRep << ", \"days\": " << r.chain.days
      << ", \"receipts\": " << r.chain.receipts
      << ", \"verified\": " << (r.chain.problems.empty() ? "true" : "false")
      << ", \"problems\": " << JsonList(r.chain.problems)
      << ", \"warnings\": " << JsonList(r.chain.warnings) << "}}";
}

// The same figures in the Prometheus text format, one series per till.
void PrintPrometheus(const std::vector<TillReport>& aReports, std::ostream& out) {
  struct Metric {
    const char* name;
    const char* help;
    int64_t (*value)(const TillReport&);
  };
  static const Metric kMetrics[] = {
      {"qxtill_state", "0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN",
       [](const TillReport& r) -> int64_t { return StateExitCode(r.state); }},
      {"qxtill_queue_documents", "documents waiting for delivery",
       [](const TillReport& r) -> int64_t { return r.queue.documents; }},
      {"qxtill_queue_oldest_seconds", "age of the oldest queued document",
       [](const TillReport& r) -> int64_t { return r.queue.oldestAgeSeconds; }},
      {"qxtill_credentials_refused", "1 while the server refuses the till's credentials",
       [](const TillReport& r) -> int64_t {
         return r.queue.credentialsRefusedSince.empty() ? 0 : 1;
       }},
      {"qxtill_set_aside_documents", "duplicate documents set aside in the queue",
       [](const TillReport& r) -> int64_t { return r.queue.setAside; }},
      {"qxtill_rejected_unresolved", "documents the server refused, not resolved",
       [](const TillReport& r) -> int64_t { return r.rejected.unresolved; }},
      {"qxtill_day_open_seconds", "how long the open day has been open, 0 when closed",
       [](const TillReport& r) -> int64_t { return r.day.openSeconds; }},
      {"qxtill_closing_differences",
       "totals of the last closing that differ from the server (with all delivered)",
       [](const TillReport& r) -> int64_t {
         return r.comparison.queued == 0 ? static_cast<int64_t>(r.comparison.differences.size())
                                         : 0;
       }},
      {"qxtill_store_problems", "findings that the store does not verify",
       [](const TillReport& r) -> int64_t {
         return static_cast<int64_t>(r.chain.problems.size());
       }},
  };
  for (const Metric& metric : kMetrics) {
    out << "# HELP " << metric.name << " " << metric.help << "\n# TYPE " << metric.name
        << " gauge\n";
    for (const TillReport& r : aReports) {
      std::string label;
      for (const char c : r.till) {
        if (c == '\\' || c == '"') label += '\\';
        label += c == '\n' ? 'n' : c;
      }
      out << metric.name << "{till=\"" << label << "\"} " << metric.value(r) << "\n";
    }
  }
}

// A whole number of at least zero, or false.
bool ParseCount(const std::string& aText, int64_t& aValue) {
  int32_t value = 0;
  if (aText.empty() || aText.find_first_not_of("0123456789") != std::string::npos ||
      !TryStrToInt(aText, value))
    return false;
  aValue = value;
  return true;
}

// False with a message on |aErr| for a usage error.
bool ParseOptions(const std::vector<std::string>& aArgs, Options& aOptions, std::ostream& aErr) {
  bool criticalGiven = false;
  for (size_t i = 0; i < aArgs.size(); ++i) {
    const std::string& arg = aArgs[i];
    if (arg == "--json") {
      aOptions.json = true;
    } else if (arg == "--prometheus") {
      aOptions.prometheus = true;
    } else if (arg == "--max-age" || arg == "--critical-age" || arg == "--max-open" ||
               arg == "--log-dir") {
      if (i + 1 == aArgs.size()) {
        aErr << "qxtill status: " << arg << " needs a value\n" << kUsage;
        return false;
      }
      const std::string& value = aArgs[++i];
      if (arg == "--log-dir") {
        aOptions.logDir = value;
        continue;
      }
      criticalGiven = criticalGiven || arg == "--critical-age";
      int64_t& target = arg == "--max-age"        ? aOptions.maxAgeMinutes
                        : arg == "--critical-age" ? aOptions.criticalAgeMinutes
                                                  : aOptions.maxOpenHours;
      if (!ParseCount(value, target)) {
        aErr << "qxtill status: " << arg << " takes a whole number, not '" << value << "'\n"
             << kUsage;
        return false;
      }
    } else if (StartsWith(arg, "--")) {
      aErr << "qxtill status: unknown option '" << arg << "'\n" << kUsage;
      return false;
    } else {
      aOptions.paths.push_back(arg);
    }
  }
  if (aOptions.json && aOptions.prometheus) {
    aErr << "qxtill status: --json and --prometheus exclude each other\n" << kUsage;
    return false;
  }
  if (!criticalGiven)
    aOptions.criticalAgeMinutes = std::max(aOptions.criticalAgeMinutes, aOptions.maxAgeMinutes);
  if (aOptions.criticalAgeMinutes < aOptions.maxAgeMinutes) {
    aErr << "qxtill status: --critical-age is below --max-age\n" << kUsage;
    return false;
  }
  if (aOptions.paths.empty()) aOptions.paths.push_back(kRTSManager::DefaultDataRootDir());
  return true;
}

}  // namespace

const char* VerdictName(Verdict aVerdict) {
  switch (aVerdict) {
    case Verdict::kOk:
      return "OK";
    case Verdict::kDayOpen:
      return "DAY_OPEN";
    case Verdict::kTotalsDiffer:
      return "TOTALS_DIFFER";
    case Verdict::kDelayed:
      return "DELAYED";
    case Verdict::kCredentials:
      return "CREDENTIALS";
    case Verdict::kSetAside:
      return "SET_ASIDE";
    case Verdict::kRejected:
      return "REJECTED";
    case Verdict::kBroken:
      return "BROKEN";
    case Verdict::kUnknown:
      return "UNKNOWN";
  }
  return "UNKNOWN";
}

const char* StateName(State aState) {
  switch (aState) {
    case State::kOk:
      return "OK";
    case State::kWarning:
      return "WARNING";
    case State::kCritical:
      return "CRITICAL";
    case State::kUnknown:
      return "UNKNOWN";
  }
  return "UNKNOWN";
}

int StateExitCode(State aState) {
  switch (aState) {
    case State::kOk:
      return 0;
    case State::kWarning:
      return 1;
    case State::kCritical:
      return 2;
    case State::kUnknown:
      return 3;
  }
  return 3;
}

int RunStatus(const std::vector<std::string>& aArgs, std::ostream& aOut, std::ostream& aErr) {
  Options options;
  if (!ParseOptions(aArgs, options, aErr)) {
    aOut << "QXTILL UNKNOWN - bad command line\n";
    return StateExitCode(State::kUnknown);
  }
  const int64_t now = NowUnixMillis();
  PusherLogs logs;
  std::vector<TillReport> reports;
  for (const std::string& path : options.paths) {
    for (TillReport& report : InspectPath(path, options, logs, now))
      reports.push_back(std::move(report));
  }
  State worst = State::kOk;
  Verdict worstVerdict = Verdict::kOk;
  for (const TillReport& report : reports) {
    if (StateRank(report.state) > StateRank(worst) ||
        (report.state == worst && report.verdict > worstVerdict)) {
      worst = report.state;
      worstVerdict = report.verdict;
    }
  }
  if (options.json) {
    aOut << "{\"schemaVersion\": " << kSchemaVersion << ", \"state\": " << Json(StateName(worst))
         << ", \"verdict\": " << Json(VerdictName(worstVerdict))
         << ", \"exitCode\": " << StateExitCode(worst)
         << ", \"maxAgeMinutes\": " << options.maxAgeMinutes
         << ", \"criticalAgeMinutes\": " << options.criticalAgeMinutes
         << ", \"maxOpenHours\": " << options.maxOpenHours << ", \"tills\": [\n  ";
    for (size_t i = 0; i < reports.size(); ++i) {
      if (i) aOut << ",\n  ";
      PrintJson(reports[i], aOut);
    }
    aOut << "]}\n";
  } else if (options.prometheus) {
    PrintPrometheus(reports, aOut);
  } else {
    PrintFirstLine(reports, worst, options, aOut);
    for (const TillReport& report : reports) PrintText(report, now, aOut);
  }
  return StateExitCode(worst);
}

int RunVerify(const std::vector<std::string>& aArgs, std::ostream& aOut, std::ostream& aErr) {
  if (aArgs.size() != 1) {
    aErr << "usage: qxtill verify TILLDIR\n";
    return StateExitCode(State::kUnknown);
  }
  return VerifyTill(aArgs[0], aOut).ExitCode();
}

int RunResolve(const std::vector<std::string>& aArgs, std::ostream& aOut, std::ostream& aErr) {
  if (aArgs.size() < 2) {
    aErr << "usage: qxtill resolve TILLDIR DOCUMENT [NOTE...]\n";
    return 2;
  }
  std::string note;
  for (size_t i = 2; i < aArgs.size(); ++i) note += (i > 2 ? " " : "") + aArgs[i];
  const int marked = MarkResolved(aArgs[0], aArgs[1], note);
  if (marked == 0) {
    aErr << "qxtill resolve: no refused document " << aArgs[1] << " in " << aArgs[0] << "/"
         << kRTSErrorsFolder << "\n";
    return 1;
  }
  aOut << aArgs[1] << ": marked resolved (" << marked << ")\n";
  return 0;
}

}  // namespace qx::qxtill
