// The chain verifier: proves that a till's stored receipts form an unbroken,
// untampered chain and that the closed days agree with their journal copies.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qx {

struct VerifyResult {
  int receipts = 0;  // receipt documents read
  int days = 0;      // Z reports seen
  std::vector<std::string> problems;
  bool Ok() const { return problems.empty(); }
};

// Reads every receipt of the till below |tillDir| (queue, processed and
// errors, any date), orders them by Z report and receipt number and checks
// digests, back links, numbering, each receipt's amounts against its own
// lines, and each day's totals against its journal copy (closed days) or the
// actual counters (the open day). Writes a readable report to |out|.
VerifyResult VerifyTill(const std::string& tillDir, std::ostream& out);

}  // namespace qx
