// Building the result documents of the entry points.
#include "host/QXRS_VURUV90_20_Results.h"

#include "manager/uRTServerManager.h"
#include "platform/currency.h"
#include "platform/datetime.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20_Info.h"
#include "rtserver/uRTSEPS20_Receipt.h"

namespace qx {
namespace {

void AppendText(XmlElement aParent, const char* aName, const std::string& aText) {
  aParent.AppendChild(aName).SetValue(aText);
}

void AppendNumber(XmlElement aParent, const char* aName, int64_t aValue) {
  AppendText(aParent, aName, std::to_string(aValue));
}

// The amount with the decimal separator of the user's locale, no grouping,
// no trailing zeros.
void AppendAmount(XmlElement aParent, const char* aName, Currency aValue) {
  AppendText(aParent, aName, FormatLocale(aValue));
}

// The date-time value's own digits, marked as UTC.
std::string ZuluDate(TDateTime aValue) {
  return FormatDateTime("yyyy-mm-ddThh:nn:ss.zzz", aValue) + "Z";
}

}  // namespace

std::string SignResultDocument(kRTSManager& aManager) {
  XmlDocument document;
  document.LoadXml("<Result/>");
  XmlElement root = document.DocumentElement();
  const kRTSCounters& counters = aManager.ActualCounters();
  const kEPSRTServer_Receipt& receipt = aManager.Receipt();
  AppendAmount(root, "VATTotal", receipt.VATTotalAmount());
  AppendText(root, "ServerSerialNumber", counters.ServerSerialNumber());
  AppendText(root, "TillId", counters.TillSerialNumber());
  AppendText(root, "RTServerTillSerial", counters.ServerSerialNumber());
  AppendText(root, "Signature", counters.LastFingerPrint());
  AppendNumber(root, "nDoc", receipt.NRecNumber());
  AppendNumber(root, "zRep", receipt.ZRepNumber());
  XmlElement headers = root.AppendChild("Headers");
  for (const std::string& line : aManager.ServerInfo().Headers()) {
    AppendText(headers, "Header", line);
  }
  return root.Xml();
}

std::string DayResultDocument(const kRTSCounters& aCounters) {
  XmlDocument document;
  document.LoadXml("<Result/>");
  XmlElement root = document.DocumentElement();
  AppendNumber(root, "nRecNumber", aCounters.CurrentnRec());
  AppendNumber(root, "zRepNumber", aCounters.CurrentzRep());
  AppendText(root, "zRepDateTime", ZuluDate(aCounters.LastZRepDate()));
  AppendText(root, "ServerSerialNumber", aCounters.ServerSerialNumber());
  AppendText(root, "TillSerialNumber", aCounters.TillSerialNumber());
  AppendAmount(root, "DailyTotal", aCounters.DailyTotal());
  AppendAmount(root, "DailySales", aCounters.DailySales());
  AppendAmount(root, "DailyRefunds", aCounters.DailyRefunds());
  AppendAmount(root, "DailyVoids", aCounters.DailyVoids());
  return root.Xml();
}

}  // namespace qx
