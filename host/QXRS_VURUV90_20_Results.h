// The XML result documents the entry points return to the host: a <Result>
// element with one text child per value, rendered without declaration or
// indentation.
#pragma once

#include <string>

namespace qx {

class kRTSManager;
class kRTSCounters;

// SIGNRECEIPT's document: VAT total, serial numbers, signature, receipt and Z
// report numbers and the receipt header lines. After a successful signing
// they are this receipt's; after a failed one (|aSigned| false) those of the
// last receipt issued before, as the counters hold it, never the failed
// receipt's partial figures.
std::string SignResultDocument(kRTSManager& aManager, bool aSigned);

// CLOSETILL's and XREPORT's document: the figures of |aCounters|, amounts in
// the locale money form and the Z report date with "Z".
std::string DayResultDocument(const kRTSCounters& aCounters);

}  // namespace qx
