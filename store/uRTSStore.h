// One reading of a till's store. Every tool that judges a till (the chain
// verifier, the status report) reads the store through ReadTillStore and
// judges it through CheckTillStore, so that two tools can never disagree
// about what is stored or about what is damaged. Nothing here writes to the
// store except MarkResolved, which support runs on purpose.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "manager/uRTServerManager_Counters.h"
#include "platform/currency.h"

namespace qx {

enum class tkRTSDocumentPlace { dpQueue, dpProcessed, dpErrors };

// One document file of the store, as it was listed.
struct kRTSStoredDocument {
  tkRTSDocumentPlace place = tkRTSDocumentPlace::dpQueue;
  std::string date;  // the dated folder of a filed document, else empty
  std::string name;  // as listed: claimed and set-aside names keep their marks
  std::string path;
  bool numbered = false;  // the name carries "<till>-<z>-<n>"
  int32_t zRep = 0;
  int32_t nRec = 0;
  int64_t modifiedMillis = 0;  // 0 when it vanished after it was listed
  bool resolved = false;       // a refused document support has dealt with
  // "Errors/20261210/T01-0001-0004.srtd", "Queue/T01-0001-0005.srtd".
  std::string Where() const;
};

enum class tkRTSCountersState { csMissing, csLoaded, csDamaged };

struct kRTSStoredCounters {
  tkRTSCountersState state = tkRTSCountersState::csMissing;
  kRTSCounters counters;
  std::string error;  // why a damaged file does not read
};

struct kRTSJournalCopy {
  std::string name;
  bool readable = false;
  kRTSCounters counters;
};

// The last closing's comparison of the day with the server's totals.
struct kRTSClosingComparison {
  bool present = false;
  int32_t zRep = 0;
  // Documents still queued when the server was asked: its totals then lacked
  // them, and differences say nothing about the day.
  int32_t queued = 0;
  std::vector<std::string> differences;  // as the closing reported them
};

struct kRTSTillStore {
  std::string dir;
  bool exists = false;
  kRTSStoredCounters actual, previous;
  std::vector<kRTSJournalCopy> journal;       // oldest first (names sort by time)
  std::vector<kRTSStoredDocument> documents;  // ".srtd" files: queued (also claimed) and filed
  std::vector<kRTSStoredDocument> setAside;   // queue documents set aside as duplicates
  // Receipts of the open day numbered past its counters and written after
  // the reading began: a signing meanwhile. Left out; the next look sees them.
  int signedMeanwhile = 0;
  bool haveVatMap = false;
  std::string vatMapText;
  kRTSClosingComparison comparison;
};

// Reads the till directory |aTillDir|. A live till may sign, file or close
// meanwhile, so the counters are read before the documents are listed (a
// receipt signed meanwhile is numbered past them, and left out), and the
// queue before the filed folders (a document filed meanwhile is found where
// it now lies, and counted once). A folder or file that exists but cannot be
// read raises.
kRTSTillStore ReadTillStore(const std::string& aTillDir);

// The text of |aDocument| from where it lies now: a queued document that the
// delivery thread claimed or filed since it was listed is followed there.
// |aPathNow| receives that path. Raises when it cannot be read or found.
std::string ReadStoredDocument(const kRTSTillStore& aStore, const kRTSStoredDocument& aDocument,
                               std::string& aPathNow);

// Whether |aDir| looks like a till directory (a queue or counters file).
bool IsTillStore(const std::string& aDir);
// The till directories right below a data root, skipping its log folder.
std::vector<std::string> TillStoresBelow(const std::string& aDataRoot);

// The Z report and receipt number in "<till>-<z>-<n>.srtd" (claimed and
// set-aside marks allowed); the till id may hold dashes.
std::optional<std::pair<int32_t, int32_t>> DocumentNumbers(const std::string& aName);

// The till id a document name begins with, or empty.
std::string DocumentTill(const std::string& aName);

// Records that support has dealt with the refused document |aName| in
// Errors/ (every dated folder holding it), with a note. Returns how many
// documents it marked; none found leaves the store unchanged.
int MarkResolved(const std::string& aTillDir, const std::string& aName, const std::string& aNote);

}  // namespace qx
