// The RT server client: end point addresses, the SOAP exchange and the
// classification of its reply, the digest, and the reply-reading helpers of the
// request objects.
#include "rtserver/uRTSEPS20.h"

#include "platform/digest.h"
#include "platform/error.h"
#include "platform/http.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20_Clock.h"
#include "rtserver/uRTSEPS20_Info.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_Till.h"
#include "rtserver/uRTSEPS20_VATMap.h"
#include "rtserver/uRTSEPS20_ZReport.h"

namespace qx {

namespace {

constexpr std::string_view kSoapEnvelopeNamespace = "http://schemas.xmlsoap.org/soap/envelope/";

// Refusal codes after which the server cannot take documents for now.
bool IsBlockingCode(int32_t aCode) { return aCode == -20 || (aCode >= -8 && aCode <= -1); }

}  // namespace

// ---------------------------------------------------------------------------
// kEPSRTServer_Setup

std::string kEPSRTServer_Setup::GetFullAddress(tkEPSRTAddressType aType) {
  if (fPort == 0) {
    if (StartsWithIgnoreCase(fBaseAddress, "http://")) {
      fPort = 80;
    } else if (StartsWithIgnoreCase(fBaseAddress, "https://")) {
      fPort = 443;
    }
  }
  const char* path = aType == fpMate ? "/cgi-bin/fpmate.cgi" : "/cgi-bin/fpserver.cgi";
  return fBaseAddress + ":" + std::to_string(fPort) + path;
}

// ---------------------------------------------------------------------------
// kEPSRTServer_Api

std::string kEPSRTServer_Api::GetChildText(XmlElement aNode, std::string_view aName) {
  if (aNode.IsNull()) return std::string();
  XmlElement child = aNode.ChildNodes().FindByName(aName);
  if (child.IsNull()) return std::string();
  return child.Text();
}

XmlElement kEPSRTServer_Api::RequireChild(XmlElement aNode, std::string_view aName) {
  XmlElement child;
  if (!aNode.IsNull()) child = aNode.ChildNodes().FindByName(aName);
  if (child.IsNull()) {
    throw Error("Element " + std::string(aName) + " not found in response document.");
  }
  return child;
}

std::string kEPSRTServer_Api::ExtractTextAttribute(XmlElement aNode, std::string_view aName) {
  if (aNode.IsNull()) return std::string();
  const std::string text = aNode.Text();
  const std::string key = std::string(aName) + "=\"";
  const size_t at = text.find(key);
  if (at == std::string::npos) return std::string();
  const size_t start = at + key.size();
  const size_t end = text.find('"', start);
  if (end == std::string::npos) return std::string();
  return text.substr(start, end - start);
}

TDate kEPSRTServer_Api::TextToDate(std::string_view aText) {
  const int32_t year = StrToInt(CopyText(aText, 1, 4));
  const int32_t month = StrToInt(CopyText(aText, 5, 2));
  const int32_t day = StrToInt(CopyText(aText, 7, 2));
  return EncodeDate(year, month, day);
}

std::string kEPSRTServer_Api::CopyText(std::string_view aText, size_t aIndex, size_t aCount) {
  if (aIndex < 1) aIndex = 1;
  if (aIndex > aText.size()) return std::string();
  return std::string(aText.substr(aIndex - 1, aCount));
}

// ---------------------------------------------------------------------------
// kEPSRTServer

kEPSRTServer::kEPSRTServer() : fXmlResponse(std::make_shared<XmlDocument>()) {
  // Request objects are created in field order (see the header): each one is
  // added here with its own MakeEPSRTRequest line at its field's place.
  fSetupInfo = std::make_unique<kEPSRTServer_Setup>();
  fServerInfo = MakeEPSRTRequest<kEPSRTServer_Info>(*this);
  fServerTillMap = MakeEPSRTRequest<kEPSRTServer_TillMap>(*this);
  fTokenMap = MakeEPSRTRequest<kEPSRTServer_TokenMap>(*this);
  fDateTime = MakeEPSRTRequest<kEPSRTServer_DateTime>(*this);
  fZrepNumber = MakeEPSRTRequest<kEPSRTServer_ZrepNumber>(*this);
  fVATMAP = MakeEPSRTRequest<kEPSRTServer_VATMap>(*this);
  fServerZReport = MakeEPSRTRequest<kEPSRTServer_ServerZReport>(*this);
  fTillZReport = MakeEPSRTRequest<kEPSRTServer_TillZReport>(*this);
  fReceipt = MakeEPSRTRequest<kEPSRTServer_Receipt>(*this);
}

kEPSRTServer::~kEPSRTServer() {
  // Freed in field order, the setup first and the receipt last.
  fSetupInfo.reset();
  fServerInfo.reset();
  fServerTillMap.reset();
  fTokenMap.reset();
  fDateTime.reset();
  fZrepNumber.reset();
  fVATMAP.reset();
  fServerZReport.reset();
  fTillZReport.reset();
  fReceipt.reset();
}

bool kEPSRTServer::Setup(const std::string& aAddress, int32_t aPort, const std::string& aUser,
                         const std::string& aPassword) {
  std::lock_guard lock(fLock);
  fSetupInfo->SetBaseAddress(aAddress);
  fSetupInfo->SetPort(aPort);
  fSetupInfo->SetUser(aUser);
  fSetupInfo->SetPassword(aPassword);
  return true;
}

std::string kEPSRTServer::BuildEnvelope(std::string_view aBody) {
  std::string text;
  text.reserve(aBody.size() + 200);
  text += "<?xml version=\"1.0\" encoding=\"utf-8\"?>";
  text += "<soapenv:Envelope xmlns:soapenv=\"";
  text += kSoapEnvelopeNamespace;
  text += "\">";
  text += "<soapenv:Body>";
  text += aBody;
  text += "</soapenv:Body>";
  text += "</soapenv:Envelope>";
  return text;
}

bool kEPSRTServer::SendRequest(tkEPSRTAddressType aType, std::string_view aBody) {
  std::lock_guard lock(fLock);
  HttpPost post;
  post.user = fSetupInfo->User();
  post.password = fSetupInfo->Password();
  post.body = BuildEnvelope(aBody);
  post.url = fSetupInfo->GetFullAddress(aType);
  post.whileWaiting = std::exchange(fWhileWaiting, nullptr);

  HttpReply reply = PostXml(post);
  if (reply.success) {
    fResponseString = std::move(reply.body);
    return ParseResponse();
  }
  auto noData = std::make_shared<XmlDocument>();
  noData->LoadXml("<NoData/>");
  fXmlResponse = std::move(noData);
  Fail("Http error: " + std::to_string(reply.status) + ": " + reply.reason, et_Blocking);
  return false;
}

void kEPSRTServer::SetWhileWaiting(std::function<void()> aWork) {
  std::lock_guard lock(fLock);
  fWhileWaiting = std::move(aWork);
}

bool kEPSRTServer::ParseResponse() {
  std::lock_guard lock(fLock);
  // A fresh document: the one holding XmlResponseNode must outlive a failure.
  fXmlResponse = std::make_shared<XmlDocument>();
  fXmlResponse->LoadXml(fResponseString);

  XmlElement root = fXmlResponse->DocumentElement();
  XmlElement body = root.IsNull() ? XmlElement() : root.ChildNodes().FindByName("Body");
  if (body.IsNull()) {
    Fail("Body node not found in response document.", et_Blocking);
    return false;
  }
  XmlElement response = body.ChildNodes().FindByName("response", "");
  if (response.IsNull()) {
    Fail("Response node not found in response document.", et_Blocking);
    return false;
  }
  if (response.GetAttribute("success").value_or(std::string()) == "true") {
    fXmlResponseNodeDocument = fXmlResponse;
    fXmlResponseNode = response.ChildNodes().FindByName("addInfo", "");
    return true;
  }
  const std::string code = response.AttributeText("code");
  int32_t number = 0;
  if (!TryStrToInt(code, number)) number = 0;
  Fail(code + " - " + response.AttributeText("status"),
       IsBlockingCode(number) ? et_Blocking : et_NonBlocking);
  return false;
}

std::string kEPSRTServer::GetSha256(std::string_view aText) const { return Sha256Hex(aText); }

void kEPSRTServer::Fail(std::string aError, tkEPSRT_ErrorType aType) {
  fLastError = std::move(aError);
  fLastErrorType = aType;
}

}  // namespace qx
