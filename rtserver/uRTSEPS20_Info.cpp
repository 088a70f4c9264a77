// Server information and receipt header lines; see uRTSEPS20_Info.h.
#include "rtserver/uRTSEPS20_Info.h"

#include <cstdio>
#include <mutex>

#include "platform/error.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20_ReplyText.h"

namespace qx {

namespace {

constexpr char kServerInfoRequest[] = "<createReport><serverInfo/></createReport>";

std::string HeaderLineRequest(int aLine) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%02d", aLine);
  return std::string("<printerCommand><directIO command=\"3216\" data=\"") + digits +
         "\"/></printerCommand>";
}

// The server's flags are "1" for set; any other text, also "true", is unset.
bool FlagOf(const std::string& aText) { return aText == "1"; }

}  // namespace

kEPSRTServer_Info::kEPSRTServer_Info(kEPSRTServer& aServer) : kEPSRTServer_Api(aServer) {}

bool kEPSRTServer_Info::Get() {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  if (!fServer.SendRequest(fpServer, kServerInfoRequest)) return false;
  XmlElement info = fServer.XmlResponseNode();
  fRTType = GetChildText(info, "rtType");
  fSerialNumber = GetChildText(info, "rtSerialNumber");
  fDailyOpen = FlagOf(GetChildText(info, "rtDailyOpen"));
  fMainStatus = GetChildText(info, "rtMainStatus");
  fSubStatus = GetChildText(info, "rtSubStatus");
  fNoWorkingPeriod = FlagOf(GetChildText(info, "rtNoWorkingPeriod"));
  fZRepNumber = StrToInt(GetChildText(info, "rtZRepNumber"));
  fFileToSend = StrToInt(GetChildText(info, "rtFileToSend"));
  fOldFileToSend = StrToInt(GetChildText(info, "rtOldFileToSend"));
  fFileRejected = StrToInt(GetChildText(info, "rtFileRejected"));
  fExpiryCD = TextToDate(GetChildText(info, "rtExpiryCD"));
  fExpiryCA = TextToDate(GetChildText(info, "rtExpiryCA"));
  fTrainingMode = FlagOf(GetChildText(info, "TrainingMode"));
  return true;
}

bool kEPSRTServer_Info::GetHeaders() {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  fHeaders.clear();
  bool result = true;
  for (int line = 1; line <= kMaxHeaderLines; ++line) {
    result = fServer.SendRequest(fpMate, HeaderLineRequest(line));
    if (!result) break;
    std::string text;
    try {
      text = ReadHeaderLine();
    } catch (const Error&) {
      break;  // a reply that cannot be read ends the header quietly
    }
    if (text.empty()) break;  // the header has ended
    fHeaders.push_back(std::move(text));
  }
  return result;
}

std::string kEPSRTServer_Info::ReadHeaderLine() const {
  XmlElement data = fServer.XmlResponseNode().ChildNodes().FindByName("responseData");
  if (!data) return std::string();
  // The first two characters are the line number, not part of the line.
  return Trim(CopyChars(data.Text(), 3, kHeaderLineWidth));
}

bool kEPSRTServer::GetServerInfo() { return fServerInfo->Get(); }

bool kEPSRTServer::GetServerHeaders() { return fServerInfo->GetHeaders(); }

}  // namespace qx
