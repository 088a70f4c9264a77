// qxtill status: a till's health at a glance, for support staff and for
// monitoring checks. It reads a till's data store (counters, queue, processed
// and errors directories, journal) and the pusher's log, never writes to
// either, and sums each till up in one verdict with the exit code that
// monitoring tools expect.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qx::qxtill {

// Worst first among the warnings: a rejected document needs a person, a
// delayed queue may still drain on its own.
enum class Verdict { kOk, kDelayed, kRejected, kBroken, kUnknown };

// "OK", "DELAYED", "REJECTED", "BROKEN", "UNKNOWN".
const char* VerdictName(Verdict aVerdict);
// 0 OK, 1 DELAYED or REJECTED, 2 BROKEN, 3 UNKNOWN.
int VerdictExitCode(Verdict aVerdict);

// Runs "status [--json] [--max-age MINUTES] [--log-dir DIR] DATAROOT|TILLDIR..."
// with the arguments after the word "status". Prints the report (text or one
// JSON document) on |aOut| and usage errors on |aErr|. Returns the exit code
// of the worst till: BROKEN before UNKNOWN before a warning before OK; a
// usage error is UNKNOWN (3).
int RunStatus(const std::vector<std::string>& aArgs, std::ostream& aOut, std::ostream& aErr);

}  // namespace qx::qxtill
