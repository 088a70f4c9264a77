// One exchange of the Windows HTTP client, for the tests that run it under
// Wine against local servers: prints the reply's success, status and reason
// and how long the exchange took.
//   win_http URL USER PASSWORD [IDLE_SECONDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/http.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: win_http URL USER PASSWORD [IDLE_SECONDS]\n");
    return 2;
  }
  qx::HttpPost post;
  post.url = argv[1];
  post.user = argv[2];
  post.password = argv[3];
  if (argc > 4) post.idleTimeoutSeconds = std::atol(argv[4]);
  post.body =
      "<soapenv:Envelope xmlns:soapenv=\"http://www.w3.org/2003/05/soap-envelope\">"
      "<soapenv:Body/></soapenv:Envelope>";
  bool waited = false;
  post.whileWaiting = [&] { waited = true; };
  const auto start = std::chrono::steady_clock::now();
  const qx::HttpReply reply = qx::PostXml(post);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::printf("success=%d status=%d reason=%s waited=%d ms=%lld\n", reply.success ? 1 : 0,
              reply.status, reply.reason.c_str(), waited ? 1 : 0,
              static_cast<long long>(took.count()));
  return 0;
}
