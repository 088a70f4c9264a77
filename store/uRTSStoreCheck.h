// The judgement of a till's store: proves that its receipts form an unbroken,
// untampered chain, that every closed day agrees with its records, and lists
// what support must look at. The chain verifier and the status report both
// judge a till through CheckTillStore, so they call the same store healthy.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "store/uRTSStore.h"

namespace qx {

// A note needs nothing (a state the next opening completes); a warning needs a
// person but the store is sound (a document the server never booked); a
// problem is damage: a file changed, removed or contradicting another.
enum class tkRTSFindingLevel { flNote, flWarning, flProblem };

struct kRTSFinding {
  tkRTSFindingLevel level = tkRTSFindingLevel::flProblem;
  std::string text;
};

struct kRTSStoreCheck {
  int receipts = 0;  // receipt documents read
  int days = 0;      // Z reports with receipts
  std::vector<kRTSFinding> findings;

  // The texts of the findings of one level, in the order found.
  std::vector<std::string> Texts(tkRTSFindingLevel aLevel) const;
};

// Reads every receipt of |aStore| (queue, processed and errors, any date),
// orders them by Z report and receipt number and checks digests, back links,
// numbering, each receipt's amounts against its own lines (converted again
// against the cached VAT map), the Z reports' continuity, and each day against
// the counters that recorded it (journal copy, previous or actual counters)
// and its daily closure document. Writes a day-by-day report to |aOut|.
kRTSStoreCheck CheckTillStore(const kRTSTillStore& aStore, std::ostream& aOut);

}  // namespace qx
