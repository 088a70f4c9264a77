// Server and till Z reports, the daily closure request; see uRTSEPS20_ZReport.h.
#include "rtserver/uRTSEPS20_ZReport.h"

#include <mutex>

#include "platform/error.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20_ReplyText.h"

namespace qx {

namespace {

constexpr char kPrintZReportRequest[] =
    "<printerFiscalReport><printZReport/></printerFiscalReport>";

// The exempt kinds the server names by letters, with their VAT map codes.
struct ExemptKind {
  const char* rateText;
  const char* code;
};
constexpr ExemptKind kExemptKinds[] = {
    {"ES", "N4"}, {"EE", "N1"}, {"NS", "N2"}, {"NI", "N3"}, {"RM", "N5"}, {"AL", "N6"},
};

// A rate as the server writes it ("22,00%", " 10%") in plain "." form; "0"
// when nothing remains.
std::string NormalizeRate(std::string_view aRate) {
  std::string rate = ReplaceChar(RemoveChar(Trim(aRate), '%'), ',', '.');
  return rate.empty() ? "0" : rate;
}

// The VAT map code of a taxed rate: hundredths of a percent point, rounded to
// a whole number (ties to even), at least four digits (22 is 2200, 5.5 is 0550).
std::string CodeOfRate(Currency aRate) {
  constexpr int64_t kPerHundredth = Currency::kScale / 100;
  int64_t whole = aRate.Raw() / kPerHundredth;
  int64_t rest = aRate.Raw() % kPerHundredth;
  int64_t half = kPerHundredth / 2;
  int64_t magnitude = rest < 0 ? -rest : rest;
  if (magnitude > half || (magnitude == half && whole % 2 != 0)) whole += rest < 0 ? -1 : 1;
  return FormatNumber0000(whole);
}

}  // namespace

// --- kEPSRTServer_ServerZReport ---------------------------------------------

kEPSRTServer_ServerZReport::kEPSRTServer_ServerZReport(kEPSRTServer& aServer)
    : kEPSRTServer_Api(aServer) {}

bool kEPSRTServer_ServerZReport::Get() { throw Error("Get Method not allowed for ServerZReport"); }

bool kEPSRTServer_ServerZReport::Print() {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  if (!fServer.SendRequest(fpMate, kPrintZReportRequest)) return false;
  XmlElement info = fServer.XmlResponseNode();
  fZRepNumber = StrToInt(RequireChild(info, "zRepNumber").Text());
  fDailyAmount = ReportAmountToCurrency(RequireChild(info, "dailyAmount").Text());
  return true;
}

// --- kEPSRTServer_TillZReport -----------------------------------------------

kEPSRTServer_TillZReport::kEPSRTServer_TillZReport(kEPSRTServer& aServer)
    : kEPSRTServer_Api(aServer) {}

bool kEPSRTServer_TillZReport::Get() {
  throw Error(
      "Get Method not allowed for TillZReport. Use Get(aTillId) or "
      "GetCurrent(aTillId,zRepNumber).");
}

bool kEPSRTServer_TillZReport::Get(const std::string& aTillId, int32_t zRepNumber) {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  fReportType = rt_historical;
  std::string request = "<createReport><zReport tillId=\"" + XmlEscape(aTillId) +
                        "\" zRepNumber=\"" + std::to_string(zRepNumber) + "\"/></createReport>";
  if (!fServer.SendRequest(fpServer, request)) return false;
  return ReadReport();
}

bool kEPSRTServer_TillZReport::GetCurrent(const std::string& aTillid) {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  fReportType = rt_current;
  std::string request = "<createReport><fiscalInformation tillId=\"" + XmlEscape(aTillid) +
                        "\" zRepNumber=\"" + std::to_string(fZRepNumber) + "\"/></createReport>";
  if (!fServer.SendRequest(fpServer, request)) return false;
  return ReadReport();
}

std::string kEPSRTServer_TillZReport::GetMessage(const std::string& aTillid) {
  return "<createDailyClosure><till tillId=\"" + XmlEscape(aTillid) + "\" /></createDailyClosure>";
}

bool kEPSRTServer_TillZReport::Print(std::string_view aXml) {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  return fServer.SendRequest(fpServer, aXml);
}

bool kEPSRTServer_TillZReport::ReadReport() {
  XmlElement info = fServer.XmlResponseNode();
  fVATAmounts.clear();
  fTillId = RequireChild(info, "tillId").Text();
  fZRepNumber = StrToInt(RequireChild(info, "zRepNumber").Text());
  XmlNodeList children = info.ChildNodes();
  if (XmlElement date = children.FindByName("zRepDate")) fZRepDate = TextToDate(date.Text());
  if (XmlElement rec = children.FindByName("recNumber")) fRecNumber = StrToInt(rec.Text());
  fDailyAmount = ReportAmountToCurrency(RequireChild(info, "dailyAmount").Text());
  XmlNodeList lines = RequireChild(info, "vatCount").ChildNodes();
  for (size_t i = 0; i < lines.Count(); ++i) {
    XmlElement line = lines.Item(i);
    if (line.IsText())
      fVATCount = CountFromText(line.Text());
    else if (IsElementNode(line) && StartsWith(line.NodeName(), "vatCount"))
      fVATAmounts.push_back(ReadVATAmount(line));
  }
  return true;
}

std::unique_ptr<kEPSRTServer_VATAmount> kEPSRTServer_TillZReport::ReadVATAmount(XmlElement aEntry) {
  auto line = std::make_unique<kEPSRTServer_VATAmount>();
  line->SetIndex(StrToInt(ExtractTextAttribute(aEntry, "vatId")));
  std::string rate = NormalizeRate(ExtractTextAttribute(aEntry, "vatRate"));
  const char* exemptCode = nullptr;
  for (const ExemptKind& kind : kExemptKinds)
    if (rate == kind.rateText) {
      exemptCode = kind.code;
      break;
    }
  if (exemptCode) {
    line->SetCode(exemptCode);
  } else {
    line->SetRate(ParseCurrency(rate));
    line->SetCode(CodeOfRate(line->Rate()));
  }
  line->SetSalesAmount(ReportAmountToCurrency(ExtractTextAttribute(aEntry, "vatSales")));
  line->SetRefundAmount(ReportAmountToCurrency(ExtractTextAttribute(aEntry, "vatRefund")));
  line->SetVoidAmount(ReportAmountToCurrency(ExtractTextAttribute(aEntry, "vatVoid")));
  return line;
}

Currency kEPSRTServer_TillZReport::SumVATAmounts(AmountKind aKind) const {
  Currency sum;
  for (const auto& line : fVATAmounts) {
    switch (aKind) {
      case kSales:
        sum += line->SalesAmount();
        break;
      case kRefund:
        sum += line->RefundAmount();
        break;
      case kVoid:
        sum += line->VoidAmount();
        break;
    }
  }
  return sum;
}

bool kEPSRTServer::PrintServerZReport() { return fServerZReport->Print(); }

bool kEPSRTServer::GetTillHistoricZReport(const std::string& aTillId, int32_t aZRepNumber) {
  return fTillZReport->Get(aTillId, aZRepNumber);
}

bool kEPSRTServer::GetTillCurrentZReport(const std::string& aTillid) {
  return fTillZReport->GetCurrent(aTillid);
}

}  // namespace qx
