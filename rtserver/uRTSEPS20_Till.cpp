// Till map and day tokens; see uRTSEPS20_Till.h.
#include "rtserver/uRTSEPS20_Till.h"

#include <mutex>

#include "platform/error.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20_ReplyText.h"

namespace qx {

namespace {

constexpr char kTillMapRequest[] = "<createReport><tillMap/></createReport>";

}  // namespace

// --- kEPSRTServer_Till ------------------------------------------------------

tkEPSRTServer_TillStatus kEPSRTServer_Till::StringToTillStatus(std::string_view aTillStatus) {
  if (aTillStatus == "0") return EPSts_Closed;
  if (aTillStatus == "1") return EPSts_Open;
  if (aTillStatus == "2") return EPSts_Closing;
  if (aTillStatus == "3") return EPSts_ClosedWithZRepToSend;
  return EPSts_Unknown;
}

std::string kEPSRTServer_Till::TillStatusToString(tkEPSRTServer_TillStatus aTillStatus) {
  switch (aTillStatus) {
    case EPSts_Closed:
      return "Closed";
    case EPSts_Open:
      return "Open";
    case EPSts_Closing:
      return "Closing";
    case EPSts_ClosedWithZRepToSend:
      return "ClosedWithZRepToSend";
    case EPSts_Unknown:
      break;
  }
  return "Unknown";
}

// --- kEPSRTServer_TillMap ---------------------------------------------------

kEPSRTServer_TillMap::kEPSRTServer_TillMap(kEPSRTServer& aServer) : kEPSRTServer_Api(aServer) {}

bool kEPSRTServer_TillMap::Get() {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  if (!fServer.SendRequest(fpServer, kTillMapRequest)) return false;
  fTills.clear();
  XmlElement count = RequireChild(fServer.XmlResponseNode(), "tillCount");
  XmlNodeList children = count.ChildNodes();
  for (size_t i = 0; i < children.Count(); ++i) {
    XmlElement child = children.Item(i);
    if (child.IsText())
      fTillCount = CountFromText(child.Text());
    else if (IsElementNode(child) && StartsWith(child.NodeName(), "tillCount"))
      fTills.push_back(ReadTill(child));
  }
  return true;
}

std::unique_ptr<kEPSRTServer_Till> kEPSRTServer_TillMap::ReadTill(XmlElement aEntry) {
  auto till = std::make_unique<kEPSRTServer_Till>();
  till->SetId(ExtractTextAttribute(aEntry, "tillId"));
  till->SetDailyOpen(ExtractTextAttribute(aEntry, "dailyOpen") == "1");
  till->SetTillStatus(
      kEPSRTServer_Till::StringToTillStatus(ExtractTextAttribute(aEntry, "tillStatus")));
  till->SetZRepNumber(StrToInt(ExtractTextAttribute(aEntry, "zRepNumber")));
  till->SetRecNumber(StrToInt(ExtractTextAttribute(aEntry, "recNumber")));
  till->SetDailyAmount(ParseCurrency(ExtractTextAttribute(aEntry, "dailyAmount")));
  return till;
}

kEPSRTServer_Till* kEPSRTServer_TillMap::GetTill(std::string_view aTillId) const {
  for (const auto& till : fTills)
    if (till->Id() == aTillId) return till.get();
  return nullptr;
}

// --- kEPSRTServer_Token -----------------------------------------------------

void kEPSRTServer_Token::ApplyToken(const std::string& Value) {
  fToken = Value;
  fServerSerialNumber = kEPSRTServer_Api::CopyText(Value, kSerialFirst, kSerialLength);
  fServerDate = EncodeDate(SliceToInt(Value, kYearFirst, 4), SliceToInt(Value, kMonthFirst, 2),
                           SliceToInt(Value, kDayFirst, 2));
  fZRepNumber = SliceToInt(Value, kZRepFirst, kZRepLength);
  const int32_t next = SliceToInt(Value, kNextDocumentFirst, kNextDocumentLength);
  // A day's documents are numbered from 1: a till seeded from a lower
  // number would issue receipt number 0.
  if (next < 1) {
    throw Error("Malformed token: next document number " +
                kEPSRTServer_Api::CopyText(Value, kNextDocumentFirst, kNextDocumentLength));
  }
  fNextDocumentNumber = next;
  fDailyAmount = SliceToHundredths(Value, kAmountFirst, kAmountLength);
}

// --- kEPSRTServer_TokenMap --------------------------------------------------

kEPSRTServer_TokenMap::kEPSRTServer_TokenMap(kEPSRTServer& aServer) : kEPSRTServer_Api(aServer) {}

bool kEPSRTServer_TokenMap::Get() {
  throw Error("Get Method not allowed for TokenMap. Use Get(aTillId).");
}

bool kEPSRTServer_TokenMap::CreateToken(const std::string& aTillId) {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  std::string request = "<createToken><till tillId=\"" + XmlEscape(aTillId) + "\"/></createToken>";
  if (!fServer.SendRequest(fpServer, request)) return false;
  std::string token = RequireChild(fServer.XmlResponseNode(), "token").Text();
  StoreToken(aTillId, token);
  return true;
}

kEPSRTServer_Token* kEPSRTServer_TokenMap::GetToken(std::string_view aTillId) const {
  for (const auto& token : fTokens)
    if (token->TillId() == aTillId) return token.get();
  return nullptr;
}

void kEPSRTServer_TokenMap::StoreToken(const std::string& aTillId, const std::string& aToken) {
  if (kEPSRTServer_Token* existing = GetToken(aTillId)) {
    existing->ApplyToken(aToken);
    return;
  }
  auto token = std::make_unique<kEPSRTServer_Token>();
  token->SetTillId(aTillId);
  token->ApplyToken(aToken);
  fTokens.push_back(std::move(token));
}

bool kEPSRTServer::GetTillMap() { return fServerTillMap->Get(); }

bool kEPSRTServer::CreateToken(const std::string& aTillId) {
  return fTokenMap->CreateToken(aTillId);
}

}  // namespace qx
