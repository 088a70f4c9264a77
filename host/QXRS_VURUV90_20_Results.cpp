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

std::string SignResultDocument(kRTSManager& aManager, bool aSigned) {
  XmlDocument document;
  document.LoadXml("<Result/>");
  XmlElement root = document.DocumentElement();
  const kRTSCounters& counters = aManager.ActualCounters();
  const kEPSRTServer_Receipt& receipt = aManager.Receipt();
  // The VAT total is known only of a receipt issued in this process; the
  // numbers of a day just opened or resumed come from its counters.
  const kRTSManager::IssuedReceipt& issued = aManager.LastIssued();
  const bool counted =
      issued.zRep == counters.CurrentzRep() && issued.nRec == counters.CurrentnRec();
  AppendAmount(root, "VATTotal",
               aSigned ? receipt.VATTotalAmount() : (counted ? issued.vatTotal : Currency()));
  AppendText(root, "ServerSerialNumber", counters.ServerSerialNumber());
  AppendText(root, "TillId", counters.TillSerialNumber());
  AppendText(root, "RTServerTillSerial", counters.ServerSerialNumber());
  AppendText(root, "Signature", counters.LastFingerPrint());
  AppendNumber(root, "nDoc", aSigned ? receipt.NRecNumber() : counters.CurrentnRec());
  AppendNumber(root, "zRep", aSigned ? receipt.ZRepNumber() : counters.CurrentzRep());
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
