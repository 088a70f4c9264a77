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

// What a till's worst finding is about.
enum class Verdict {
  kOk,
  kDayOpen,       // the day has been open longer than the limit
  kTotalsDiffer,  // the last closing's totals differ from the server's
  kDelayed,       // documents wait longer than the limit
  kCredentials,   // the server refuses the till's credentials
  kSetAside,      // a duplicate document set aside in the queue
  kRejected,      // a document the server refused, not yet resolved
  kBroken,        // the store does not verify
  kUnknown        // the store cannot be read
};

// How monitoring sees a verdict.
enum class State { kOk, kWarning, kCritical, kUnknown };

// "OK", "DAY_OPEN", "TOTALS_DIFFER", "DELAYED", "CREDENTIALS", "SET_ASIDE",
// "REJECTED", "BROKEN", "UNKNOWN".
const char* VerdictName(Verdict aVerdict);
// "OK", "WARNING", "CRITICAL", "UNKNOWN".
const char* StateName(State aState);
// 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
int StateExitCode(State aState);

// Runs "status [--json | --prometheus] [--max-age MINUTES] [--critical-age
// MINUTES] [--max-open HOURS] [--log-dir DIR] [DATAROOT|TILLDIR...]" with the
// arguments after the word "status" (no path: the data root of QX_SRT_DB).
// Prints the report on |aOut|, its first line "QXTILL <STATE> - summary |
// perfdata", and usage errors on |aErr|. Returns the exit code of the worst
// till: CRITICAL before UNKNOWN before WARNING before OK; a usage error is
// UNKNOWN (3).
int RunStatus(const std::vector<std::string>& aArgs, std::ostream& aOut, std::ostream& aErr);

// Runs "verify TILLDIR": the chain verifier's report; exits like the status
// report for the same store: 0 verified, 1 warnings, 2 damage, 3 no store.
int RunVerify(const std::vector<std::string>& aArgs, std::ostream& aOut, std::ostream& aErr);

// Runs "resolve TILLDIR DOCUMENT [NOTE...]": records that support has dealt
// with a document the server refused (Errors/<date>/DOCUMENT); it then no
// longer makes the till REJECTED. The document itself stays where it is.
int RunResolve(const std::vector<std::string>& aArgs, std::ostream& aOut, std::ostream& aErr);

}  // namespace qx::qxtill
