// The simulator's fiscal register: how each request changes the server's and
// the tills' state and what it answers.
#include "tools/rtsim/fiscal.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/strings.h"

namespace qx::rtsim {

namespace {

// Codes the simulator refuses with on its own account (see --help).
constexpr const char* kUnknownRequest = "-9";
constexpr const char* kUnreadableDocument = "-10";
constexpr const char* kReportNotFound = "-11";
constexpr const char* kDayNotOpen = "-12";
constexpr const char* kAlreadyBooked = "-14";
constexpr const char* kZReportClosed = "-15";

const std::set<std::string> kFpMateKinds = {"3216", "4205", "4201", "2050", "printZReport"};

Answer Refusal(const char* code, std::string status) {
  Answer answer;
  answer.success = false;
  answer.code = code;
  answer.status = std::move(status);
  return answer;
}

Answer Success(std::string addInfo) {
  Answer answer;
  answer.addInfo = std::move(addInfo);
  return answer;
}

// Escapes text content (quotes stay: name="value" pairs travel as text).
std::string TextEscape(std::string_view text) {
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
      default:
        out += c;
    }
  }
  return out;
}

std::string Element(std::string_view name, std::string_view text) {
  return "<" + std::string(name) + ">" + TextEscape(text) + "</" + std::string(name) + ">";
}

std::string Digits(int64_t value, int width) {
  if (value < 0) value = 0;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%0*lld", width, static_cast<long long>(value));
  std::string text = buffer;
  // A fixed-width field keeps its last digits when the value outgrows it.
  return text.size() > static_cast<size_t>(width) ? text.substr(text.size() - width) : text;
}

std::string Pad(std::string text, size_t width, char fill) {
  if (text.size() < width) text.append(width - text.size(), fill);
  return text.substr(0, width);
}

// An attribute's text, empty when the attribute or the element is missing.
std::string AttributeOf(XmlElement node, std::string_view name) {
  return node.IsNull() ? std::string() : node.AttributeText(name);
}

XmlElement Child(XmlElement node, std::string_view name) {
  return node.IsNull() ? XmlElement() : node.ChildNodes().FindByName(name);
}

// The first element child of a node.
XmlElement FirstElement(XmlElement node) {
  XmlNodeList children = node.ChildNodes();
  for (size_t i = 0; i < children.Count(); ++i) {
    if (!children.Item(i).IsText()) return children.Item(i);
  }
  return XmlElement();
}

// Server VAT kinds of the exempt departments, by department index.
const char* ExemptKind(int32_t vatId) {
  switch (vatId) {
    case 0:
      return "ES";
    case 10:
      return "EE";
    case 11:
      return "NS";
    case 12:
      return "NI";
    case 13:
      return "RM";
    case 14:
      return "AL";
    default:
      return nullptr;
  }
}

}  // namespace

RequestKind ClassifyRequest(XmlElement command) {
  RequestKind result;
  if (command.IsNull()) return result;
  const std::string name = command.LocalName();
  if (name == "printerCommand") {
    XmlElement direct = Child(command, "directIO");
    const std::string code = AttributeOf(direct, "command");
    if (code == "3216" || code == "4205" || code == "4201" || code == "2050") result.kind = code;
    result.detail = "data=" + AttributeOf(direct, "data");
  } else if (name == "printerFiscalReport") {
    if (!Child(command, "printZReport").IsNull()) result.kind = "printZReport";
  } else if (name == "createReport") {
    XmlElement report = FirstElement(command);
    const std::string what = report.IsNull() ? std::string() : report.LocalName();
    if (what == "serverInfo" || what == "tillMap") {
      result.kind = what;
    } else if (what == "zReport" || what == "fiscalInformation") {
      result.kind = what;
      result.detail = "tillId=" + AttributeOf(report, "tillId") +
                      " zRepNumber=" + AttributeOf(report, "zRepNumber");
    }
  } else if (name == "createToken" || name == "createDailyClosure") {
    result.kind = name;
    result.detail = "tillId=" + AttributeOf(Child(command, "till"), "tillId");
  } else if (name == "createReceipt") {
    result.kind = name;
    XmlElement info =
        Child(Child(Child(command, "receipt"), "printerFiscalReceipt"), "fiscalInformation");
    result.detail =
        "tillId=" + AttributeOf(info, "tillId") + " recNumber=" + AttributeOf(info, "recNumber");
  }
  return result;
}

bool ServedByFpMate(const std::string& kind) { return kFpMateKinds.count(kind) != 0; }

FiscalRegister::FiscalRegister(Config config) : config_(std::move(config)) {
  serverZRepNumber_ = config_.serverZRepNumber;
  for (const TillState& till : config_.tills) SetTill(till);
}

Answer FiscalRegister::Handle(const std::string& kind, XmlElement command) {
  try {
    if (kind == "serverInfo") return ServerInfo();
    if (kind == "3216") return HeaderLine(AttributeOf(Child(command, "directIO"), "data"));
    if (kind == "4205") return VatDepartment(AttributeOf(Child(command, "directIO"), "data"));
    if (kind == "4201") return Clock();
    if (kind == "2050") return ZRepNumberCounter();
    if (kind == "printZReport") return PrintZReport();
    if (kind == "tillMap") return TillMap();
    if (kind == "createToken") return CreateToken(AttributeOf(Child(command, "till"), "tillId"));
    if (kind == "zReport" || kind == "fiscalInformation") {
      XmlElement report = FirstElement(command);
      return TillReport(AttributeOf(report, "tillId"), AttributeOf(report, "zRepNumber"),
                        kind == "fiscalInformation");
    }
    if (kind == "createReceipt") return CreateReceipt(command);
    if (kind == "createDailyClosure") {
      return DailyClosure(AttributeOf(Child(command, "till"), "tillId"));
    }
  } catch (const Error& error) {
    return Refusal(kUnreadableDocument, error.what());
  }
  return Refusal(kUnknownRequest, "Unknown request");
}

// ---------------------------------------------------------------------------
// State

FiscalRegister::TillRecord& FiscalRegister::TillFor(const std::string& id) {
  auto it = tills_.find(id);
  if (it == tills_.end()) {
    it = tills_.emplace(id, TillRecord()).first;
    it->second.state.id = id;
    tillOrder_.push_back(id);
  }
  return it->second;
}

std::optional<TillState> FiscalRegister::Till(const std::string& id) const {
  auto it = tills_.find(id);
  if (it == tills_.end()) return std::nullopt;
  return it->second.state;
}

std::vector<TillState> FiscalRegister::Tills() const {
  std::vector<TillState> result;
  for (const std::string& id : tillOrder_) result.push_back(tills_.at(id).state);
  return result;
}

void FiscalRegister::SetTill(const TillState& till) { TillFor(till.id).state = till; }

std::optional<ZReport> FiscalRegister::CurrentReport(const std::string& id) const {
  auto it = tills_.find(id);
  if (it == tills_.end()) return std::nullopt;
  return ReportOf(it->second);
}

std::optional<ZReport> FiscalRegister::ClosedReport(const std::string& id,
                                                    int32_t zRepNumber) const {
  auto it = tills_.find(id);
  if (it == tills_.end()) return std::nullopt;
  for (const ZReport& report : it->second.closed) {
    if (report.zRepNumber == zRepNumber) return report;
  }
  return std::nullopt;
}

std::string FiscalRegister::Today() const {
  return config_.tokenDate.empty() ? FormatDateTime("yyyymmdd", Now()) : config_.tokenDate;
}

ZReport FiscalRegister::ReportOf(const TillRecord& till) const {
  ZReport report;
  report.tillId = till.state.id;
  report.zRepNumber = till.state.zRepNumber;
  report.zRepDate = Today();
  report.recNumber = till.state.nextDocNumber - 1;
  report.dailyAmount = till.state.dailyAmount;
  for (const auto& [vatId, totals] : till.vats) report.vats.push_back(totals);
  return report;
}

std::string FiscalRegister::RateText(int32_t vatId) const {
  if (const char* exempt = ExemptKind(vatId)) return exempt;
  if (vatId < 1 || vatId > 9) return "0";
  Currency rate;
  try {
    rate = Divide(ParseCurrency(config_.vatRates[vatId - 1]), 100);
  } catch (const Error&) {
    return "0";
  }
  std::string text = FormatTwoDecimals(rate);
  std::replace(text.begin(), text.end(), '.', ',');
  return text + "%";
}

std::string FiscalRegister::StateText() const {
  std::string text = "server serial=" + config_.serialNumber +
                     " zRepNumber=" + std::to_string(serverZRepNumber_) +
                     " dailyAmount=" + FormatFiscal(serverDailyAmount_) + "\n";
  for (const std::string& id : tillOrder_) {
    const TillRecord& till = tills_.at(id);
    text += "till " + id + " dayOpen=" + (till.state.dayOpen ? "1" : "0") +
            " zRepNumber=" + std::to_string(till.state.zRepNumber) +
            " nextDocNumber=" + std::to_string(till.state.nextDocNumber) +
            " dailyAmount=" + FormatFiscal(till.state.dailyAmount) +
            " lastFingerPrint=" + till.state.lastFingerPrint +
            " closedReports=" + std::to_string(till.closed.size()) + "\n";
    for (const auto& [vatId, totals] : till.vats) {
      text += "  vat " + std::to_string(vatId) + " sales=" + FormatFiscal(totals.sales) +
              " refunds=" + FormatFiscal(totals.refunds) + " voids=" + FormatFiscal(totals.voids) +
              "\n";
    }
  }
  return text;
}

// ---------------------------------------------------------------------------
// fpmate.cgi

Answer FiscalRegister::HeaderLine(const std::string& data) {
  int32_t line = 0;
  if (!TryStrToInt(data, line) || line < 1 || line > 99) {
    return Refusal(kUnknownRequest, "Invalid header line number");
  }
  std::string text;
  if (static_cast<size_t>(line) <= config_.headerLines.size()) text = config_.headerLines[line - 1];
  if (text.size() < 40) text.append(40 - text.size(), ' ');
  return Success(Element("responseData", data + text));
}

Answer FiscalRegister::VatDepartment(const std::string& data) {
  int32_t department = 0;
  if (!TryStrToInt(data, department) || department < 1 || department > 9) {
    return Refusal(kUnknownRequest, "Invalid VAT department");
  }
  return Success(Element("responseData", data + config_.vatRates[department - 1] + "000000"));
}

Answer FiscalRegister::Clock() {
  const std::string text =
      config_.clock.empty() ? FormatDateTime("ddmmyyhhnn", Now()) + "00" : config_.clock;
  return Success(Element("responseData", text));
}

Answer FiscalRegister::ZRepNumberCounter() {
  return Success(
      Element("responseData", "2700" + std::string(11, '0') + Digits(serverZRepNumber_, 9)));
}

Answer FiscalRegister::PrintZReport() {
  ++serverZRepNumber_;
  const Currency amount = serverDailyAmount_;
  serverDailyAmount_ = Currency();
  return Success(Element("zRepNumber", std::to_string(serverZRepNumber_)) +
                 Element("dailyAmount", FormatFiscal(amount)));
}

// ---------------------------------------------------------------------------
// fpserver.cgi

Answer FiscalRegister::ServerInfo() {
  bool anyOpen = false;
  for (const auto& [id, till] : tills_) anyOpen = anyOpen || till.state.dayOpen;
  return Success(
      Element("rtType", config_.rtType) + Element("rtSerialNumber", config_.serialNumber) +
      Element("rtDailyOpen", anyOpen ? "1" : "0") + Element("rtMainStatus", config_.mainStatus) +
      Element("rtSubStatus", config_.subStatus) + Element("rtNoWorkingPeriod", "0") +
      Element("rtZRepNumber", std::to_string(serverZRepNumber_)) + Element("rtFileToSend", "0") +
      Element("rtOldFileToSend", "0") + Element("rtFileRejected", "0") +
      Element("rtExpiryCD", config_.expiryCD) + Element("rtExpiryCA", config_.expiryCA) +
      Element("TrainingMode", config_.trainingMode ? "1" : "0"));
}

Answer FiscalRegister::TillMap() {
  std::string entries;
  int index = 0;
  for (const std::string& id : tillOrder_) {
    const TillState& till = tills_.at(id).state;
    const std::string name = "tillCount" + std::to_string(++index);
    entries += "<" + name + ">" +
               TextEscape("tillId=\"" + till.id + "\" dailyOpen=\"" + (till.dayOpen ? "1" : "0") +
                          "\" tillStatus=\"" + (till.dayOpen ? "1" : "0") + "\" zRepNumber=\"" +
                          std::to_string(till.zRepNumber) + "\" recNumber=\"" +
                          std::to_string(till.nextDocNumber - 1) + "\" dailyAmount=\"" +
                          FormatFiscal(till.dailyAmount) + "\"") +
               "</" + name + ">";
  }
  return Success("<tillCount>" + std::to_string(index) + entries + "</tillCount>");
}

Answer FiscalRegister::CreateToken(const std::string& tillId) {
  if (tillId.empty()) return Refusal(kUnreadableDocument, "Till id missing");
  TillRecord& till = TillFor(tillId);
  till.state.dayOpen = true;
  // Serial (11), issue counter (13), date (8), Z number (4), next document
  // number (4), daily amount in hundredths (9).
  const int64_t hundredths = till.state.dailyAmount.RoundTo2().Raw() / 100;
  const std::string token = Pad(config_.serialNumber, 11, '0') + Digits(++tokensIssued_, 13) +
                            Pad(Today(), 8, '0') + Digits(till.state.zRepNumber, 4) +
                            Digits(till.state.nextDocNumber, 4) + Digits(hundredths, 9);
  return Success(Element("token", token));
}

std::string FiscalRegister::ReportMarkup(const ZReport& report) const {
  std::string lines;
  int index = 0;
  for (const VatTotals& vat : report.vats) {
    const std::string name = "vatCount" + std::to_string(++index);
    lines += "<" + name + ">vatId=\"" + std::to_string(vat.vatId) + "\" vatRate=\"" +
             RateText(vat.vatId) + "\" vatSales=\"" + FormatFiscal(vat.sales) + "\" vatRefund=\"" +
             FormatFiscal(vat.refunds) + "\" vatVoid=\"" + FormatFiscal(vat.voids) + "\"</" + name +
             ">";
  }
  return Element("tillId", report.tillId) +
         Element("zRepNumber", std::to_string(report.zRepNumber)) +
         Element("zRepDate", report.zRepDate) +
         Element("recNumber", std::to_string(report.recNumber)) +
         Element("dailyAmount", FormatFiscal(report.dailyAmount)) + "<vatCount>" +
         std::to_string(index) + lines + "</vatCount>";
}

Answer FiscalRegister::TillReport(const std::string& tillId, const std::string& number,
                                  bool current) {
  if (current) return Success(ReportMarkup(ReportOf(TillFor(tillId))));
  int32_t zRepNumber = 0;
  if (!TryStrToInt(number, zRepNumber)) return Refusal(kReportNotFound, "Z report not found");
  std::optional<ZReport> report = ClosedReport(tillId, zRepNumber);
  if (!report) return Refusal(kReportNotFound, "Z report not found");
  return Success(ReportMarkup(*report));
}

Answer FiscalRegister::CreateReceipt(XmlElement command) {
  XmlElement receipt = Child(command, "receipt");
  XmlElement printer = Child(receipt, "printerFiscalReceipt");
  XmlElement info = Child(printer, "fiscalInformation");
  if (info.IsNull()) return Refusal(kUnreadableDocument, "Receipt without fiscal information");
  const std::string tillId = AttributeOf(info, "tillId");
  if (tillId.empty()) return Refusal(kUnreadableDocument, "Receipt without till id");
  const std::string docType = AttributeOf(info, "doctype");
  const Currency total = ParseCurrency(AttributeOf(info, "recAmount"));
  int32_t recNumber = 0;
  const bool numbered = TryStrToInt(AttributeOf(info, "recNumber"), recNumber);

  TillRecord& till = TillFor(tillId);
  // A fiscal register books each document number of a till once, and
  // nothing more into a Z report it has closed.
  int32_t zRepNumber = 0;
  if (TryStrToInt(AttributeOf(info, "zRepNumber"), zRepNumber)) {
    if (zRepNumber < till.state.zRepNumber) {
      return Refusal(kZReportClosed, "Z report " + std::to_string(zRepNumber) + " is closed");
    }
    if (numbered && zRepNumber == till.state.zRepNumber && recNumber < till.state.nextDocNumber) {
      return Refusal(kAlreadyBooked,
                     "Document number " + std::to_string(recNumber) + " already booked");
    }
  }
  TillRecord updated = till;  // a receipt that cannot be read changes nothing
  BookReceipt(updated, printer, docType, total);
  updated.state.dayOpen = true;
  if (docType == "0") updated.state.dailyAmount += total;
  updated.state.nextDocNumber = numbered ? std::max(updated.state.nextDocNumber, recNumber + 1)
                                         : updated.state.nextDocNumber + 1;
  XmlElement seal = Child(Child(command, "receiptSecurity"), "hash");
  updated.state.lastFingerPrint = AttributeOf(seal, "fingerPrint");
  till = std::move(updated);
  if (docType == "0") serverDailyAmount_ += total;

  return Success(Element("tillId", tillId) +
                 Element("zRepNumber", std::to_string(till.state.zRepNumber)) +
                 Element("recNumber", std::to_string(till.state.nextDocNumber - 1)));
}

// Splits the receipt total over the VAT departments of its lines, in
// proportion to what the lines booked there, so that the report's per-VAT
// amounts always add up to the receipt totals the till counted.
void FiscalRegister::BookReceipt(TillRecord& till, XmlElement printer, const std::string& docType,
                                 Currency total) {
  std::map<int32_t, Currency> shares;
  std::vector<int32_t> order;
  auto book = [&](int32_t vatId, Currency amount) {
    if (shares.find(vatId) == shares.end()) order.push_back(vatId);
    shares[vatId] += amount;
  };
  int32_t current = -1;
  XmlNodeList lines = printer.ChildNodes();
  for (size_t i = 0; i < lines.Count(); ++i) {
    XmlElement line = lines.Item(i);
    const std::string name = line.IsText() ? std::string() : line.NodeName();
    if (name == "printRecItem" || name == "printRecRefund" || name == "printRecItemVoid" ||
        name == "printRecRefundVoid") {
      Currency amount = Multiply(ParseCurrency(AttributeOf(line, "unitPrice")),
                                 ParseCurrency(AttributeOf(line, "quantity")).ToExtended());
      current = StrToInt(AttributeOf(line, "vatID"));
      book(current, name.find("Void") == std::string::npos ? amount : -amount);
    } else if (name == "printRecItemAdjustment" && current >= 0) {
      const std::string type = AttributeOf(line, "adjustmentType");
      const Currency amount = ParseCurrency(AttributeOf(line, "amount"));
      if (type == "0" || type == "10" || type == "12") book(current, -amount);
      if (type == "5") book(current, amount);
    } else if (name == "printRecTotal" || name == "printRecSubtotalAdjustment") {
      current = -1;
    }
  }
  if (order.empty()) book(1, Currency());

  Currency gross;
  for (const auto& [vatId, amount] : shares) gross += amount;
  std::map<int32_t, Currency> parts;
  Currency assigned;
  for (size_t i = 0; i + 1 < order.size(); ++i) {
    Currency part = gross == Currency()
                        ? Currency()
                        : Multiply(total, shares[order[i]].ToExtended() / gross.ToExtended());
    parts[order[i]] = part;
    assigned += part;
  }
  parts[order.back()] = total - assigned;

  for (const auto& [vatId, part] : parts) {
    VatTotals& totals = till.vats[vatId];
    totals.vatId = vatId;
    if (docType == "1") {
      totals.refunds += part;
    } else if (docType == "3") {
      totals.voids += part;
    } else {
      totals.sales += part;
    }
  }
}

Answer FiscalRegister::DailyClosure(const std::string& tillId) {
  auto it = tills_.find(tillId);
  if (it == tills_.end() || !it->second.state.dayOpen) {
    return Refusal(kDayNotOpen, "Fiscal day not open");
  }
  TillRecord& till = it->second;
  till.closed.push_back(ReportOf(till));
  till.state.dayOpen = false;
  ++till.state.zRepNumber;
  till.state.nextDocNumber = 1;
  till.state.dailyAmount = Currency();
  till.vats.clear();
  return Success(Element("tillId", tillId) +
                 Element("zRepNumber", std::to_string(till.closed.back().zRepNumber)));
}

}  // namespace qx::rtsim
