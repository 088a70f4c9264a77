// The chain verifier's report over the one judgement of a till's store.
#include "tools/qxtill/verify.h"

#include "platform/files.h"
#include "store/uRTSStore.h"
#include "store/uRTSStoreCheck.h"

namespace qx {

int VerifyResult::ExitCode() const {
  if (!found) return 3;
  if (!problems.empty()) return 2;
  return warnings.empty() ? 0 : 1;
}

VerifyResult VerifyTill(const std::string& tillDir, std::ostream& out) {
  const kRTSTillStore store = ReadTillStore(tillDir);
  const kRTSStoreCheck check = CheckTillStore(store, out);
  VerifyResult result;
  result.receipts = check.receipts;
  result.days = check.days;
  result.problems = check.Texts(tkRTSFindingLevel::flProblem);
  result.warnings = check.Texts(tkRTSFindingLevel::flWarning);
  result.found = store.exists;
  if (!store.exists) return result;
  out << (!result.Ok()              ? "FAILED"
          : result.warnings.empty() ? "VERIFIED"
                                    : "VERIFIED WITH WARNINGS")
      << ": " << result.receipts << " receipts in " << result.days << " Z reports, "
      << result.problems.size() << " problems, " << result.warnings.size() << " warnings\n";
  for (const auto& p : result.problems) out << "  " << p << "\n";
  return result;
}

}  // namespace qx
