// The chain verifier: proves that a till's stored receipts form an unbroken,
// untampered chain and that the closed days agree with their records. It
// judges the store exactly as the status report does (store/uRTSStoreCheck.h).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qx {

struct VerifyResult {
  int receipts = 0;                   // receipt documents read
  int days = 0;                       // Z reports that left a trace
  bool found = true;                  // the till directory exists
  std::vector<std::string> problems;  // damage
  std::vector<std::string> warnings;  // documents the server never booked
  bool Ok() const { return problems.empty(); }
  // 0 verified, 1 verified with warnings, 2 problems, 3 no till directory:
  // the exit codes monitoring gives OK, WARNING, CRITICAL and UNKNOWN.
  int ExitCode() const;
};

// Reads the till below |tillDir| through the store reader, judges it and
// writes a readable report to |out|: one section per Z report, then a last
// line "VERIFIED", "VERIFIED WITH WARNINGS" or "FAILED".
VerifyResult VerifyTill(const std::string& tillDir, std::ostream& out);

}  // namespace qx
