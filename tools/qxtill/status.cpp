// qxtill status. Everything is read, nothing is written below the till or the
// log directory. The chain check runs the verifier over a scratch directory
// that holds the one day it looks at (copies of the counters and of the day's
// documents, links to the journal copies and the VAT map), so a till with a
// year of receipts is judged as fast as one with a day. A live till may sign,
// file or close while it is read: the counters are copied before the
// documents are listed, and a chain that still does not verify is read and
// checked once more before the till is called broken.
#include "tools/qxtill/status.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "manager/uRTServerManager.h"
#include "manager/uRTServerManager_Counters.h"
#include "platform/currency.h"
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "tools/qxtill/verify.h"

namespace qx::qxtill {
namespace {

namespace fs = std::filesystem;

constexpr char kActualCounters[] = "QX_counters.actual.srtc";
constexpr char kPreviousCounters[] = "QX_counters.previous.srtc";
constexpr char kDocumentMark[] = ".srtd";
constexpr int32_t kClosureNumber = 9999;  // in place of the receipt number
constexpr size_t kRejectedShown = 3;
constexpr char kLogStampPattern[] = "yyyy-mm-dd hh:nn:ss:zzz";
constexpr char kUsage[] =
    "usage: qxtill status [--json] [--max-age MINUTES] [--log-dir DIR] DATAROOT|TILLDIR...\n";

struct Options {
  bool json = false;
  int64_t maxAgeMinutes = 30;
  std::string logDir = "LogFiles/RTPusher";
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

// ---- the store ------------------------------------------------------------

// |aName| below |aDir|. Names come from listings of the store and are not
// checked for characters a path of the store may not hold: one stray name
// must not hide the rest of the till.
std::string Child(const std::string& aDir, const std::string& aName) {
  if (aDir.empty()) return aName;
  return aDir.back() == '/' ? aDir + aName : aDir + "/" + aName;
}

bool IsDocumentName(const std::string& aName) {
  return aName.find(kDocumentMark) != std::string::npos;
}

// Z report and receipt number from "<till>-<z>-<n>.srtd..."; the till id may
// itself hold dashes, so the numbers are taken from the right.
std::optional<std::pair<int32_t, int32_t>> NumbersOf(const std::string& aName) {
  // A document the pusher is sending carries its claimed name meanwhile.
  const std::string queued = UnclaimedQueueFileName(aName);
  const size_t mark = queued.find(kDocumentMark);
  if (mark == std::string::npos) return std::nullopt;
  const std::string stem = queued.substr(0, mark);
  const size_t last = stem.rfind('-');
  if (last == std::string::npos || last == 0) return std::nullopt;
  const size_t before = stem.rfind('-', last - 1);
  if (before == std::string::npos) return std::nullopt;
  int32_t zRep = 0, nRec = 0;
  if (!TryStrToInt(stem.substr(before + 1, last - before - 1), zRep) ||
      !TryStrToInt(stem.substr(last + 1), nRec))
    return std::nullopt;
  return std::make_pair(zRep, nRec);
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

// Names of the regular files directly in |aDir|, sorted; none when it does
// not exist. A directory that cannot be read raises.
std::vector<std::string> FileNames(const std::string& aDir) {
  std::vector<std::string> names;
  if (!fs::is_directory(PathOf(aDir))) return names;
  for (const fs::directory_entry& entry : fs::directory_iterator(PathOf(aDir))) {
    if (entry.is_regular_file()) names.push_back(TextOf(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The dated subdirectories of the processed or errors directory, oldest first.
std::vector<std::string> DatedDirectories(const std::string& aDir) {
  std::vector<std::string> names;
  if (!fs::is_directory(PathOf(aDir))) return names;
  for (const fs::directory_entry& entry : fs::directory_iterator(PathOf(aDir))) {
    if (entry.is_directory()) names.push_back(TextOf(entry.path().filename()));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The modification time of a file a live till may move away meanwhile.
std::optional<int64_t> ModifiedIfPresent(const std::string& aPath) {
  try {
    return FileModifiedUnixMillis(aPath);
  } catch (const std::exception&) {
    if (FileExists(aPath)) throw;
    return std::nullopt;
  }
}

enum class CountersState { kMissing, kLoaded, kDamaged };

// A counters file that exists but cannot be read at all (permissions) raises:
// the till's state is then unknown rather than broken.
CountersState LoadCounters(const std::string& aPath, kRTSCounters& aCounters) {
  // A closing moves the actual file to the previous one: gone is missing.
  try {
    (void)ReadFileBytes(aPath);
  } catch (const std::exception&) {
    if (!FileExists(aPath)) return CountersState::kMissing;
    throw;
  }
  bool loaded = false;
  try {
    loaded = aCounters.Load(aPath);
  } catch (const std::exception&) {
  }
  if (loaded) return CountersState::kLoaded;
  return FileExists(aPath) ? CountersState::kDamaged : CountersState::kMissing;
}

bool IsTillDirectory(const std::string& aDir) {
  return DirectoryExists(Child(aDir, "Queue")) || FileExists(Child(aDir, kActualCounters)) ||
         FileExists(Child(aDir, kPreviousCounters));
}

// ---- the pusher's log -----------------------------------------------------

struct LoggedRejection {
  std::string stamp;
  std::string reason;
};

// The latest reason the pusher logged for each document name it could not
// deliver: the error line that follows the line naming the document.
using RejectionIndex = std::map<std::string, LoggedRejection>;

bool HasLogStamp(const std::string& aLine) {
  // "yyyy-mm-dd hh:mm:ss:zzz - "
  return aLine.size() >= 26 && aLine[4] == '-' && aLine[7] == '-' && aLine[10] == ' ' &&
         aLine[13] == ':' && aLine.compare(23, 3, " - ") == 0;
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

void ReadPusherLog(const std::string& aFile, RejectionIndex& aIndex) {
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
      sending.clear();
    }
  }
}

// The pusher's log files, each read at most once and only when a rejected
// document asks for it: a till rejects rarely, and its log dir may hold
// years of files.
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

 private:
  void ReadFilesWrittenFrom(const std::string& aDate) {
    try {
      for (const std::string& name : FileNames(fDir)) {
        if (!StartsWith(name, "RTSPusher") || !EndsWithIgnoreCase(name, ".log")) continue;
        if (fRead.count(name) != 0) continue;
        const std::string path = Child(fDir, name);
        if (FormatDateTime("yyyymmdd", LocalFromUnixMillis(FileModifiedUnixMillis(path))) < aDate)
          continue;
        fRead.insert(name);
        ReadPusherLog(path, fIndex);
      }
    } catch (const std::exception&) {
      // Without the log the reasons are left out; the store still speaks.
    }
  }

  std::string fDir;
  std::set<std::string> fRead;
  RejectionIndex fIndex;
};

// ---- one till -------------------------------------------------------------

struct DayInfo {
  const char* state = "none";  // "open", "closed" or "none"
  std::string dataSource;
  int32_t zRep = 0;
  int32_t nRec = 0;
  Currency total, sales, refunds, voids;
  std::optional<int64_t> lastReceipt;
  std::optional<int64_t> closedAt;
};

struct QueueInfo {
  int documents = 0;
  std::string oldest;
  int64_t oldestAt = 0;
  int64_t oldestAgeSeconds = 0;
  std::string lastDelivered;
  std::optional<int64_t> lastDeliveredAt;
};

struct RejectedDocument {
  std::string date;  // of the errors subdirectory
  std::string name;
  int64_t writtenAt = 0;
  std::string reason;
};

struct RejectedInfo {
  int documents = 0;
  int sinceClosing = 0;
  std::vector<RejectedDocument> newest;
};

struct ChainInfo {
  bool checked = false;
  int32_t zRep = 0;
  int receipts = 0;
  std::vector<std::string> problems;
};

struct TillReport {
  std::string dir;
  std::string till;
  Verdict verdict = Verdict::kOk;
  std::vector<std::string> reasons;
  DayInfo day;
  QueueInfo queue;
  RejectedInfo rejected;
  ChainInfo chain;
};

// A document of the day the chain check looks at, by where it lies below the
// till directory ("Queue", "Processed/20261210", ...).
struct DayDocument {
  std::string folder;
  std::string name;
};

// When the last closing was, in local time: its day "yyyymmdd" and its
// stamp as the pusher's log writes it. Empty when the till never closed.
struct Closing {
  std::string date;
  std::string stamp;
};

void ReadDay(const std::string& aDir, TillReport& aReport, Closing& aClosing) {
  kRTSCounters actual, previous;
  const CountersState actualState = LoadCounters(Child(aDir, kActualCounters), actual);
  const CountersState previousState = LoadCounters(Child(aDir, kPreviousCounters), previous);
  if (actualState == CountersState::kDamaged)
    aReport.chain.problems.push_back(std::string(kActualCounters) + ": does not read");
  if (previousState == CountersState::kDamaged)
    aReport.chain.problems.push_back(std::string(kPreviousCounters) + ": does not read");

  DayInfo& day = aReport.day;
  const kRTSCounters* shown = nullptr;
  if (actualState == CountersState::kLoaded) {
    day.state = "open";
    shown = &actual;
  } else if (previousState == CountersState::kLoaded) {
    day.state = "closed";
    shown = &previous;
  }
  if (shown != nullptr) {
    day.dataSource = kRTSCounters::CountersDataSourceToString(shown->DataSource());
    day.zRep = shown->CurrentzRep();
    day.nRec = shown->CurrentnRec();
    day.total = shown->DailyTotal();
    day.sales = shown->DailySales();
    day.refunds = shown->DailyRefunds();
    day.voids = shown->DailyVoids();
  }
  if (previousState == CountersState::kLoaded && previous.LastZRepDate() != 0) {
    const int64_t closed = UnixMillisFromUtc(previous.LastZRepDate());
    if (shown == &previous) day.closedAt = closed;
    aClosing.date = FormatDateTime("yyyymmdd", LocalFromUnixMillis(closed));
    aClosing.stamp = FormatDateTime(kLogStampPattern, LocalFromUnixMillis(closed));
  } else {
    // Without the previous counters the newest journal copy, named after
    // the local time of its closing, tells when the last closing was.
    std::vector<std::string> copies = FileNames(Child(aDir, "Journal"));
    std::erase_if(copies, [](const std::string& n) { return !EndsWithIgnoreCase(n, ".srtj"); });
    const std::string& newest = copies.empty() ? std::string() : copies.back();
    if (newest.size() >= 19) {  // yyyymmddhhnnss.srtj
      aClosing.date = newest.substr(0, 8);
      aClosing.stamp = newest.substr(0, 4) + "-" + newest.substr(4, 2) + "-" + newest.substr(6, 2) +
                       " " + newest.substr(8, 2) + ":" + newest.substr(10, 2) + ":" +
                       newest.substr(12, 2) + ":000";
    }
  }
}

void ReadQueue(const std::string& aDir, int64_t aNow, QueueInfo& aQueue) {
  const std::string queueDir = Child(aDir, "Queue");
  for (const std::string& name : FileNames(queueDir)) {
    if (!IsDocumentName(name)) continue;
    int64_t written = 0;
    try {
      written = FileModifiedUnixMillis(Child(queueDir, name));
    } catch (const std::exception&) {
      continue;  // delivered while the queue was being read
    }
    ++aQueue.documents;
    if (aQueue.oldest.empty() || written < aQueue.oldestAt) {
      aQueue.oldest = UnclaimedQueueFileName(name);
      aQueue.oldestAt = written;
    }
  }
  if (aQueue.documents > 0)
    aQueue.oldestAgeSeconds = std::max<int64_t>(0, (aNow - aQueue.oldestAt) / 1000);

  // A document keeps its own time when it is filed; the dated directory's
  // time is that of the latest document moved into it.
  const std::string processed = Child(aDir, "Processed");
  const std::vector<std::string> dated = DatedDirectories(processed);
  for (auto it = dated.rbegin(); it != dated.rend() && !aQueue.lastDeliveredAt; ++it) {
    const std::string dir = Child(processed, *it);
    int64_t newest = 0;
    for (const std::string& name : FileNames(dir)) {
      if (!IsDocumentName(name)) continue;
      const int64_t written = FileModifiedUnixMillis(Child(dir, name));
      if (aQueue.lastDelivered.empty() || written >= newest) {
        aQueue.lastDelivered = name;
        newest = written;
      }
    }
    if (!aQueue.lastDelivered.empty()) aQueue.lastDeliveredAt = FileModifiedUnixMillis(dir);
  }
}

void ReadRejected(const std::string& aDir, const Closing& aClosing, PusherLog& aLog,
                  RejectedInfo& aRejected) {
  const std::string errors = Child(aDir, "Errors");
  std::vector<RejectedDocument> all;
  for (const std::string& date : DatedDirectories(errors)) {
    const std::string dir = Child(errors, date);
    for (const std::string& name : FileNames(dir)) {
      if (!IsDocumentName(name)) continue;
      all.push_back({date, name, FileModifiedUnixMillis(Child(dir, name)), ""});
    }
  }
  aRejected.documents = static_cast<int>(all.size());
  for (const RejectedDocument& document : all) {
    // The dated directory is the day of the rejection. On the closing's own
    // day the log tells whether it came after the closing; without the log
    // it counts.
    bool since = document.date > aClosing.date;
    if (document.date == aClosing.date) {
      const LoggedRejection* logged = aLog.Find(document.name, document.date);
      since = logged == nullptr || logged->stamp > aClosing.stamp;
    }
    if (since) ++aRejected.sinceClosing;
  }
  std::sort(all.begin(), all.end(), [](const RejectedDocument& a, const RejectedDocument& b) {
    return a.date != b.date ? a.date > b.date : a.writtenAt > b.writtenAt;
  });
  if (all.size() > kRejectedShown) all.resize(kRejectedShown);
  for (RejectedDocument& document : all) {
    if (const LoggedRejection* logged = aLog.Find(document.name, document.date))
      document.reason = logged->reason;
  }
  aRejected.newest = std::move(all);
}

// The documents of Z report |aZRep| wherever they lie; names the verifier
// reads (ending in ".srtd") only. The queue is listed before the dated
// directories, so a document the pusher files meanwhile is still found; seen
// twice, it counts once where it now lies.
std::vector<DayDocument> DayDocuments(const std::string& aDir, int32_t aZRep) {
  std::vector<DayDocument> documents;
  std::map<std::string, size_t> queued;  // name -> index of a queue entry
  auto add = [&](const std::string& folder) {
    for (const std::string& name : FileNames(Child(aDir, folder))) {
      auto numbers = NumbersOf(name);
      if (!EndsWithIgnoreCase(name, kDocumentMark) || !numbers || numbers->first != aZRep) continue;
      // Filed under its queued name, also when it was listed claimed.
      const std::string key = UnclaimedQueueFileName(name);
      auto earlier = queued.find(key);
      if (earlier != queued.end() &&
          !FileExists(Child(aDir, "Queue/" + documents[earlier->second].name))) {
        documents[earlier->second] = {folder, name};
        queued.erase(earlier);
        continue;
      }
      if (folder == "Queue") queued[key] = documents.size();
      documents.push_back({folder, name});
    }
  };
  add("Queue");
  for (const char* filed : {"Processed", "Errors"}) {
    for (const std::string& date : DatedDirectories(Child(aDir, filed)))
      add(std::string(filed) + "/" + date);
  }
  return documents;
}

// A scratch till directory for the verifier: copies of the files a live till
// changes (counters, the day's documents), links to those it never changes
// (journal copies, VAT map). Removing it leaves the store alone.
class DayView {
 public:
  DayView() {
    fRoot = PathOf(MakeScratchDirectory("qxtill_status_"));
    fs::create_directories(fRoot / "Queue");
  }
  ~DayView() {
    std::error_code ignored;
    fs::remove_all(fRoot, ignored);
  }
  DayView(const DayView&) = delete;
  DayView& operator=(const DayView&) = delete;

  void Link(const std::string& aTarget, const std::string& aRelative) {
    const fs::path target = PathOf(aTarget);
    const fs::path link = fRoot / PathOf(aRelative);
    fs::create_directories(link.parent_path());
    // Where links need a privilege the user lacks, a copy does as well.
    std::error_code error;
    fs::create_symlink(fs::absolute(target), link, error);
    if (error) fs::copy_file(target, link);
  }
  // False when the file is gone (moved or removed since it was listed).
  bool Copy(const std::string& aSource, const std::string& aRelative) {
    const fs::path source = PathOf(aSource);
    const fs::path target = fRoot / PathOf(aRelative);
    fs::create_directories(target.parent_path());
    std::error_code error;
    fs::copy_file(source, target, error);
    if (error && fs::exists(source)) throw fs::filesystem_error("cannot copy", source, error);
    // The verifier orders a day's files by their times.
    if (!error) fs::last_write_time(target, fs::last_write_time(source, error), error);
    return !error;
  }
  std::string Dir() const { return TextOf(fRoot); }

 private:
  fs::path fRoot;
};

// Copies a document into the view; one the pusher claimed since it was
// listed is looked for under its claimed name, and one it filed in the dated
// directories (under its queued name), newest first.
void CopyDocument(const std::string& aDir, const DayDocument& aDocument, DayView& aView) {
  const auto copy = [&](const std::string& aRelative) {
    return aView.Copy(Child(aDir, aRelative), aRelative);
  };
  if (copy(aDocument.folder + "/" + aDocument.name)) return;
  const std::string queued = UnclaimedQueueFileName(aDocument.name);
  if (aDocument.folder == "Queue" && queued == aDocument.name &&
      copy("Queue/" + ClaimedQueueFileName(queued)))
    return;
  for (const char* filed : {"Processed", "Errors"}) {
    const std::vector<std::string> dates = DatedDirectories(Child(aDir, filed));
    for (auto date = dates.rbegin(); date != dates.rend(); ++date) {
      if (copy(std::string(filed) + "/" + *date + "/" + queued)) return;
    }
  }
}

// Checks the chain of Z report |aZRep|. The counters are copied first and the
// documents listed after: a receipt signed meanwhile is newer than the
// counters copy and numbered past it, and is left for the next look.
ChainInfo CheckDayChain(const std::string& aDir, int32_t aZRep,
                        std::vector<DayDocument>& aDocuments) {
  DayView view;
  for (const char* name : {kActualCounters, kPreviousCounters}) view.Copy(Child(aDir, name), name);
  kRTSCounters actual;
  int32_t lastCounted = -1;  // every receipt counts
  int64_t countedAt = 0;
  const std::string actualCopy = Child(view.Dir(), kActualCounters);
  if (LoadCounters(actualCopy, actual) == CountersState::kLoaded && actual.CurrentzRep() == aZRep) {
    lastCounted = actual.CurrentnRec();
    countedAt = FileModifiedUnixMillis(actualCopy);
  }
  if (FileExists(Child(aDir, "vatmap.srtv"))) view.Link(Child(aDir, "vatmap.srtv"), "vatmap.srtv");
  for (const std::string& copy : FileNames(Child(aDir, "Journal")))
    view.Link(Child(aDir, "Journal/" + copy), "Journal/" + copy);

  aDocuments = DayDocuments(aDir, aZRep);
  for (const DayDocument& document : aDocuments) {
    const std::string path = Child(aDir, document.folder + "/" + document.name);
    const int32_t nRec = NumbersOf(document.name)->second;
    if (lastCounted >= 0 && nRec > lastCounted && nRec != kClosureNumber &&
        ModifiedIfPresent(path).value_or(countedAt) >= countedAt)
      continue;
    CopyDocument(aDir, document, view);
  }
  std::ostringstream ignored;
  const VerifyResult result = VerifyTill(view.Dir(), ignored);
  ChainInfo chain;
  chain.checked = true;
  chain.zRep = aZRep;
  chain.receipts = result.receipts;
  chain.problems = result.problems;
  return chain;
}

// The open day, else the last closed one, else the latest day with documents.
std::optional<int32_t> DayToCheck(const std::string& aDir, const DayInfo& aDay) {
  if (std::string_view(aDay.state) != "none") return aDay.zRep;
  std::optional<int32_t> latest;
  for (const char* folder : {"Queue", "Processed", "Errors"}) {
    std::vector<std::string> dirs = {Child(aDir, folder)};
    if (std::string_view(folder) != "Queue") {
      dirs.clear();
      for (const std::string& date : DatedDirectories(Child(aDir, folder)))
        dirs.push_back(Child(Child(aDir, folder), date));
    }
    for (const std::string& dir : dirs) {
      for (const std::string& name : FileNames(dir)) {
        if (auto numbers = NumbersOf(name); numbers && (!latest || numbers->first > *latest))
          latest = numbers->first;
      }
    }
  }
  return latest;
}

void FindLastReceiptTime(const std::string& aDir, const std::vector<DayDocument>& aDocuments,
                         DayInfo& aDay) {
  if (aDay.nRec <= 0) return;
  for (const DayDocument& document : aDocuments) {
    auto numbers = NumbersOf(document.name);
    if (numbers && numbers->second == aDay.nRec) {
      aDay.lastReceipt = ModifiedIfPresent(Child(aDir, document.folder + "/" + document.name));
      return;
    }
  }
}

void Judge(TillReport& aReport, int64_t aMaxAgeMinutes) {
  const ChainInfo& chain = aReport.chain;
  if (!chain.problems.empty()) {
    aReport.verdict = Verdict::kBroken;
    std::string reason = "chain or totals do not verify: " + chain.problems.front();
    if (chain.problems.size() > 1)
      reason += " (and " + std::to_string(chain.problems.size() - 1) + " more)";
    aReport.reasons.push_back(reason);
  }
  if (aReport.rejected.sinceClosing > 0) {
    if (aReport.verdict == Verdict::kOk) aReport.verdict = Verdict::kRejected;
    aReport.reasons.push_back(std::to_string(aReport.rejected.sinceClosing) +
                              " documents rejected since the last closing");
  }
  const QueueInfo& queue = aReport.queue;
  if (queue.documents > 0 && queue.oldestAgeSeconds > aMaxAgeMinutes * 60) {
    if (aReport.verdict == Verdict::kOk) aReport.verdict = Verdict::kDelayed;
    aReport.reasons.push_back("oldest queued document is " +
                              std::to_string(queue.oldestAgeSeconds / 60) + " minutes old (limit " +
                              std::to_string(aMaxAgeMinutes) + ")");
  }
}

TillReport ReadTill(const std::string& aDir, PusherLog& aLog) {
  TillReport report;
  report.dir = aDir;
  Closing closing;
  ReadDay(aDir, report, closing);
  ReadQueue(aDir, NowUnixMillis(), report.queue);
  ReadRejected(aDir, closing, aLog, report.rejected);
  if (auto zRep = DayToCheck(aDir, report.day)) {
    std::vector<DayDocument> documents;
    ChainInfo chain = CheckDayChain(aDir, *zRep, documents);
    if (*zRep == report.day.zRep) FindLastReceiptTime(aDir, documents, report.day);
    chain.problems.insert(chain.problems.begin(), report.chain.problems.begin(),
                          report.chain.problems.end());
    report.chain = std::move(chain);
  }
  return report;
}

TillReport InspectTill(const std::string& aDir, const Options& aOptions, PusherLog& aLog) {
  TillReport report;
  try {
    report = ReadTill(aDir, aLog);
    // A live till may have moved a document or saved its counters while it
    // was read: look a second time before calling it broken.
    if (!report.chain.problems.empty()) report = ReadTill(aDir, aLog);
    Judge(report, aOptions.maxAgeMinutes);
  } catch (const std::exception& e) {
    report = TillReport();
    report.dir = aDir;
    report.verdict = Verdict::kUnknown;
    report.reasons.push_back(std::string("cannot read the store: ") + e.what());
  }
  report.till = TextOf(PathOf(aDir).lexically_normal().filename());
  if (report.till.empty())
    report.till = TextOf(PathOf(aDir).lexically_normal().parent_path().filename());
  return report;
}

TillReport UnknownTill(const std::string& aDir, const std::string& aReason) {
  TillReport report;
  report.dir = aDir;
  report.till = aDir;
  report.verdict = Verdict::kUnknown;
  report.reasons.push_back(aReason);
  return report;
}

// Every till a path names: itself when it is a till directory, else each
// till directory right below it (a data root).
std::vector<TillReport> InspectPath(const std::string& aPath, const Options& aOptions,
                                    PusherLog& aLog) {
  if (!DirectoryExists(aPath)) return {UnknownTill(aPath, "no such directory")};
  if (IsTillDirectory(aPath)) return {InspectTill(aPath, aOptions, aLog)};
  std::vector<TillReport> reports;
  for (const std::string& dir : ListSubdirectories(aPath)) {
    if (IsTillDirectory(dir)) reports.push_back(InspectTill(dir, aOptions, aLog));
  }
  if (reports.empty()) reports.push_back(UnknownTill(aPath, "no till store found here"));
  return reports;
}

// ---- output ---------------------------------------------------------------

int Severity(Verdict aVerdict) {
  switch (aVerdict) {
    case Verdict::kOk:
      return 0;
    case Verdict::kDelayed:
      return 1;
    case Verdict::kRejected:
      return 2;
    case Verdict::kUnknown:
      return 3;
    case Verdict::kBroken:
      return 4;
  }
  return 3;
}

std::string Ago(int64_t aNow, int64_t aThen) {
  const int64_t minutes = std::max<int64_t>(0, aNow - aThen) / 60000;
  return minutes < 120 ? std::to_string(minutes) + " min ago"
                       : std::to_string(minutes / 60) + " h ago";
}

void PrintText(const TillReport& r, int64_t aNow, std::ostream& out) {
  out << "Till " << r.till << " (" << r.dir << ")\n";
  if (r.verdict != Verdict::kUnknown) {
    const DayInfo& d = r.day;
    out << "  day:      ";
    if (std::string_view(d.state) == "none") {
      out << "no counters\n";
    } else {
      out << d.state;
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
    out << "  rejected: " << r.rejected.documents << " documents, " << r.rejected.sinceClosing
        << " since the last closing\n";
    for (const RejectedDocument& doc : r.rejected.newest)
      out << "            " << doc.date << "/" << doc.name << ": "
          << (doc.reason.empty() ? "(no reason in the pusher's log)" : doc.reason) << "\n";
    out << "  chain:    ";
    if (!r.chain.checked) {
      out << "no documents\n";
    } else {
      out << "Z report " << r.chain.zRep << ", " << r.chain.receipts << " receipts, "
          << (r.chain.problems.empty() ? "verified" : "DOES NOT VERIFY") << "\n";
      for (const std::string& problem : r.chain.problems) out << "            " << problem << "\n";
    }
  }
  out << r.till << ": " << VerdictName(r.verdict);
  for (size_t i = 0; i < r.reasons.size(); ++i) out << (i == 0 ? " - " : "; ") << r.reasons[i];
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

void PrintJson(const TillReport& r, std::ostream& out) {
  const DayInfo& d = r.day;
  const QueueInfo& q = r.queue;
  out << "{\"till\": " << Json(r.till) << ", \"dir\": " << Json(r.dir)
      << ", \"verdict\": " << Json(VerdictName(r.verdict))
      << ", \"exitCode\": " << VerdictExitCode(r.verdict)
      << ", \"reasons\": " << JsonList(r.reasons);
  if (r.verdict == Verdict::kUnknown) {
    out << "}";
    return;
  }
  out << ",\n   \"day\": {\"state\": " << Json(d.state)
      << ", \"dataSource\": " << Json(d.dataSource) << ", \"zReport\": " << d.zRep
      << ", \"lastReceipt\": " << d.nRec << ", \"lastReceiptTime\": " << JsonTime(d.lastReceipt)
      << ", \"closedAt\": " << JsonTime(d.closedAt)
      << ", \"dailyTotal\": " << FormatTwoDecimals(d.total)
      << ", \"dailySales\": " << FormatTwoDecimals(d.sales)
      << ", \"dailyRefunds\": " << FormatTwoDecimals(d.refunds)
      << ", \"dailyVoids\": " << FormatTwoDecimals(d.voids)
      << "},\n   \"queue\": {\"documents\": " << q.documents
      << ", \"oldest\": " << (q.documents ? Json(q.oldest) : "null")
      << ", \"oldestTime\": " << JsonTime(q.documents ? std::optional(q.oldestAt) : std::nullopt)
      << ", \"oldestAgeSeconds\": " << q.oldestAgeSeconds
      << ", \"lastDelivered\": " << (q.lastDeliveredAt ? Json(q.lastDelivered) : "null")
      << ", \"lastDeliveryTime\": " << JsonTime(q.lastDeliveredAt)
      << "},\n   \"rejected\": {\"documents\": " << r.rejected.documents
      << ", \"sinceLastClosing\": " << r.rejected.sinceClosing << ", \"newest\": [";
  for (size_t i = 0; i < r.rejected.newest.size(); ++i) {
    const RejectedDocument& doc = r.rejected.newest[i];
    out << (i ? ", " : "") << "{\"document\": " << Json(doc.name)
        << ", \"date\": " << Json(doc.date)
        << ", \"reason\": " << (doc.reason.empty() ? "null" : Json(doc.reason)) << "}";
  }
  out << "]},\n   \"chain\": {\"checked\": " << (r.chain.checked ? "true" : "false")
      << ", \"zReport\": " << r.chain.zRep << ", \"receipts\": " << r.chain.receipts
      << ", \"verified\": " << (r.chain.problems.empty() ? "true" : "false")
      << ", \"problems\": " << JsonList(r.chain.problems) << "}}";
}

// False with a message on |aErr| for a usage error.
bool ParseOptions(const std::vector<std::string>& aArgs, Options& aOptions, std::ostream& aErr) {
  for (size_t i = 0; i < aArgs.size(); ++i) {
    const std::string& arg = aArgs[i];
    if (arg == "--json") {
      aOptions.json = true;
    } else if (arg == "--max-age" || arg == "--log-dir") {
      if (i + 1 == aArgs.size()) {
        aErr << "qxtill status: " << arg << " needs a value\n" << kUsage;
        return false;
      }
      const std::string& value = aArgs[++i];
      if (arg == "--log-dir") {
        aOptions.logDir = value;
        continue;
      }
      int32_t minutes = 0;
      if (!TryStrToInt(value, minutes) || minutes < 0 ||
          value.find_first_not_of("0123456789") != std::string::npos) {
        aErr << "qxtill status: --max-age takes whole minutes, not '" << value << "'\n" << kUsage;
        return false;
      }
      aOptions.maxAgeMinutes = minutes;
    } else if (StartsWith(arg, "--")) {
      aErr << "qxtill status: unknown option '" << arg << "'\n" << kUsage;
      return false;
    } else {
      aOptions.paths.push_back(arg);
    }
  }
  if (aOptions.paths.empty()) {
    aErr << "qxtill status: no data root or till directory given\n" << kUsage;
    return false;
  }
  return true;
}

}  // namespace

const char* VerdictName(Verdict aVerdict) {
  switch (aVerdict) {
    case Verdict::kOk:
      return "OK";
    case Verdict::kDelayed:
      return "DELAYED";
    case Verdict::kRejected:
      return "REJECTED";
    case Verdict::kBroken:
      return "BROKEN";
    case Verdict::kUnknown:
      return "UNKNOWN";
  }
  return "UNKNOWN";
}

int VerdictExitCode(Verdict aVerdict) {
  switch (aVerdict) {
    case Verdict::kOk:
      return 0;
    case Verdict::kDelayed:
    case Verdict::kRejected:
      return 1;
    case Verdict::kBroken:
      return 2;
    case Verdict::kUnknown:
      return 3;
  }
  return 3;
}

int RunStatus(const std::vector<std::string>& aArgs, std::ostream& aOut, std::ostream& aErr) {
  Options options;
  if (!ParseOptions(aArgs, options, aErr)) return VerdictExitCode(Verdict::kUnknown);
  PusherLog log(options.logDir);
  std::vector<TillReport> reports;
  for (const std::string& path : options.paths) {
    for (TillReport& report : InspectPath(path, options, log)) reports.push_back(std::move(report));
  }
  Verdict worst = Verdict::kOk;
  for (const TillReport& report : reports) {
    if (Severity(report.verdict) > Severity(worst)) worst = report.verdict;
  }
  if (options.json) {
    aOut << "{\"verdict\": " << Json(VerdictName(worst))
         << ", \"exitCode\": " << VerdictExitCode(worst)
         << ", \"maxAgeMinutes\": " << options.maxAgeMinutes << ", \"tills\": [\n  ";
    for (size_t i = 0; i < reports.size(); ++i) {
      if (i) aOut << ",\n  ";
      PrintJson(reports[i], aOut);
    }
    aOut << "]}\n";
  } else {
    const int64_t now = NowUnixMillis();
    for (const TillReport& report : reports) PrintText(report, now, aOut);
  }
  return VerdictExitCode(worst);
}

}  // namespace qx::qxtill
