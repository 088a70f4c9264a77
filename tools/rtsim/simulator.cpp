// The simulator's HTTP side: the two CGI end points with basic
// authentication, fault injection, the request log and the control end point.
#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/xml.h"
#include "tools/rtsim/fiscal.h"
#include "tools/rtsim/rtsim.h"

namespace qx::rtsim {

namespace {

constexpr const char* kFpMatePath = "/cgi-bin/fpmate.cgi";
constexpr const char* kFpServerPath = "/cgi-bin/fpserver.cgi";
constexpr const char* kReplyContentType = "text/xml; charset=utf-8";
constexpr const char* kWrongEndPoint = "-13";

std::string Envelope(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\">"
         "<soapenv:Body>" +
         body + "</soapenv:Body></soapenv:Envelope>";
}

std::string AttributeEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string ReplyText(const Answer& answer) {
  if (!answer.success) {
    return Envelope("<response success=\"false\" code=\"" + AttributeEscape(answer.code) +
                    "\" status=\"" + AttributeEscape(answer.status) + "\"/>");
  }
  return Envelope("<response success=\"true\" code=\"\" status=\"\"><addInfo>" + answer.addInfo +
                  "</addInfo></response>");
}

// Removes every element of that name (qualified or local) from a reply.
std::string WithoutElement(const std::string& reply, const std::string& name) {
  XmlDocument document;
  document.LoadXml(reply);
  std::vector<pugi::xml_node> doomed;
  struct Collector : pugi::xml_tree_walker {
    const std::string& name;
    std::vector<pugi::xml_node>& doomed;
    Collector(const std::string& n, std::vector<pugi::xml_node>& d) : name(n), doomed(d) {}
    bool for_each(pugi::xml_node& node) override {
      if (node.type() == pugi::node_element) {
        XmlElement element(node);
        if (element.NodeName() == name || element.LocalName() == name) doomed.push_back(node);
      }
      return true;
    }
  } collector(name, doomed);
  XmlElement root = document.DocumentElement();
  if (root.NodeName() == name || root.LocalName() == name) return std::string();
  root.Native().traverse(collector);
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) it->parent().remove_child(*it);
  return document.Text();
}

std::string Base64(std::string_view text) {
  std::string out(4 * ((text.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  out.resize(length);
  return out;
}

uint16_t PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  }
  return 0;
}

// Ends the connection a request came on without a reply. The HTTP library
// does not hand its sockets to handlers, so the socket is found among the
// process's descriptors by its two ports.
void DropConnection(int localPort, int remotePort) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
    if (PortOf(local) == localPort && PortOf(peer) == remotePort) {
      shutdown(fd, SHUT_RDWR);
      break;
    }
  }
  closedir(dir);
}

std::string ParamsText(const httplib::Request& request) {
  std::string text;
  for (const auto& [key, value] : request.params) {
    if (!text.empty()) text += " ";
    text += key + "=" + value;
  }
  return text;
}

}  // namespace

class Simulator::Impl {
 public:
  explicit Impl(Config config) : fiscal_(std::move(config)) {}

  void Start();
  void Stop();

  mutable std::mutex mutex_;
  FiscalRegister fiscal_;
  std::deque<Fault> faults_;
  std::vector<RecordedRequest> requests_;
  std::function<void(const std::string&)> logSink_;
  std::condition_variable stopping_;
  bool stopRequested_ = false;
  bool running_ = false;
  int port_ = 0;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;

 private:
  void Serve(const httplib::Request& request, httplib::Response& response, bool fpMate);
  void Control(const std::string& action, const httplib::Request& request,
               httplib::Response& response);
  std::optional<Fault> TakeFault(const std::string& kind);
  bool Authorized(const httplib::Request& request);
  void Log(const std::string& line);
  // Waits |ms| or until Stop; false when stopped.
  bool Pause(int ms);
};

void Simulator::Impl::Start() {
  if (running_) return;
  std::string certFile;
  std::string keyFile;
  int requestsPerConnection = 1;
  {
    std::lock_guard lock(mutex_);
    certFile = fiscal_.Settings().certFile;
    keyFile = fiscal_.Settings().keyFile;
    requestsPerConnection = fiscal_.Settings().requestsPerConnection;
  }
  if (certFile.empty() != keyFile.empty()) throw Error("HTTPS needs both --cert and --key");
  if (certFile.empty()) {
    server_ = std::make_unique<httplib::Server>();
  } else {
    auto secure = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
    if (!secure->is_valid())
      throw Error("Cannot use certificate " + certFile + " and key " + keyFile);
    server_ = std::move(secure);
  }
  server_->set_keep_alive_max_count(static_cast<size_t>(requestsPerConnection));
  server_->Post(kFpMatePath, [this](const httplib::Request& request, httplib::Response& response) {
    Serve(request, response, true);
  });
  server_->Post(kFpServerPath,
                [this](const httplib::Request& request, httplib::Response& response) {
                  Serve(request, response, false);
                });
  for (const char* action : {"state", "requests"}) {
    server_->Get(std::string("/rtsim/") + action,
                 [this, action](const httplib::Request& request, httplib::Response& response) {
                   Control(action, request, response);
                 });
  }
  for (const char* action : {"fault", "clear", "reset", "config", "till"}) {
    server_->Post(std::string("/rtsim/") + action,
                  [this, action](const httplib::Request& request, httplib::Response& response) {
                    Control(action, request, response);
                  });
  }
  std::string host;
  int port = 0;
  {
    std::lock_guard lock(mutex_);
    host = fiscal_.Settings().listenHost;
    port = fiscal_.Settings().port;
    stopRequested_ = false;
  }
  if (port == 0) {
    port = server_->bind_to_any_port(host);
  } else if (!server_->bind_to_port(host, port)) {
    port = -1;
  }
  if (port <= 0) throw Error("Cannot listen on " + host);
  port_ = port;
  running_ = true;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // A stop issued before the listening loop has begun would be missed and
  // leave Stop() waiting forever; the loop starts at once, so wait for it.
  while (!server_->is_running()) std::this_thread::yield();
}

void Simulator::Impl::Stop() {
  if (!running_) return;
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  stopping_.notify_all();
  server_->stop();
  thread_.join();
  server_.reset();
  running_ = false;
}

bool Simulator::Impl::Pause(int ms) {
  std::unique_lock lock(mutex_);
  return !stopping_.wait_for(lock, std::chrono::milliseconds(ms),
                             [this] { return stopRequested_; });
}

void Simulator::Impl::Log(const std::string& line) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard lock(mutex_);
    sink = logSink_;
  }
  if (!sink) return;
  sink(FormatDateTime("hh:nn:ss", Now()) + " " + line);
}

bool Simulator::Impl::Authorized(const httplib::Request& request) {
  std::lock_guard lock(mutex_);
  const Config& config = fiscal_.Settings();
  if (config.user.empty()) return true;
  return request.get_header_value("Authorization") ==
         "Basic " + Base64(config.user + ":" + config.password);
}

std::optional<Fault> Simulator::Impl::TakeFault(const std::string& kind) {
  std::lock_guard lock(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->match != "*" && it->match != kind) continue;
    if (it->after > 0) {
      --it->after;
      return std::nullopt;
    }
    Fault fault = *it;
    if (it->count > 0 && --it->count == 0) faults_.erase(it);
    return fault;
  }
  return std::nullopt;
}

void Simulator::Impl::Serve(const httplib::Request& request, httplib::Response& response,
                            bool fpMate) {
  RecordedRequest record;
  record.path = request.path;
  record.body = request.body;
  record.authorization = request.get_header_value("Authorization");
  record.contentType = request.get_header_value("Content-Type");
  for (const auto& [name, value] : request.headers) record.headers.emplace_back(name, value);

  XmlDocument document;
  XmlElement command;
  bool parsed = true;
  try {
    document.LoadXml(request.body);
    XmlElement body = document.DocumentElement().ChildNodes().FindByName("Body");
    XmlNodeList children = body.ChildNodes();
    for (size_t i = 0; i < children.Count() && command.IsNull(); ++i) {
      if (!children.Item(i).IsText()) command = children.Item(i);
    }
  } catch (const Error&) {
    parsed = false;
  }
  const RequestKind kind = ClassifyRequest(command);
  record.kind = kind.kind;
  if (!command.IsNull()) record.command = command.Xml();
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(record);
  }
  const std::string logLine =
      "POST " + request.path + " " + kind.kind + (kind.detail.empty() ? "" : " " + kind.detail);

  if (!Authorized(request)) {
    response.status = 401;
    response.set_header("WWW-Authenticate", "Basic realm=\"rtsim\"");
    response.set_content("Authentication required", "text/plain");
    Log(logLine + " -> 401 unauthorised");
    return;
  }
  if (!parsed) {
    response.status = 400;
    response.set_content("Request is not well-formed XML", "text/plain");
    Log(logLine + " -> 400 not XML");
    return;
  }

  std::optional<Fault> fault = TakeFault(kind.kind);
  if (fault) {
    switch (fault->kind) {
      case FaultKind::Refuse: {
        Answer refusal;
        refusal.success = false;
        refusal.code = fault->code;
        refusal.status = fault->status;
        response.set_content(ReplyText(refusal), kReplyContentType);
        Log(logLine + " -> fault: refused " + fault->code);
        return;
      }
      case FaultKind::HttpStatus:
        response.status = fault->httpStatus;
        response.set_content("Simulated HTTP error", "text/plain");
        Log(logLine + " -> fault: HTTP " + std::to_string(fault->httpStatus));
        return;
      case FaultKind::Drop:
        Log(logLine + " -> fault: connection dropped");
        DropConnection(request.local_port, request.remote_port);
        return;
      case FaultKind::Garbage:
        response.set_content(fault->text.empty() ? "not xml <" : fault->text, kReplyContentType);
        Log(logLine + " -> fault: body not XML");
        return;
      case FaultKind::SoapFault:
        response.set_content(Envelope("<soapenv:Fault><faultcode>soapenv:Server</faultcode>"
                                      "<faultstring>Simulated fault</faultstring></soapenv:Fault>"),
                             kReplyContentType);
        Log(logLine + " -> fault: SOAP fault");
        return;
      case FaultKind::Reply:
        response.set_content(ReplyText(Answer{true, "", "", fault->text}), kReplyContentType);
        Log(logLine + " -> fault: set reply");
        return;
      case FaultKind::Delay:
        if (!Pause(fault->delayMs)) {
          DropConnection(request.local_port, request.remote_port);
          return;
        }
        break;
      case FaultKind::OmitElement:
        break;
    }
  }

  Answer answer;
  if (kind.kind != "unknown" && ServedByFpMate(kind.kind) != fpMate) {
    answer.success = false;
    answer.code = kWrongEndPoint;
    answer.status = "Request not served at this end point";
  } else {
    std::lock_guard lock(mutex_);
    answer = fiscal_.Handle(kind.kind, command);
  }
  std::string reply = ReplyText(answer);
  if (fault && fault->kind == FaultKind::OmitElement) reply = WithoutElement(reply, fault->element);
  response.set_content(reply, kReplyContentType);
  Log(logLine + " -> " + (answer.success ? "ok" : "refused " + answer.code + " " + answer.status) +
      (fault && fault->kind == FaultKind::OmitElement ? " (without " + fault->element + ")" : ""));
}

void Simulator::Impl::Control(const std::string& action, const httplib::Request& request,
                              httplib::Response& response) {
  try {
    std::string reply = "ok\n";
    if (action == "state") {
      std::lock_guard lock(mutex_);
      reply = fiscal_.StateText() + "faults " + std::to_string(faults_.size()) + "\nrequests " +
              std::to_string(requests_.size()) + "\n";
    } else if (action == "requests") {
      std::lock_guard lock(mutex_);
      reply.clear();
      for (const RecordedRequest& r : requests_) reply += r.path + " " + r.kind + "\n";
    } else if (action == "fault") {
      std::map<std::string, std::string> params(request.params.begin(), request.params.end());
      Fault fault = ParseFault(params);
      std::lock_guard lock(mutex_);
      faults_.push_back(std::move(fault));
    } else if (action == "clear") {
      std::lock_guard lock(mutex_);
      faults_.clear();
    } else if (action == "reset") {
      std::lock_guard lock(mutex_);
      faults_.clear();
      requests_.clear();
    } else if (action == "config") {
      std::lock_guard lock(mutex_);
      Config changed = fiscal_.Settings();
      // Forgetting the header lines comes before adding new ones.
      if (request.has_param("no-headers")) changed.headerLines.clear();
      for (const auto& [key, value] : request.params) {
        if (key != "no-headers") SetConfigValue(changed, key, value);
      }
      fiscal_.Settings() = changed;
      for (const TillState& till : changed.tills) {
        if (!fiscal_.Till(till.id)) fiscal_.SetTill(till);
      }
    } else if (action == "till") {
      TillState till = ParseTill(request.get_param_value("till"));
      std::lock_guard lock(mutex_);
      fiscal_.SetTill(till);
    }
    response.set_content(reply, "text/plain");
    Log("control " + action + (request.params.empty() ? "" : " " + ParamsText(request)));
  } catch (const Error& error) {
    response.status = 400;
    response.set_content(std::string(error.what()) + "\n", "text/plain");
  }
}

// ---------------------------------------------------------------------------

Simulator::Simulator(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Simulator::~Simulator() { Stop(); }

void Simulator::Start() { impl_->Start(); }
void Simulator::Stop() { impl_->Stop(); }
int Simulator::Port() const { return impl_->port_; }

std::string Simulator::BaseAddress() const {
  std::lock_guard lock(impl_->mutex_);
  const Config& settings = impl_->fiscal_.Settings();
  return (settings.certFile.empty() ? "http://" : "https://") + settings.listenHost;
}

void Simulator::AddFault(const Fault& fault) {
  std::lock_guard lock(impl_->mutex_);
  impl_->faults_.push_back(fault);
}

void Simulator::ClearFaults() {
  std::lock_guard lock(impl_->mutex_);
  impl_->faults_.clear();
}

std::vector<RecordedRequest> Simulator::Requests() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->requests_;
}

void Simulator::ClearRequests() {
  std::lock_guard lock(impl_->mutex_);
  impl_->requests_.clear();
}

void Simulator::SetLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(impl_->mutex_);
  impl_->logSink_ = std::move(sink);
}

void Simulator::Configure(const std::function<void(Config&)>& change) {
  std::lock_guard lock(impl_->mutex_);
  change(impl_->fiscal_.Settings());
}

std::optional<TillState> Simulator::Till(const std::string& id) const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->fiscal_.Till(id);
}

std::vector<TillState> Simulator::Tills() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->fiscal_.Tills();
}

void Simulator::SetTill(const TillState& till) {
  std::lock_guard lock(impl_->mutex_);
  impl_->fiscal_.SetTill(till);
}

std::optional<ZReport> Simulator::CurrentReport(const std::string& id) const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->fiscal_.CurrentReport(id);
}

std::optional<ZReport> Simulator::ClosedReport(const std::string& id, int32_t zRepNumber) const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->fiscal_.ClosedReport(id, zRepNumber);
}

int32_t Simulator::ServerZRepNumber() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->fiscal_.ServerZRepNumber();
}

std::string Simulator::StateText() const {
  std::lock_guard lock(impl_->mutex_);
  return impl_->fiscal_.StateText();
}

}  // namespace qx::rtsim
