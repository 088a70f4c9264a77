// Server clock and Z-report counter; see uRTSEPS20_Clock.h.
#include "rtserver/uRTSEPS20_Clock.h"

#include <mutex>
#include <string>

#include "rtserver/uRTSEPS20_ReplyText.h"

namespace qx {

namespace {

constexpr char kDateTimeRequest[] =
    "<printerCommand><directIO command=\"4201\" data=\"\"/></printerCommand>";
constexpr char kZrepNumberRequest[] =
    "<printerCommand><directIO command=\"2050\" data=\"2700\"/></printerCommand>";

}  // namespace

kEPSRTServer_DateTime::kEPSRTServer_DateTime(kEPSRTServer& aServer) : kEPSRTServer_Api(aServer) {}

bool kEPSRTServer_DateTime::Get() {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  if (!fServer.SendRequest(fpMate, kDateTimeRequest)) return false;
  std::string data = RequireChild(fServer.XmlResponseNode(), "responseData").Text();
  DateTimeParts parts;
  parts.day = SliceToInt(data, 1, 2);
  parts.month = SliceToInt(data, 3, 2);
  parts.year = kCentury + SliceToInt(data, 5, 2);
  parts.hour = SliceToInt(data, 7, 2);
  parts.minute = SliceToInt(data, 9, 2);
  fDateTime = EncodeDateTime(parts);
  return true;
}

kEPSRTServer_ZrepNumber::kEPSRTServer_ZrepNumber(kEPSRTServer& aServer)
    : kEPSRTServer_Api(aServer) {}

bool kEPSRTServer_ZrepNumber::Get() {
  std::lock_guard<std::recursive_mutex> hold(fServer.Lock());
  if (!fServer.SendRequest(fpMate, kZrepNumberRequest)) return false;
  std::string data = RequireChild(fServer.XmlResponseNode(), "responseData").Text();
  fNumber = SliceToInt(data, kNumberFirst, kNumberLength);
  return true;
}

bool kEPSRTServer::GetDateTime() { return fDateTime->Get(); }

bool kEPSRTServer::GetZRepNumber() { return fZrepNumber->Get(); }

}  // namespace qx
