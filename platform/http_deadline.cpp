// The overall deadline of a server exchange, read from the environment so a
// site can shorten or lengthen it without a new build.
#include "platform/http.h"
#include "platform/process.h"
#include "platform/strings.h"

namespace qx {

namespace {
constexpr int64_t kDefaultDeadlineMillis = 60000;
}  // namespace

int64_t HttpDeadlineMillis() {
  const std::string text = EnvironmentText("QX_HTTP_DEADLINE_MS");
  if (text.empty()) return kDefaultDeadlineMillis;
  int32_t millis = 0;
  return TryStrToInt(text, millis) && millis > 0 ? millis : kDefaultDeadlineMillis;
}

}  // namespace qx
