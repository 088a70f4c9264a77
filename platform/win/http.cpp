// One HTTP POST exchange through WinHTTP: a session, connection and request
// of the exchange's own, closed at its end, so no connection survives it.
// Failures without a reply carry the same texts as on the other systems, so
// the server's error list reads alike wherever the library runs.
#include "platform/http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/error.h"
#include "platform/threads.h"
#include "platform/win/trust.h"
#include "platform/win/wide.h"

namespace qx {
namespace {

// Wine reports a time-out and an untrusted certificate with the Winsock and
// schannel codes where Windows uses WinHTTP's own; both read alike.
constexpr DWORD kWineTimeout = 10060;
constexpr DWORD kWineUntrustedCertificate = 12157;

// A refused server certificate: what is wrong with it, when known, and where
// trust could come from.
std::string CertificateFailureText(const std::string& detail, const std::string& trustFile) {
  std::string text = "SSL peer certificate or SSH remote key was not OK";
  if (!detail.empty()) text += ": " + detail;
  text += trustFile.empty()
              ? " (to trust the server's own certificate, name it or its CA in QX_TLS_CA_FILE)"
              : " (not trusted by the system nor by QX_TLS_CA_FILE " + trustFile + ")";
  return text;
}

std::string TransportErrorText(DWORD code, const std::string& trustFile) {
  switch (code) {
    case ERROR_WINHTTP_TIMEOUT:
    case kWineTimeout:
      return "Timeout was reached";
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_CONNECTION_ERROR:
      return "Couldn't connect to server";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return "Couldn't resolve host name";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
    case ERROR_WINHTTP_INVALID_URL:
      return "URL using bad/illegal format or missing URL";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case kWineUntrustedCertificate:
      return CertificateFailureText(std::string(), trustFile);
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return "Weird server reply";
    default:
      return win::SystemErrorText(code, GetModuleHandleW(L"winhttp.dll"));
  }
}

struct InternetDeleter {
  void operator()(void* handle) const { WinHttpCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetDeleter>;

std::string Base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
  }
  return text;
}

void RunWhileWaiting(const std::function<void()>& work) {
  if (!work) return;
  try {
    work();
  } catch (...) {
    // The caller's work reports its own failures; the exchange goes on.
  }
}

// Time left of the exchange's deadline, in milliseconds, at least 1.
class Deadline {
 public:
  explicit Deadline(int64_t millis)
      : fEnd(std::chrono::steady_clock::now() + std::chrono::milliseconds(millis)) {}
  int Left() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        fEnd - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(1, left.count()));
  }
  bool Passed() const { return std::chrono::steady_clock::now() >= fEnd; }

 private:
  std::chrono::steady_clock::time_point fEnd;
};

// Bounds the next wait for data by the idle limit and the time left. WinHTTP
// under Wine ignores WinHttpSetTimeouts' receive value while it waits for the
// reply's headers; the option of its own is honoured.
void LimitNextWait(HINTERNET request, long idleSeconds, const Deadline& deadline) {
  DWORD millis = static_cast<DWORD>(std::min<long long>(idleSeconds * 1000LL, deadline.Left()));
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &millis, sizeof millis);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &millis, sizeof millis);
  WinHttpSetOption(request, WINHTTP_OPTION_SEND_TIMEOUT, &millis, sizeof millis);
}

std::wstring QueryHeader(HINTERNET request, DWORD info) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0) return std::wstring();
  std::wstring text(bytes / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return std::wstring();
  }
  text.resize(bytes / sizeof(wchar_t));
  return text;
}

HttpReply Failure(std::string reason) {
  HttpReply reply;
  reply.reason = std::move(reason);
  return reply;
}

// Keeps the credentials and the body of a request off any connection whose
// server certificate has not passed the check against the extra trusted
// certificates. WinHTTP shows a connection's certificate only once a
// request's headers are built for it, so the first request on a connection
// is a bare one; the real request follows on that connection once its
// certificate passed. A connection opened later loses the credentials before
// headers are built for it, and the request on it is abandoned.
struct ConnectionGuard {
  ConnectionGuard(std::unique_ptr<win::ExtraTrust> extraTrust, std::wstring serverHost)
      : trust(std::move(extraTrust)), host(std::move(serverHost)) {}

  const std::unique_ptr<win::ExtraTrust> trust;
  const std::wstring host;
  bool carriesSecrets = false;      // the send under way has credentials on it
  bool opened = false;              // it opened a connection
  bool trusted = false;             // that connection's certificate passed
  std::string refusal;              // what was wrong with the certificate
  std::atomic<bool> closed{false};  // the check closed the request; set last
};

// An exchange in WinHTTP's asynchronous mode, so that one deadline holds
// whatever the server does: each operation is started, and the exchange's
// thread waits for its completion with the time left; a server that drips
// headers or a body without end cannot hold it past the deadline. WinHTTP's
// callback threads record each completion here and signal. The state (with
// the buffers WinHTTP reads from and fills, and the certificate check its
// callbacks run) lives until WinHTTP reports the request handle closing, so
// no late callback touches freed memory.
struct AsyncRequest {
  HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE closing = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HINTERNET request = nullptr;
  std::atomic<bool> requestClosed{false};
  DWORD status = 0;                      // the last completion
  DWORD error = 0;                       // a failed operation's cause
  DWORD bytes = 0;                       // read or written
  bool timedOut = false;                 // the exchange's thread gave up waiting
  std::string body;                      // the request's body, WinHTTP's until the close
  std::optional<ConnectionGuard> guard;  // for a server trusted through QX_TLS_CA_FILE
  char buffer[65536];
  ~AsyncRequest() {
    if (done != nullptr) CloseHandle(done);
    if (closing != nullptr) CloseHandle(closing);
  }
  // Closes the request handle, once, whichever thread gets there first.
  void CloseRequest() {
    if (!requestClosed.exchange(true)) WinHttpCloseHandle(request);
  }
  // Ends the operation under way as failed.
  void Fail(DWORD code) {
    error = code;
    status = WINHTTP_CALLBACK_STATUS_REQUEST_ERROR;
    SetEvent(done);
  }
};

bool ServerIsTrusted(HINTERNET request, ConnectionGuard& guard) {
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof certificate;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) ||
      certificate == nullptr) {
    guard.refusal = "the server's certificate cannot be read";
    return false;
  }
  guard.refusal = guard.trust->Refusal(certificate, guard.host);
  CertFreeCertificateContext(certificate);
  return guard.refusal.empty();
}

// The certificate check, as WinHTTP opens a connection and builds a
// request's headers for it.
void GuardConnection(HINTERNET request, DWORD status, AsyncRequest& state) {
  ConnectionGuard& guard = *state.guard;
  if (guard.closed) return;
  if (status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER) {
    guard.opened = true;
    guard.trusted = false;
    WinHttpAddRequestHeaders(request, L"Authorization:", static_cast<DWORD>(-1),
                             WINHTTP_ADDREQ_FLAG_REPLACE);
    return;
  }
  guard.trusted = ServerIsTrusted(request, guard);
  if (guard.trusted && !(guard.carriesSecrets && guard.opened)) return;
  // Stops the send where WinHTTP still can; where it cannot, nothing secret
  // is on it.
  guard.closed = true;
  state.CloseRequest();
  state.Fail(ERROR_WINHTTP_OPERATION_CANCELLED);
}

void CALLBACK OnAsyncStatus(HINTERNET request, DWORD_PTR context, DWORD status, void* info,
                            DWORD length) {
  auto* state = reinterpret_cast<AsyncRequest*>(context);
  if (state == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      SetEvent(state->closing);
      return;
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
    case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
      if (state->guard) GuardConnection(request, status, *state);
      return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      state->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      state->bytes = length;
      break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
    case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
      state->bytes = info != nullptr ? *static_cast<DWORD*>(info) : 0;
      break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      break;
    default:
      return;
  }
  state->status = status;
  SetEvent(state->done);
}

// Waits for the operation just started to reach |expected|. False with
// |error| set when it failed, or when the idle limit or the deadline passed.
bool Await(AsyncRequest& state, DWORD expected, long idleSeconds, const Deadline& deadline,
           DWORD& error) {
  const DWORD millis =
      static_cast<DWORD>(std::min<long long>(idleSeconds * 1000LL, deadline.Left()));
  if (WaitForSingleObject(state.done, millis) != WAIT_OBJECT_0) {
    state.timedOut = true;
    error = ERROR_WINHTTP_TIMEOUT;
    return false;
  }
  if (state.status != expected) {
    error = state.status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR ? state.error
                                                                  : ERROR_WINHTTP_CONNECTION_ERROR;
    return false;
  }
  return true;
}

// The handles of an asynchronous exchange and its state. Closing the request
// cancels what is pending; the state is freed once WinHTTP says the handle is
// closing, and left to the process should it never say so. An exchange given
// up at its deadline is closed on a thread of its own: some WinHTTP versions
// finish a pending read before they close, and the server may drip for long.
class AsyncExchange {
 public:
  AsyncExchange(InternetHandle session, InternetHandle connection, AsyncRequest* state)
      : fSession(std::move(session)), fConnection(std::move(connection)), fState(state) {}
  ~AsyncExchange() {
    if (fState->timedOut) {
      try {
        LibraryThread([session = fSession.get(), connection = fConnection.get(), state = fState] {
          NameCurrentThread("qx-http-close");
          Close(session, connection, state, kAbandonedClosingWaitMillis);
        }).Detach();
        // The thread's own now.
        (void)fSession.release();
        (void)fConnection.release();
        return;
      } catch (...) {
        // No thread: the exchange's own thread closes it.
      }
    }
    Close(fSession.release(), fConnection.release(), fState, kClosingWaitMillis);
  }
  AsyncExchange(const AsyncExchange&) = delete;
  AsyncExchange& operator=(const AsyncExchange&) = delete;

 private:
  static constexpr DWORD kClosingWaitMillis = 5000;
  static constexpr DWORD kAbandonedClosingWaitMillis = 10 * 60 * 1000;

  static void Close(HINTERNET session, HINTERNET connection, AsyncRequest* state,
                    DWORD waitMillis) {
    state->CloseRequest();
    if (WaitForSingleObject(state->closing, waitMillis) == WAIT_OBJECT_0) delete state;
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
  }

  InternetHandle fSession;
  InternetHandle fConnection;
  AsyncRequest* fState;
};

// Starts a send of the request with |headers| added (none: null) and
// |total| body bytes announced, |size| of them from the state's body, and
// waits for it. False with |error| set.
bool SendAsync(AsyncRequest& state, const wchar_t* headers, DWORD size, DWORD total, long idle,
               const Deadline& deadline, DWORD& error) {
  if (!WinHttpSendRequest(state.request, headers, headers == nullptr ? 0 : static_cast<DWORD>(-1),
                          size == 0 ? WINHTTP_NO_REQUEST_DATA : state.body.data(), size, total,
                          reinterpret_cast<DWORD_PTR>(&state))) {
    error = GetLastError();
    return false;
  }
  return Await(state, WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, idle, deadline, error);
}

// Writes the state's body, for a request sent without it.
bool WriteBodyAsync(AsyncRequest& state, long idle, const Deadline& deadline, DWORD& error) {
  for (size_t offset = 0; offset < state.body.size(); offset += state.bytes) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(state.body.size() - offset, 1u << 20));
    if (!WinHttpWriteData(state.request, state.body.data() + offset, chunk, nullptr)) {
      error = GetLastError();
      return false;
    }
    if (!Await(state, WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE, idle, deadline, error)) return false;
    if (state.bytes == 0) {
      error = ERROR_WINHTTP_CONNECTION_ERROR;
      return false;
    }
  }
  return true;
}

// Waits for the reply's headers.
bool AwaitHeaders(AsyncRequest& state, long idle, const Deadline& deadline, DWORD& error) {
  if (!WinHttpReceiveResponse(state.request, nullptr)) {
    error = GetLastError();
    return false;
  }
  return Await(state, WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, idle, deadline, error);
}

// Reads the reply body to its end. False (with |error| set) on a transport
// failure; |tooLarge| when it passes the size cap.
bool ReadBodyAsync(AsyncRequest& state, long idle, const Deadline& deadline, std::string& body,
                   bool& tooLarge, DWORD& error) {
  for (;;) {
    // Asks what has arrived, then reads just that: a read for more would
    // wait for it, out of the deadline's reach.
    if (!WinHttpQueryDataAvailable(state.request, nullptr)) {
      error = GetLastError();
      return false;
    }
    if (!Await(state, WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE, idle, deadline, error)) return false;
    if (state.bytes == 0) return true;
    const DWORD available = std::min<DWORD>(state.bytes, sizeof state.buffer);
    if (!WinHttpReadData(state.request, state.buffer, available, nullptr)) {
      error = GetLastError();
      return false;
    }
    if (!Await(state, WINHTTP_CALLBACK_STATUS_READ_COMPLETE, idle, deadline, error)) return false;
    if (state.bytes == 0) return true;
    if (body.size() + state.bytes > kMaxReplyBody) {
      tooLarge = true;
      return true;
    }
    body.append(state.buffer, state.bytes);
    // A server that drips its body keeps every single read short.
    if (deadline.Passed()) {
      error = ERROR_WINHTTP_TIMEOUT;
      return false;
    }
  }
}

// The reply to a request whose body is out.
HttpReply ReadReplyAsync(AsyncRequest& state, long idle, const Deadline& deadline,
                         const std::string& trustFile) {
  DWORD error = 0;
  if (!AwaitHeaders(state, idle, deadline, error))
    return Failure(TransportErrorText(error, trustFile));
  DWORD status = 0;
  DWORD statusBytes = sizeof status;
  if (!WinHttpQueryHeaders(state.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return Failure(TransportErrorText(GetLastError(), trustFile));
  }
  HttpReply reply;
  reply.status = static_cast<int>(status);
  std::string body;
  bool tooLarge = false;
  if (!ReadBodyAsync(state, idle, deadline, body, tooLarge, error)) {
    reply.reason = TransportErrorText(error, trustFile);
  } else if (tooLarge) {
    reply.reason = "Reply body too large";
  } else {
    reply.reason = win::Narrow(QueryHeader(state.request, WINHTTP_QUERY_STATUS_TEXT));
    reply.body = std::move(body);
    reply.success = status >= 200 && status < 300;
  }
  return reply;
}

constexpr char kConnectionNotKept[] =
    "Server did not keep the connection its certificate was checked on";
constexpr wchar_t kContentType[] = L"Content-Type: application/soap+xml; charset=utf-8\r\n";

// One send of the checked request with |headers| added and |total| body
// bytes announced, none given. False with |failure| set when it did not go
// out over a trusted connection it may use.
bool SendGuarded(AsyncRequest& state, const wchar_t* headers, DWORD total, long idle,
                 const Deadline& deadline, const std::string& trustFile, HttpReply& failure) {
  ConnectionGuard& guard = *state.guard;
  guard.opened = false;
  DWORD error = 0;
  const bool sent = SendAsync(state, headers, 0, total, idle, deadline, error);
  if (guard.closed) {
    failure = Failure(guard.trusted ? kConnectionNotKept
                                    : CertificateFailureText(guard.refusal, trustFile));
  } else if (!sent) {
    failure = Failure(TransportErrorText(error, trustFile));
  } else if (!guard.trusted) {
    failure = Failure(CertificateFailureText(guard.refusal, trustFile));
  } else {
    return true;
  }
  return false;
}

// Sends the request and its body over a connection whose certificate passed
// the state's guard: a bare request (no credentials, no body) opens it and
// has its certificate checked, its reply is read and dropped, then the real
// request goes out on the same connection. False with |failure| set.
bool SendChecked(AsyncRequest& state, const HttpPost& post, const std::wstring& authorization,
                 const Deadline& deadline, const std::string& trustFile, HttpReply& failure) {
  const long idle = post.idleTimeoutSeconds;
  DWORD error = 0;
  DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  if (!WinHttpSetOption(state.request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
    failure = Failure(TransportErrorText(GetLastError(), trustFile));
    return false;
  }
  if (!SendGuarded(state, kContentType, 0, idle, deadline, trustFile, failure)) return false;
  std::string dropped;
  bool tooLarge = false;
  if (!AwaitHeaders(state, idle, deadline, error) ||
      !ReadBodyAsync(state, idle, deadline, dropped, tooLarge, error)) {
    failure = Failure(TransportErrorText(error, trustFile));
    return false;
  }
  if (tooLarge) {
    failure = Failure("Reply body too large");
    return false;
  }

  state.guard->carriesSecrets = true;
  const std::wstring headers =
      authorization + L"Content-Length: " + std::to_wstring(post.body.size()) + L"\r\n";
  if (!WinHttpAddRequestHeaders(state.request, headers.c_str(), static_cast<DWORD>(-1),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
    failure = Failure(TransportErrorText(GetLastError(), trustFile));
    return false;
  }
  state.body = post.body;
  const DWORD size = static_cast<DWORD>(state.body.size());
  if (!SendGuarded(state, nullptr, size, idle, deadline, trustFile, failure)) return false;
  if (!WriteBodyAsync(state, idle, deadline, error)) {
    failure = Failure(TransportErrorText(error, trustFile));
    return false;
  }
  return true;
}

// The exchange of a request and its reply; with a guard, over a checked
// connection.
HttpReply Exchange(AsyncRequest& state, const HttpPost& post, const std::wstring& authorization,
                   const Deadline& deadline, const std::string& trustFile,
                   const std::function<void()>& wait) {
  const long idle = post.idleTimeoutSeconds;
  if (state.guard) {
    HttpReply failure;
    if (!SendChecked(state, post, authorization, deadline, trustFile, failure)) {
      wait();
      return failure;
    }
  } else {
    state.body = post.body;
    const DWORD size = static_cast<DWORD>(state.body.size());
    const std::wstring headers = kContentType + authorization;
    DWORD error = 0;
    if (!SendAsync(state, headers.c_str(), size, size, idle, deadline, error)) {
      wait();
      return Failure(TransportErrorText(error, trustFile));
    }
  }
  // The body is out: the caller's work overlaps the server's handling.
  wait();
  HttpReply reply = ReadReplyAsync(state, idle, deadline, trustFile);
  // WinHTTP sends again only for redirects and logons, both turned off; were
  // it to send on a new connection, the guard abandons that request.
  if (state.guard && state.guard->closed) return Failure(kConnectionNotKept);
  return reply;
}

}  // namespace

HttpReply PostXml(const HttpPost& request) {
  const Deadline deadline(request.deadlineMillis);
  bool waited = false;
  const auto wait = [&] {
    if (!waited) RunWhileWaiting(request.whileWaiting);
    waited = true;
  };
  std::string trustFile;
  const auto fail = [&](DWORD code) {
    wait();
    return Failure(TransportErrorText(code, trustFile));
  };

  const std::wstring url = win::Wide(request.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
    return fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
  }
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  trustFile = secure ? win::ExtraTrustFile() : std::string();
  std::unique_ptr<win::ExtraTrust> trust;
  try {
    if (secure && !trustFile.empty()) trust = std::make_unique<win::ExtraTrust>(trustFile);
  } catch (const Error&) {
    wait();
    return Failure("Problem with the SSL CA cert (path? access rights?) (QX_TLS_CA_FILE " +
                   trustFile + " is not a readable PEM file)");
  }
  if (request.body.size() > 0xFFFFFFFFu) return fail(ERROR_NOT_ENOUGH_MEMORY);

  // No agent name: the request then carries no User-Agent header. The
  // exchange runs asynchronously, under one deadline.
  InternetHandle session(WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                     WINHTTP_FLAG_ASYNC));
  if (!session) return fail(GetLastError());
  const int idleMillis =
      static_cast<int>(std::min<long long>(request.idleTimeoutSeconds * 1000LL, deadline.Left()));
  const int connectMillis = static_cast<int>(
      std::min<long long>(request.connectTimeoutSeconds * 1000LL, deadline.Left()));
  WinHttpSetTimeouts(session.get(), connectMillis, connectMillis, idleMillis, idleMillis);

  InternetHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return fail(GetLastError());
  InternetHandle handle(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           secure ? WINHTTP_FLAG_SECURE : 0));
  if (!handle) return fail(GetLastError());
  HINTERNET req = handle.get();

  // Like the other systems' client: no redirects followed, no cookies, no
  // connection kept for a later exchange (the session ends with this one;
  // a checked exchange keeps its one connection for its two requests), no
  // automatic logon.
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(req, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
  DWORD disable = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_AUTHENTICATION |
                  (trust ? 0 : WINHTTP_DISABLE_KEEP_ALIVE);
  WinHttpSetOption(req, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);
  LimitNextWait(req, request.idleTimeoutSeconds, deadline);

  auto* state = new AsyncRequest;
  if (trust) state->guard.emplace(std::move(trust), host);
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(state);
  const DWORD notifications =
      WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES |
      (state->guard ? WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SEND_REQUEST
                    : 0);
  if (state->done == nullptr || state->closing == nullptr ||
      !WinHttpSetOption(req, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) ||
      WinHttpSetStatusCallback(req, OnAsyncStatus, notifications, 0) ==
          WINHTTP_INVALID_STATUS_CALLBACK) {
    const DWORD error = GetLastError();
    delete state;
    return fail(error);
  }
  state->request = handle.release();
  const AsyncExchange exchange(std::move(session), std::move(connection), state);

  // Basic authentication goes with the request itself, without waiting to
  // be challenged.
  const std::wstring authorization =
      L"Authorization: Basic " + win::Wide(Base64(request.user + ":" + request.password)) + L"\r\n";
  return Exchange(*state, request, authorization, deadline, trustFile, wait);
}

}  // namespace qx
