// The RT server simulator: a stand-in for the networked fiscal register that
// answers the SOAP requests of the driver on "/cgi-bin/fpmate.cgi" and
// "/cgi-bin/fpserver.cgi", keeps a fiscal day per till, and can be told to
// misbehave (refusals, HTTP errors, delays, dropped connections, broken
// replies). Tests start it in-process on a free loopback port; the rtsim
// program wraps the same class for people and hosts.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/currency.h"

namespace qx::rtsim {

// The fiscal state of one till.
struct TillState {
  std::string id;
  bool dayOpen = false;
  int32_t zRepNumber = 1;       // number of the running (or next) day's Z report
  int32_t nextDocNumber = 1;    // number the next receipt of the day gets
  Currency dailyAmount;         // sum of the day's sale receipts (document type "0")
  std::string lastFingerPrint;  // receiptSecurity digest of the last accepted receipt
};

// Totals of one VAT department of a till's day.
struct VatTotals {
  int32_t vatId = 0;
  Currency sales, refunds, voids;
};

// A till's day as a Z report gives it.
struct ZReport {
  std::string tillId;
  int32_t zRepNumber = 0;
  std::string zRepDate;  // yyyymmdd
  int32_t recNumber = 0;
  Currency dailyAmount;
  std::vector<VatTotals> vats;  // departments with activity, by vatId
};

struct Config {
  std::string listenHost = "127.0.0.1";
  int port = 0;      // 0: a free port
  std::string user;  // empty: no authentication asked
  std::string password;
  std::string serialNumber = "99SIM000001";  // 11 characters in tokens
  std::vector<std::string> headerLines = {"SIMULATED SHOP", "1 MAIN STREET", "VAT 01234567890"};
  // Rate texts of departments 1 to 9 ("0000": not in use).
  std::array<std::string, 9> vatRates = {"2200", "1000", "0500", "0400", "0000",
                                         "0000", "0000", "0000", "0000"};
  std::vector<TillState> tills;
  int32_t serverZRepNumber = 0;  // the server's own last printed Z report
  std::string rtType = "S";
  std::string mainStatus = "2";
  std::string subStatus = "8";
  std::string expiryCD = "20301231";
  std::string expiryCA = "20301231";
  bool trainingMode = false;
  std::string clock;      // fixed reply data of the clock command; empty: now
  std::string tokenDate;  // fixed yyyymmdd in tokens and reports; empty: today
  bool logRequests = false;
  // PEM certificate and private key: both set, the simulator serves HTTPS.
  std::string certFile;
  std::string keyFile;
  // Requests served on one connection before the server closes it.
  int32_t requestsPerConnection = 1;
};

// Sets one configuration value by its option name (the names of the --help
// text, without "--"). Raises qx::Error with a message naming the problem.
void SetConfigValue(Config& config, std::string_view key, std::string_view value);
// Reads "key = value" lines ('#' starts a comment line) into |config|.
void LoadConfigFile(Config& config, const std::string& path);
// Parses "T01 open z=12 doc=5 amount=10.50" (all but the id optional).
TillState ParseTill(std::string_view text);
// The program's --help text, with the control end point.
std::string HelpText();

enum class FaultKind {
  Refuse,       // response success="false" with code and status
  HttpStatus,   // an HTTP error status, no SOAP body
  Delay,        // wait, then answer normally
  Drop,         // close the connection without any reply
  Garbage,      // a 200 reply with |text| as its body (default: not well-formed XML)
  SoapFault,    // a SOAP fault in the Body, no response element
  OmitElement,  // answer normally but leave out every element named |element|
  Reply,        // answer success="true" with |text| as the addInfo content
};

// A misbehaviour for requests of one kind ("*": any). Kinds: serverInfo, 3216,
// 4205, 4201, 2050, printZReport, tillMap, createToken, zReport,
// fiscalInformation, createReceipt, createDailyClosure, unknown.
struct Fault {
  FaultKind kind = FaultKind::Refuse;
  std::string match = "*";
  int count = 1;  // requests it applies to; -1: until cleared
  int after = 0;  // matching requests let through untouched before it applies
  std::string code = "-20";
  std::string status = "Simulated refusal";
  int httpStatus = 503;
  int delayMs = 0;
  std::string element;  // OmitElement
  std::string text;     // Reply: addInfo content; Garbage: the whole body
};

// Builds a fault from control parameters (kind, match, count, after, code,
// status, http, ms, element, text). Raises qx::Error on an unknown kind or bad number.
Fault ParseFault(const std::map<std::string, std::string>& params);

// One request as it arrived.
struct RecordedRequest {
  std::string path;
  std::string kind;
  std::string body;     // the posted text, unchanged
  std::string command;  // the markup of the Body's request element
  std::string authorization;
  std::string contentType;
  std::vector<std::pair<std::string, std::string>> headers;
};

class Simulator {
 public:
  explicit Simulator(Config config = Config());
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds (port 0: a free one) and serves on a thread of its own. Raises
  // qx::Error when the address cannot be bound.
  void Start();
  // Stops serving; waits for requests in progress (delays are cut short).
  void Stop();
  int Port() const;
  // "http://127.0.0.1" (without the port, as a host passes it to OPENTILL).
  std::string BaseAddress() const;

  void AddFault(const Fault& fault);
  void ClearFaults();

  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  // Each request as one line, when set (the program prints them).
  void SetLogSink(std::function<void(const std::string&)> sink);

  // Changes the configuration (headers, VAT rates, serial number, ...) for
  // the requests that follow.
  void Configure(const std::function<void(Config&)>& change);
  // State access; tills are created by the first request that names them.
  std::optional<TillState> Till(const std::string& id) const;
  std::vector<TillState> Tills() const;
  void SetTill(const TillState& till);
  // The running report of a till's day (what fiscalInformation answers).
  std::optional<ZReport> CurrentReport(const std::string& id) const;
  // A closed report by number.
  std::optional<ZReport> ClosedReport(const std::string& id, int32_t zRepNumber) const;
  int32_t ServerZRepNumber() const;
  // The state as text (the control end point's /rtsim/state).
  std::string StateText() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qx::rtsim
