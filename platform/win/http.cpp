// One HTTP POST exchange through WinHTTP: a session, connection and request
// of the exchange's own, closed at its end, so no connection survives it.
// Failures without a reply carry the same texts as on the other systems, so
// the server's error list reads alike wherever the library runs.
#include "platform/http.h"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "platform/error.h"
#include "platform/win/wide.h"

namespace qx {
namespace {

// Wine reports a time-out and an untrusted certificate with the Winsock and
// schannel codes where Windows uses WinHTTP's own; both read alike.
constexpr DWORD kWineTimeout = 10060;
constexpr DWORD kWineUntrustedCertificate = 12157;

std::string TransportErrorText(DWORD code) {
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
      return "SSL peer certificate or SSH remote key was not OK";
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

HttpReply Failure(DWORD code) {
  HttpReply reply;
  reply.reason = TransportErrorText(code);
  return reply;
}

// Reads the reply body to its end. False (with |error| set) on a transport
// failure; |tooLarge| when it passes the size cap.
bool ReadBody(HINTERNET request, long idleSeconds, const Deadline& deadline, std::string& body,
              bool& tooLarge, DWORD& error) {
  char buffer[65536];
  for (;;) {
    LimitNextWait(request, idleSeconds, deadline);
    DWORD read = 0;
    if (!WinHttpReadData(request, buffer, sizeof buffer, &read)) {
      error = GetLastError();
      return false;
    }
    if (read == 0) return true;
    if (body.size() + read > kMaxReplyBody) {
      tooLarge = true;
      return true;
    }
    body.append(buffer, read);
  }
}

}  // namespace

HttpReply PostXml(const HttpPost& request) {
  const Deadline deadline(request.deadlineMillis);
  bool waited = false;
  const auto wait = [&] {
    if (!waited) RunWhileWaiting(request.whileWaiting);
    waited = true;
  };
  const auto fail = [&](DWORD code) {
    wait();
    return Failure(code);
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

  // No agent name: the request then carries no User-Agent header.
  InternetHandle session(WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return fail(GetLastError());
  const int idleMillis =
      static_cast<int>(std::min<long long>(request.idleTimeoutSeconds * 1000LL, deadline.Left()));
  const int connectMillis = static_cast<int>(
      std::min<long long>(request.connectTimeoutSeconds * 1000LL, deadline.Left()));
  WinHttpSetTimeouts(session.get(), connectMillis, connectMillis, idleMillis, idleMillis);

  InternetHandle connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
  if (!connection) return fail(GetLastError());
  const DWORD secure = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
  InternetHandle handle(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                           secure));
  if (!handle) return fail(GetLastError());
  HINTERNET req = handle.get();

  // Like the other systems' client: no redirects followed, no cookies, no
  // connection kept for a later exchange, no automatic logon.
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(req, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
  DWORD disable =
      WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_KEEP_ALIVE | WINHTTP_DISABLE_AUTHENTICATION;
  WinHttpSetOption(req, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);
  LimitNextWait(req, request.idleTimeoutSeconds, deadline);

  // Basic authentication goes with the request itself, without waiting to
  // be challenged.
  const std::wstring headers =
      L"Content-Type: application/soap+xml; charset=utf-8\r\nAuthorization: Basic " +
      win::Wide(Base64(request.user + ":" + request.password)) + L"\r\n";
  if (request.body.size() > 0xFFFFFFFFu) return fail(ERROR_NOT_ENOUGH_MEMORY);
  const DWORD size = static_cast<DWORD>(request.body.size());
  if (!WinHttpSendRequest(req, headers.c_str(), static_cast<DWORD>(headers.size()),
                          const_cast<char*>(request.body.data()), size, size, 0)) {
    return fail(GetLastError());
  }
  // The body is out: the caller's work overlaps the server's handling.
  wait();
  LimitNextWait(req, request.idleTimeoutSeconds, deadline);
  if (!WinHttpReceiveResponse(req, nullptr)) return Failure(GetLastError());

  DWORD status = 0;
  DWORD statusBytes = sizeof status;
  if (!WinHttpQueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return Failure(GetLastError());
  }
  HttpReply reply;
  reply.status = static_cast<int>(status);
  std::string body;
  bool tooLarge = false;
  DWORD error = 0;
  if (!ReadBody(req, request.idleTimeoutSeconds, deadline, body, tooLarge, error)) {
    reply.reason = TransportErrorText(error);
  } else if (tooLarge) {
    reply.reason = "Reply body too large";
  } else {
    reply.reason = win::Narrow(QueryHeader(req, WINHTTP_QUERY_STATUS_TEXT));
    reply.body = std::move(body);
    reply.success = status >= 200 && status < 300;
  }
  return reply;
}

}  // namespace qx
