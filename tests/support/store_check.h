// Consistency check of one till's data store, shared by the fault and crash
// suites: the counters files parse; every queued, processed and rejected
// document is complete (one line ended by CR LF, well-formed, of a known
// kind); every receipt's seal is the digest of its receipt element; and per
// Z report the receipt numbers run without gap or repetition, each receipt
// linking back to the seal of the one before.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qx::testing {

struct StoredReceipt {
  std::string path;
  int32_t zRep = 0;
  int32_t nRec = 0;
  std::string backLink;
  std::string seal;
};

struct StoreReport {
  std::vector<std::string> problems;  // empty when the store is consistent
  // Receipts by (Z report, receipt number); a repeated number is a problem.
  std::map<std::pair<int32_t, int32_t>, StoredReceipt> receipts;
  int closures = 0;
  int leftoverTemporaryFiles = 0;  // ".name.tmp" files a killed writer left
  bool haveActualCounters = false;
  int32_t actualZRep = 0;
  int32_t actualnRec = 0;
  std::string actualLastFingerPrint;

  bool Consistent() const { return problems.empty(); }
  std::string Describe() const;
};

// Checks the store of till |aTillId| in |aTillDir|.
StoreReport CheckTillStore(const std::string& aTillDir, const std::string& aTillId);

}  // namespace qx::testing
