// The 32-bit test program's HTTP transport: it has no 32-bit libcurl, and
// its suites send nothing, so every post fails as an unreachable server does.
#include "platform/http.h"

namespace qx {

HttpReply PostXml(const HttpPost& request) {
  if (request.whileWaiting) {
    try {
      request.whileWaiting();
    } catch (...) {
    }
  }
  HttpReply reply;
  reply.reason = "No HTTP transport in this program";
  return reply;
}

}  // namespace qx
