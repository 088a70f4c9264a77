// The simulator's configuration: option names shared by the command line, the
// configuration file and the control end point, fault parameters, and the
// --help text.
#include <fstream>
#include <string>

#include "platform/error.h"
#include "platform/strings.h"
#include "tools/rtsim/rtsim.h"

namespace qx::rtsim {

namespace {

int32_t ToInt(std::string_view key, std::string_view value) {
  int32_t number = 0;
  if (!TryStrToInt(value, number)) {
    throw Error("Option " + std::string(key) + ": '" + std::string(value) + "' is not a number");
  }
  return number;
}

bool ToFlag(std::string_view key, std::string_view value) {
  if (value.empty() || value == "1" || EqualsIgnoreCase(value, "true") ||
      EqualsIgnoreCase(value, "yes") || EqualsIgnoreCase(value, "on")) {
    return true;
  }
  if (value == "0" || EqualsIgnoreCase(value, "false") || EqualsIgnoreCase(value, "no") ||
      EqualsIgnoreCase(value, "off")) {
    return false;
  }
  throw Error("Option " + std::string(key) + ": '" + std::string(value) + "' is not 0 or 1");
}

// "HOST:PORT"; the port alone is also taken.
void SetListen(Config& config, std::string_view value) {
  const size_t colon = value.rfind(':');
  if (colon == std::string_view::npos) {
    config.port = ToInt("listen", value);
  } else {
    config.listenHost = std::string(value.substr(0, colon));
    config.port = ToInt("listen", value.substr(colon + 1));
  }
  if (config.port < 0 || config.port > 65535) throw Error("Option listen: port out of range");
}

// "N:RATE" with N from 1 to 9 and RATE four digits.
void SetVat(Config& config, std::string_view value) {
  const size_t colon = value.find(':');
  if (colon == std::string_view::npos) throw Error("Option vat: expected N:RATE, e.g. 1:2200");
  const int32_t department = ToInt("vat", value.substr(0, colon));
  if (department < 1 || department > 9) throw Error("Option vat: department must be 1 to 9");
  config.vatRates[department - 1] = std::string(value.substr(colon + 1));
}

std::string Unquote(std::string_view value) {
  std::string text = Trim(value);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

}  // namespace

TillState ParseTill(std::string_view text) {
  TillState till;
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ',') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  if (words.empty()) throw Error("Option till: a till id is needed");
  till.id = words[0];
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "open") {
      till.dayOpen = true;
    } else if (w == "closed") {
      till.dayOpen = false;
    } else if (StartsWith(w, "z=")) {
      till.zRepNumber = ToInt("till z", w.substr(2));
    } else if (StartsWith(w, "doc=")) {
      till.nextDocNumber = ToInt("till doc", w.substr(4));
    } else if (StartsWith(w, "amount=")) {
      till.dailyAmount = ParseCurrency(w.substr(7));
    } else {
      throw Error("Option till: unknown word '" + w + "'");
    }
  }
  return till;
}

void SetConfigValue(Config& config, std::string_view key, std::string_view rawValue) {
  const std::string value = Unquote(rawValue);
  if (key == "listen") {
    SetListen(config, value);
  } else if (key == "cert") {
    config.certFile = value;
  } else if (key == "key") {
    config.keyFile = value;
  } else if (key == "keep-alive") {
    config.requestsPerConnection = ToInt(key, value);
    if (config.requestsPerConnection < 1) throw Error("Option keep-alive: at least 1");
  } else if (key == "user") {
    config.user = value;
  } else if (key == "password") {
    config.password = value;
  } else if (key == "serial") {
    config.serialNumber = value;
  } else if (key == "header") {
    config.headerLines.push_back(value);
  } else if (key == "no-headers") {
    config.headerLines.clear();
  } else if (key == "vat") {
    SetVat(config, value);
  } else if (key == "till") {
    TillState till = ParseTill(value);
    for (TillState& existing : config.tills) {
      if (existing.id == till.id) {
        existing = till;
        return;
      }
    }
    config.tills.push_back(std::move(till));
  } else if (key == "server-z") {
    config.serverZRepNumber = ToInt(key, value);
  } else if (key == "rt-type") {
    config.rtType = value;
  } else if (key == "main-status") {
    config.mainStatus = value;
  } else if (key == "sub-status") {
    config.subStatus = value;
  } else if (key == "expiry-cd") {
    config.expiryCD = value;
  } else if (key == "expiry-ca") {
    config.expiryCA = value;
  } else if (key == "training") {
    config.trainingMode = ToFlag(key, value);
  } else if (key == "clock") {
    config.clock = value;
  } else if (key == "token-date") {
    config.tokenDate = value;
  } else if (key == "log") {
    config.logRequests = ToFlag(key, value);
  } else {
    throw Error("Unknown option '" + std::string(key) + "'");
  }
}

void LoadConfigFile(Config& config, const std::string& path) {
  std::ifstream in(path);
  if (!in) throw Error("Cannot read configuration file " + path);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      throw Error(path + ":" + std::to_string(number) + ": expected key = value");
    }
    try {
      SetConfigValue(config, Trim(line.substr(0, equals)), line.substr(equals + 1));
    } catch (const Error& error) {
      throw Error(path + ":" + std::to_string(number) + ": " + error.what());
    }
  }
}

Fault ParseFault(const std::map<std::string, std::string>& params) {
  Fault fault;
  auto it = params.find("kind");
  if (it == params.end()) throw Error("A fault needs kind=");
  const std::string& kind = it->second;
  if (kind == "refuse") {
    fault.kind = FaultKind::Refuse;
  } else if (kind == "http") {
    fault.kind = FaultKind::HttpStatus;
  } else if (kind == "delay") {
    fault.kind = FaultKind::Delay;
  } else if (kind == "drop") {
    fault.kind = FaultKind::Drop;
  } else if (kind == "garbage") {
    fault.kind = FaultKind::Garbage;
  } else if (kind == "soapfault") {
    fault.kind = FaultKind::SoapFault;
  } else if (kind == "omit") {
    fault.kind = FaultKind::OmitElement;
  } else if (kind == "reply") {
    fault.kind = FaultKind::Reply;
  } else {
    throw Error("Unknown fault kind '" + kind + "'");
  }
  for (const auto& [key, value] : params) {
    if (key == "kind") continue;
    if (key == "match") {
      fault.match = value;
    } else if (key == "count") {
      fault.count = ToInt(key, value);
    } else if (key == "after") {
      fault.after = ToInt(key, value);
    } else if (key == "code") {
      fault.code = value;
    } else if (key == "status") {
      fault.status = value;
    } else if (key == "http") {
      fault.httpStatus = ToInt(key, value);
    } else if (key == "ms") {
      fault.delayMs = ToInt(key, value);
    } else if (key == "element") {
      fault.element = value;
    } else if (key == "text") {
      fault.text = value;
    } else {
      throw Error("Unknown fault parameter '" + key + "'");
    }
  }
  if (fault.kind == FaultKind::OmitElement && fault.element.empty()) {
    throw Error("Fault omit needs element=");
  }
  return fault;
}

std::string HelpText() {
  return R"(rtsim - RT server simulator

Answers the fiscal SOAP requests of the driver on /cgi-bin/fpmate.cgi and
/cgi-bin/fpserver.cgi and keeps a fiscal day per till (open or closed, Z report
number, next document number, daily amount, per-VAT sales, refunds and voids of
the receipts it accepted). Point a host at it with OPENTILL address
"http://127.0.0.1" and the port it prints.

Usage: rtsim [options]

Options (each may also be written --name=value; a configuration file holds the
same names as "name = value" lines, '#' starts a comment line; values may be
put in double quotes to keep leading or trailing spaces):
  --help                 this text
  --config FILE          read options from FILE (at this point of the command line)
  --listen HOST:PORT     address to listen on (default 127.0.0.1:0; port 0 picks
                         a free port). Prints "listening on http://HOST:PORT".
  --cert FILE, --key FILE
                         serve HTTPS with this PEM certificate and private key
                         (both needed). Prints "listening on https://HOST:PORT".
  --keep-alive N         requests served on one connection before it is closed
                         (default 1)
  --user NAME            require HTTP basic authentication with this user ...
  --password TEXT        ... and password (no user: no authentication)
  --serial TEXT          server serial number (11 characters in tokens)
  --header TEXT          one receipt header line (repeat for each line, in order;
                         an empty value gives a blank line, which ends the header)
  --no-headers           forget the header lines given so far (and the default ones)
  --vat N:RATE           rate text of VAT department N (1-9), e.g. 1:2200; 0000 = unused
                         (default 1:2200 2:1000 3:0500 4:0400, 5-9 unused)
  --till "ID [open|closed] [z=N] [doc=N] [amount=X]"
                         a till and its state; tills are also created on first use
  --server-z N           the server's own last Z report number (default 0)
  --rt-type, --main-status, --sub-status, --expiry-cd, --expiry-ca TEXT,
  --training 0|1         values of the serverInfo reply
  --clock DDMMYYHHMM     fixed reply of the clock command (default: now)
  --token-date YYYYMMDD  fixed date in tokens and reports (default: today)
  --log                  print one line per request received

Requests answered (kind names used by faults in brackets):
  fpmate.cgi:  directIO 3216 header lines [3216], 4205 VAT departments [4205],
               4201 clock [4201], 2050 Z report number [2050],
               printerFiscalReport/printZReport [printZReport]
  fpserver.cgi: createReport serverInfo [serverInfo], tillMap [tillMap],
               zReport [zReport], fiscalInformation [fiscalInformation];
               createToken [createToken] (opens the till's day),
               createReceipt [createReceipt], createDailyClosure
               [createDailyClosure] (closes the day, advances the Z number)
  Anything else is refused [unknown]. Refusal codes of the simulator itself:
  -9 unknown request, -10 unreadable document, -11 Z report not found,
  -12 fiscal day not open, -13 request sent to the wrong end point,
  -14 receipt number already booked in the till's running Z report,
  -15 receipt numbered in a Z report the till has closed.

Control end point (same address, no authentication; parameters as a query or
as form data, e.g. curl -d kind=drop -d count=2 http://HOST:PORT/rtsim/fault):
  GET  /rtsim/state       tills, totals and server counters as text
  GET  /rtsim/requests    one line per request received
  POST /rtsim/fault       add a fault; parameters (query or form):
         kind=refuse|http|delay|drop|garbage|soapfault|omit|reply
         match=KIND or * (default *)     count=N (default 1; -1 until cleared)
         after=N (let N matching requests through first; default 0)
         code=C status=TEXT (refuse; default -20)   http=STATUS (http; default 503)
         ms=N (delay, then a normal answer)   element=NAME (omit: leave out
         every element of that name from the normal answer)
         text=XML (reply: success with this addInfo content; garbage: the
         whole body, default a text that is not well-formed XML)
         drop closes the connection without a reply; soapfault answers a SOAP
         Fault without a response element. Faults apply in the order added,
         the first matching one per request.
  POST /rtsim/clear       remove all faults
  POST /rtsim/reset       remove all faults and forget the request log
  POST /rtsim/config      set options, e.g. ?header=SHOP&vat=5:0000 (as above)
  POST /rtsim/till        ?till=ID open z=3 doc=1 amount=0 sets a till's state
Examples:
  curl -d kind=refuse -d match=createReceipt -d code=-20 -d count=2 http://127.0.0.1:8080/rtsim/fault
  curl -d kind=drop -d count=-1 http://127.0.0.1:8080/rtsim/fault
  curl -d '' http://127.0.0.1:8080/rtsim/clear
  curl http://127.0.0.1:8080/rtsim/state

Stops cleanly on SIGINT or SIGTERM.
)";
}

}  // namespace qx::rtsim
