// The VAT map request: reading the server's departments, the fixed exempt
// departments, look-ups, and the cache text.
#include "rtserver/uRTSEPS20_VATMap.h"

#include <cstdio>

#include "platform/error.h"
#include "platform/strings.h"

namespace qx {

namespace {

constexpr int kTaxedDepartments = 9;

struct ExemptDepartment {
  int32_t index;
  const char* code;
};

// Appended after the taxed departments, in this order.
constexpr ExemptDepartment kExemptDepartments[] = {
    {0, "N4"}, {10, "N1"}, {11, "N2"}, {12, "N3"}, {13, "N5"}, {14, "N6"},
};

std::string DepartmentRequest(int aDepartment) {
  char data[3];
  std::snprintf(data, sizeof data, "%02d", aDepartment);
  return std::string("<printerCommand><directIO command=\"4205\" data=\"") + data +
         "\"/></printerCommand>";
}

// One VAT element of the cache text.
std::unique_ptr<kEPSRTServer_VAT> ReadVATElement(XmlElement aVAT) {
  auto part = [&aVAT](std::string_view aName) {
    XmlElement child = aVAT.ChildNodes().FindByName(aName);
    if (child.IsNull()) throw Error("VAT element without " + std::string(aName));
    return child.Text();
  };
  const int32_t index = StrToInt(part("Index"));
  std::string code = part("Code");
  const Currency rate = ParseCurrency(part("Rate"));
  return std::make_unique<kEPSRTServer_VAT>(index, std::move(code), rate);
}

// The rate of department |aDepartment| in percent from its four-digit text. A
// text that is not a number is the server's fault, and the message says so.
Currency ServerRate(int aDepartment, const std::string& aRateText) {
  try {
    return Divide(ParseCurrency(aRateText), 100);
  } catch (const Error&) {
    throw Error("The server's VAT map is unusable: department " + std::to_string(aDepartment) +
                " has the rate '" + aRateText + "'");
  }
}

}  // namespace

kEPSRTServer_VATMap::kEPSRTServer_VATMap(kEPSRTServer& aServer) : kEPSRTServer_Api(aServer) {}

bool kEPSRTServer_VATMap::Get() {
  std::lock_guard lock(fServer.Lock());
  fVATs.clear();
  // Built aside and installed only when complete, so that neither a failed
  // exchange nor an unreadable reply leaves a partial table behind.
  kEPSRTServer_VATList table;
  for (int n = 1; n <= kTaxedDepartments; ++n) {
    if (!fServer.SendRequest(fpMate, DepartmentRequest(n))) return false;
    XmlElement data = RequireChild(fServer.XmlResponseNode(), "responseData");
    const std::string rateText = CopyText(data.Text(), 3, 4);
    if (rateText == "0000") continue;
    const Currency rate = ServerRate(n, rateText);
    table.push_back(std::make_unique<kEPSRTServer_VAT>(n, rateText, rate));
  }
  for (const ExemptDepartment& exempt : kExemptDepartments) {
    table.push_back(std::make_unique<kEPSRTServer_VAT>(exempt.index, exempt.code, Currency()));
  }
  fVATs = std::move(table);
  return true;
}

kEPSRTServer_VAT* kEPSRTServer_VATMap::GetVATbyIndex(int32_t aVATIndex) const {
  for (const auto& vat : fVATs) {
    if (vat->Index() == aVATIndex) return vat.get();
  }
  return nullptr;
}

kEPSRTServer_VAT* kEPSRTServer_VATMap::GetVATbyCode(std::string_view aVATCode) const {
  for (const auto& vat : fVATs) {
    if (vat->Code() == aVATCode) return vat.get();
  }
  return nullptr;
}

std::string kEPSRTServer_VATMap::Serialize() const {
  XmlDocument document;
  document.LoadXml("<VATMap/>");
  XmlElement root = document.DocumentElement();
  for (const auto& vat : fVATs) {
    XmlElement element = root.AppendChild("VAT");
    element.AppendChild("Index").SetValue(std::to_string(vat->Index()));
    element.AppendChild("Code").SetValue(vat->Code());
    element.AppendChild("Rate").SetValue(FormatFiscal(vat->Rate()));
  }
  return root.Xml();
}

bool kEPSRTServer_VATMap::Deserialize(std::string_view aString) {
  XmlDocument document;
  document.LoadXml(aString);
  kEPSRTServer_VATList table;
  XmlNodeList children = document.DocumentElement().ChildNodes();
  for (size_t i = 0; i < children.Count(); ++i) {
    XmlElement child = children.Item(i);
    if (child.IsText() || child.NodeName() != "VAT") continue;
    table.push_back(ReadVATElement(child));
  }
  fVATs = std::move(table);
  return true;
}

bool kEPSRTServer::GetVATMap() { return VATMap().Get(); }

}  // namespace qx
