// One HTTP exchange: a POST of an XML body through a new libcurl handle.
// No connection survives from one exchange to the next.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace qx {

// The longest one exchange may take from its start, connecting and a slow
// reply included: QX_HTTP_DEADLINE_MS when it holds a positive integer, else
// 60000. Shared by every transport, so a host call, the delivery thread and
// the library's unloading all wait at most this long for a server.
int64_t HttpDeadlineMillis();

struct HttpPost {
  std::string url;
  std::string body;
  std::string user;
  std::string password;
  long connectTimeoutSeconds = 15;
  // An exchange that receives no data for this long fails.
  long idleTimeoutSeconds = 40;
  // The exchange fails once this long has passed since it started, however
  // the server keeps it going (a reply dripping in byte by byte).
  int64_t deadlineMillis = HttpDeadlineMillis();
  // Work of the caller's own to run once while the server handles the
  // request: after the body has gone out, or when the exchange ends before
  // that. It is run exactly once per exchange; what it raises is dropped.
  std::function<void()> whileWaiting;
};

struct HttpReply {
  // True only when a reply with a 2xx status arrived.
  bool success = false;
  // 0 when no reply arrived at all.
  int status = 0;
  // Reason phrase of the status line, or the transport's error text when no
  // reply arrived, or "Reply body too large" over the size cap.
  std::string reason;
  std::string body;
};

// Maximum reply body accepted; a larger one is a failed post.
constexpr size_t kMaxReplyBody = 16u * 1024u * 1024u;

// Content-Type application/soap+xml; charset=utf-8; basic authentication; no
// User-Agent, Accept-Encoding, Accept-Language, Accept-Charset or Expect header.
HttpReply PostXml(const HttpPost& request);

}  // namespace qx
