// The overall deadline of a server exchange, read from the environment so a
// site can shorten or lengthen it without a new build.
#include <cstdlib>

#include "platform/http.h"
#include "platform/strings.h"

namespace qx {

namespace {
constexpr int64_t kDefaultDeadlineMillis = 60000;
}  // namespace

int64_t HttpDeadlineMillis() {
  const char* text = std::getenv("QX_HTTP_DEADLINE_MS");
  if (text == nullptr || *text == '\0') return kDefaultDeadlineMillis;
  int32_t millis = 0;
  return TryStrToInt(text, millis) && millis > 0 ? millis : kDefaultDeadlineMillis;
}

}  // namespace qx
