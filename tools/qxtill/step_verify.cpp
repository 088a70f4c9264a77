// The verify step: runs the chain verifier over a till's directory. It needs
// no driver library and sends nothing to any server.
#include <iostream>

#include "tools/qxtill/qxtill.h"
#include "tools/qxtill/verify.h"

namespace qx::qxtill {

bool StepVerify(Session& /*aSession*/, const std::vector<std::string>& aArgs) {
  return VerifyTill(aArgs.at(0), std::cout).Ok();
}

}  // namespace qx::qxtill
