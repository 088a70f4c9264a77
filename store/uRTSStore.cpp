// The one reader of a till's store: what lies where, listed once, with the
// rules of what counts as queued, filed, claimed, set aside and resolved.
#include "store/uRTSStore.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "manager/uRTServerManager.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "store/uRTSStoreNames.h"

namespace qx {
namespace {

bool IsSetAsideName(const std::string& aName) {
  const size_t mark = aName.rfind(kRTSSetAsideMark);
  return mark != std::string::npos && aName.find(kRTSDocumentSuffix) != std::string::npos &&
         EndsWithIgnoreCase(aName, kRTSSetAsideSuffix);
}

// The sorted names of the regular files directly in |aDir|; none when it does
// not exist. A folder that exists but cannot be listed raises.
std::vector<std::string> NamesIn(const std::string& aDir) {
  std::vector<std::string> names;
  if (!DirectoryExists(aDir)) return names;
  for (const std::string& path : ListFiles(aDir, "")) names.push_back(ExtractFileName(path));
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> DatedFolders(const std::string& aDir) {
  std::vector<std::string> names;
  if (!DirectoryExists(aDir)) return names;
  for (const std::string& path : ListSubdirectories(aDir)) names.push_back(ExtractFileName(path));
  std::sort(names.begin(), names.end());
  return names;
}

// A file a live till may move away meanwhile: 0 when it is gone.
int64_t ModifiedOrZero(const std::string& aPath) {
  try {
    return FileModifiedUnixMillis(aPath);
  } catch (const Error&) {
    if (FileExists(aPath)) throw;
    return 0;
  }
}

kRTSStoredCounters ReadCounters(const std::string& aPath) {
  kRTSStoredCounters stored;
  // A closing moves the actual file to the previous one: gone is missing. A
  // file that is there but cannot be read at all (permissions) raises.
  try {
    (void)ReadFileBytes(aPath);
  } catch (const Error&) {
    if (!FileExists(aPath)) return stored;
    throw;
  }
  try {
    if (stored.counters.Load(aPath)) {
      stored.state = tkRTSCountersState::csLoaded;
      return stored;
    }
    stored.error = "a value is missing or unreadable";
  } catch (const std::exception& e) {
    stored.error = e.what();
  }
  stored.state = FileExists(aPath) ? tkRTSCountersState::csDamaged : tkRTSCountersState::csMissing;
  stored.counters.Clear();
  return stored;
}

kRTSClosingComparison ReadComparison(const std::string& aPath) {
  kRTSClosingComparison comparison;
  if (!FileExists(aPath)) return comparison;
  const std::vector<std::string> lines = ReadTextLines(aPath);
  if (lines.empty() || !StartsWith(lines.front(), "zRep=")) return comparison;
  if (!TryStrToInt(lines.front().substr(5), comparison.zRep)) return comparison;
  comparison.present = true;
  for (size_t i = 1; i < lines.size(); ++i) {
    if (StartsWith(lines[i], "queued=")) {
      if (!TryStrToInt(lines[i].substr(7), comparison.queued)) comparison.queued = 0;
    } else if (!lines[i].empty()) {
      comparison.differences.push_back(lines[i]);
    }
  }
  return comparison;
}

kRTSStoredDocument MakeDocument(tkRTSDocumentPlace aPlace, const std::string& aDate,
                                const std::string& aFolder, const std::string& aName) {
  kRTSStoredDocument document;
  document.place = aPlace;
  document.date = aDate;
  document.name = aName;
  document.path = JoinPath(aFolder, aName);
  if (auto numbers = DocumentNumbers(aName)) {
    document.numbered = true;
    document.zRep = numbers->first;
    document.nRec = numbers->second;
  }
  document.modifiedMillis = ModifiedOrZero(document.path);
  return document;
}

}  // namespace

std::string kRTSStoredDocument::Where() const {
  switch (place) {
    case tkRTSDocumentPlace::dpQueue:
      return std::string(kRTSQueueFolder) + "/" + name;
    case tkRTSDocumentPlace::dpProcessed:
      return std::string(kRTSProcessedFolder) + "/" + date + "/" + name;
    case tkRTSDocumentPlace::dpErrors:
      return std::string(kRTSErrorsFolder) + "/" + date + "/" + name;
  }
  return name;
}

std::optional<std::pair<int32_t, int32_t>> DocumentNumbers(const std::string& aName) {
  const std::string queued = UnclaimedQueueFileName(aName);
  const size_t mark = queued.find(kRTSDocumentSuffix);
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

std::string DocumentTill(const std::string& aName) {
  if (!DocumentNumbers(aName)) return "";
  const std::string queued = UnclaimedQueueFileName(aName);
  const std::string stem = queued.substr(0, queued.find(kRTSDocumentSuffix));
  return stem.substr(0, stem.rfind('-', stem.rfind('-') - 1));
}

bool IsTillStore(const std::string& aDir) {
  return DirectoryExists(JoinPath(aDir, kRTSQueueFolder)) ||
         FileExists(JoinPath(aDir, kRTSActualCountersName)) ||
         FileExists(JoinPath(aDir, kRTSPreviousCountersName));
}

std::vector<std::string> TillStoresBelow(const std::string& aDataRoot) {
  std::vector<std::string> tills;
  for (const std::string& dir : ListSubdirectories(aDataRoot)) {
    if (EqualsIgnoreCase(ExtractFileName(dir), kRTSLogFolder)) continue;
    if (IsTillStore(dir)) tills.push_back(dir);
  }
  std::sort(tills.begin(), tills.end());
  return tills;
}

kRTSTillStore ReadTillStore(const std::string& aTillDir) {
  kRTSTillStore store;
  store.dir = aTillDir;
  store.exists = DirectoryExists(aTillDir);
  if (!store.exists) return store;
  // A file's time may lag the clock by a tick of the system's coarse clock.
  constexpr int64_t kFileTimeLag = 20;
  const int64_t began = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count() -
                        kFileTimeLag;
  store.actual = ReadCounters(JoinPath(aTillDir, kRTSActualCountersName));
  store.previous = ReadCounters(JoinPath(aTillDir, kRTSPreviousCountersName));

  const std::string vatFile = JoinPath(aTillDir, kRTSVatMapCacheName);
  if (FileExists(vatFile)) {
    store.haveVatMap = true;
    for (const std::string& line : ReadTextLines(vatFile)) store.vatMapText += line + "\r\n";
  }
  store.comparison = ReadComparison(JoinPath(aTillDir, kRTSComparisonName));

  const std::string journalDir = JoinPath(aTillDir, kRTSJournalFolder);
  for (const std::string& name : NamesIn(journalDir)) {
    if (!EndsWithIgnoreCase(name, kRTSJournalSuffix)) continue;
    kRTSJournalCopy copy;
    copy.name = name;
    try {
      copy.readable = copy.counters.Load(JoinPath(journalDir, name));
    } catch (const std::exception&) {
    }
    store.journal.push_back(std::move(copy));
  }

  // The queue before the filed folders: a document filed meanwhile is found
  // again there, and counts once, where it now lies.
  std::map<std::string, size_t> queued;  // unclaimed name -> index in documents
  const std::string queueDir = JoinPath(aTillDir, kRTSQueueFolder);
  for (const std::string& name : NamesIn(queueDir)) {
    if (IsSetAsideName(name)) {
      store.setAside.push_back(MakeDocument(tkRTSDocumentPlace::dpQueue, "", queueDir, name));
    } else if (EndsWithIgnoreCase(name, kRTSDocumentSuffix)) {
      queued[UnclaimedQueueFileName(name)] = store.documents.size();
      store.documents.push_back(MakeDocument(tkRTSDocumentPlace::dpQueue, "", queueDir, name));
    }
  }
  for (const tkRTSDocumentPlace place :
       {tkRTSDocumentPlace::dpProcessed, tkRTSDocumentPlace::dpErrors}) {
    const std::string folder = JoinPath(
        aTillDir, place == tkRTSDocumentPlace::dpErrors ? kRTSErrorsFolder : kRTSProcessedFolder);
    for (const std::string& date : DatedFolders(folder)) {
      const std::string dir = JoinPath(folder, date);
      const std::vector<std::string> names = NamesIn(dir);
      for (const std::string& name : names) {
        if (!EndsWithIgnoreCase(name, kRTSDocumentSuffix)) continue;
        kRTSStoredDocument document = MakeDocument(place, date, dir, name);
        document.resolved =
            place == tkRTSDocumentPlace::dpErrors &&
            std::binary_search(names.begin(), names.end(), name + kRTSResolvedSuffix);
        auto earlier = queued.find(name);
        if (earlier != queued.end() && !FileExists(store.documents[earlier->second].path)) {
          store.documents[earlier->second] = std::move(document);
          queued.erase(earlier);
          continue;
        }
        store.documents.push_back(std::move(document));
      }
    }
  }
  if (store.actual.state == tkRTSCountersState::csLoaded) {
    const kRTSCounters& open = store.actual.counters;
    std::erase_if(store.documents, [&](const kRTSStoredDocument& d) {
      const bool meanwhile = d.numbered && d.zRep == open.CurrentzRep() &&
                             d.nRec > open.CurrentnRec() && d.nRec != kRTSClosureNumber &&
                             d.modifiedMillis >= began;
      store.signedMeanwhile += meanwhile;
      return meanwhile;
    });
  }
  return store;
}

std::string ReadStoredDocument(const kRTSTillStore& aStore, const kRTSStoredDocument& aDocument,
                               std::string& aPathNow) {
  std::vector<std::string> places = {aDocument.path};
  if (aDocument.place == tkRTSDocumentPlace::dpQueue) {
    const std::string queued = UnclaimedQueueFileName(aDocument.name);
    if (queued == aDocument.name)
      places.push_back(
          JoinPath(JoinPath(aStore.dir, kRTSQueueFolder), ClaimedQueueFileName(queued)));
    // Filed under its queued name, in the newest dated folder most likely.
    for (const char* filed : {kRTSProcessedFolder, kRTSErrorsFolder}) {
      const std::string folder = JoinPath(aStore.dir, filed);
      const std::vector<std::string> dates = DatedFolders(folder);
      for (auto date = dates.rbegin(); date != dates.rend(); ++date)
        places.push_back(JoinPath(JoinPath(folder, *date), queued));
    }
  }
  for (const std::string& place : places) {
    try {
      std::string text;
      for (const std::string& line : ReadTextLines(place)) text += line + "\r\n";
      aPathNow = place;
      return text;
    } catch (const Error&) {
      if (FileExists(place)) throw;
    }
  }
  aPathNow = aDocument.path;
  (void)ReadFileBytes(aDocument.path);  // raises with the system's reason
  throw Error("Cannot open file \"" + aDocument.path + "\"");
}

int MarkResolved(const std::string& aTillDir, const std::string& aName, const std::string& aNote) {
  int marked = 0;
  // A document name, never a path leading elsewhere in the store.
  if (aName.find_first_of("/\\") != std::string::npos) return marked;
  const std::string errors = JoinPath(aTillDir, kRTSErrorsFolder);
  for (const std::string& date : DatedFolders(errors)) {
    const std::string document = JoinPath(JoinPath(errors, date), aName);
    if (!EndsWithIgnoreCase(aName, kRTSDocumentSuffix) || !FileExists(document)) continue;
    WriteTextLinesAtomic(document + kRTSResolvedSuffix,
                         {"resolved " + FormatDateTime("yyyy-mm-dd hh:nn:ss", Now()), aNote});
    ++marked;
  }
  return marked;
}

}  // namespace qx
