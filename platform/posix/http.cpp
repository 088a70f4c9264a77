// One HTTP POST exchange through a fresh libcurl easy handle.
#include "platform/http.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/error.h"

namespace qx {
namespace {

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
      throw Error("HTTP initialisation failed");
  });
}

// What the callbacks collect during one exchange.
struct Exchange {
  std::string body;
  std::string reason;
  bool bodyTooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const size_t bytes = size * count;
  if (exchange->body.size() + bytes > kMaxReplyBody) {
    exchange->bodyTooLarge = true;
    return 0;  // aborts the transfer
  }
  exchange->body.append(data, bytes);
  return bytes;
}

// Keeps the reason phrase of the latest status line ("HTTP/1.1 200 OK").
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  const size_t bytes = size * count;
  std::string_view line(data, bytes);
  if (line.substr(0, 5) == "HTTP/") {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    exchange->reason.clear();
    const size_t first = line.find(' ');
    if (first != std::string_view::npos) {
      const size_t second = line.find(' ', first + 1);
      if (second != std::string_view::npos) exchange->reason = std::string(line.substr(second + 1));
    }
  }
  return bytes;
}

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
  void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};

void RunWhileWaiting(const std::function<void()>& work) {
  try {
    work();
  } catch (...) {
    // The caller's work reports its own failures; the exchange goes on.
  }
}

// Runs the exchange of |curl| to its end. With |whileWaiting|, the exchange
// is driven step by step and the work runs once the whole body is sent, so
// it overlaps the server's handling of the request; a multi handle of the
// exchange's own keeps connections from outliving it.
CURLcode Perform(CURL* curl, size_t bodySize, const std::function<void()>& whileWaiting) {
  if (!whileWaiting) return curl_easy_perform(curl);
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!multi || curl_multi_add_handle(multi.get(), curl) != CURLM_OK) {
    RunWhileWaiting(whileWaiting);
    return CURLE_OUT_OF_MEMORY;
  }
  bool waited = false;
  int running = 1;
  CURLcode result = CURLE_OK;
  while (running > 0) {
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    if (!waited && running > 0) {
      curl_off_t sent = 0;
      curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &sent);
      if (sent >= static_cast<curl_off_t>(bodySize)) {
        waited = true;
        RunWhileWaiting(whileWaiting);
        continue;  // the reply may have come meanwhile
      }
    }
    if (running > 0 && curl_multi_poll(multi.get(), nullptr, 0, 1000, nullptr) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
  }
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
    if (message->msg == CURLMSG_DONE && message->easy_handle == curl) result = message->data.result;
  }
  curl_multi_remove_handle(multi.get(), curl);
  if (!waited) RunWhileWaiting(whileWaiting);
  return result;
}
// The PEM file of QX_TLS_CA_FILE (a shop's own RT server certificate or the
// CA that signed it), or the empty text when the knob is unset.
std::string ExtraTrustFile() {
  const char* value = std::getenv("QX_TLS_CA_FILE");
  return value == nullptr ? std::string() : std::string(value);
}

// Adds the certificates of the file to the store libcurl has already filled
// from the system, so they are trusted in addition to it.
CURLcode AddExtraTrust(CURL*, void* sslContext, void* file) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  const char* path = static_cast<const std::string*>(file)->c_str();
  return X509_STORE_load_locations(store, path, nullptr) == 1 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

// The transport's failure text; a certificate failure names its cause and
// what to do.
std::string FailureText(CURLcode code, const char* detail, const std::string& trustFile) {
  std::string text = curl_easy_strerror(code);
  if (code != CURLE_PEER_FAILED_VERIFICATION && code != CURLE_SSL_CACERT_BADFILE) return text;
  if (detail[0] != '\0') text += std::string(": ") + detail;
  if (code == CURLE_PEER_FAILED_VERIFICATION) {
    text += trustFile.empty()
                ? " (to trust the server's own certificate, name it or its CA in QX_TLS_CA_FILE)"
                : " (not trusted by the system nor by QX_TLS_CA_FILE " + trustFile + ")";
  } else if (code == CURLE_SSL_CACERT_BADFILE && !trustFile.empty()) {
    text += " (QX_TLS_CA_FILE " + trustFile + " is not a readable PEM file)";
  }
  return text;
}

struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

curl_slist* AppendHeader(curl_slist* list, const char* header) {
  curl_slist* extended = curl_slist_append(list, header);
  if (extended == nullptr) {
    curl_slist_free_all(list);
    throw Error("Out of memory building the HTTP request");
  }
  return extended;
}

}  // namespace

HttpReply PostXml(const HttpPost& request) {
  InitCurlOnce();
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) throw Error("HTTP initialisation failed");
  CURL* curl = handle.get();

  // "Expect:" and "Accept:" with no value keep libcurl from sending them.
  curl_slist* list = nullptr;
  list = AppendHeader(list, "Content-Type: application/soap+xml; charset=utf-8");
  list = AppendHeader(list, "Expect:");
  list = AppendHeader(list, "Accept:");
  std::unique_ptr<curl_slist, HeaderListDeleter> headers(list);

  Exchange exchange;
  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
  curl_easy_setopt(curl, CURLOPT_USERNAME, request.user.c_str());
  curl_easy_setopt(curl, CURLOPT_PASSWORD, request.password.c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, request.connectTimeoutSeconds);
  // No data for idleTimeoutSeconds (below one byte per second) ends the exchange.
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, request.idleTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.deadlineMillis));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &exchange);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange);
  char detail[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
  const std::string trustFile = ExtraTrustFile();
  if (!trustFile.empty()) {
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, AddExtraTrust);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &trustFile);
  }

  const CURLcode code = Perform(curl, request.body.size(), request.whileWaiting);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);

  HttpReply reply;
  reply.status = static_cast<int>(status);
  if (exchange.bodyTooLarge) {
    reply.reason = "Reply body too large";
  } else if (code != CURLE_OK) {
    reply.reason = FailureText(code, detail, trustFile);
  } else {
    reply.reason = std::move(exchange.reason);
    reply.body = std::move(exchange.body);
    reply.success = status >= 200 && status < 300;
  }
  return reply;
}

}  // namespace qx
