// Replay of prepared reply bodies in place of libcurl (see replay_http.h).
#include "support/replay_http.h"

#include <deque>

#include "platform/http.h"

namespace qx {
namespace {

std::deque<std::string>& Pending() {
  static std::deque<std::string> pending;
  return pending;
}

size_t& Exchanges() {
  static size_t count = 0;
  return count;
}

}  // namespace

HttpReply PostXml(const HttpPost& /*request*/) {
  ++Exchanges();
  HttpReply reply;
  if (Pending().empty()) {
    reply.reason = "Couldn't connect to server";
    return reply;
  }
  reply.success = true;
  reply.status = 200;
  reply.reason = "OK";
  reply.body = std::move(Pending().front());
  Pending().pop_front();
  return reply;
}

namespace fuzz {

void SetReplies(std::vector<std::string> aBodies) {
  Pending().assign(std::make_move_iterator(aBodies.begin()),
                   std::make_move_iterator(aBodies.end()));
  Exchanges() = 0;
}

size_t ExchangeCount() { return Exchanges(); }

std::vector<std::string> SplitPieces(const unsigned char* aData, size_t aSize) {
  std::vector<std::string> pieces(1);
  for (size_t i = 0; i < aSize; ++i) {
    if (aData[i] == '\f') {
      pieces.emplace_back();
    } else {
      pieces.back().push_back(static_cast<char>(aData[i]));
    }
  }
  return pieces;
}

}  // namespace fuzz
}  // namespace qx
