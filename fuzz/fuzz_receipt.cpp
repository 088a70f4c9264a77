// The host receipt conversion: the input is a host receipt as SIGNRECEIPT
// passes it on (UTF-8 from the host's UTF-16 text). It is wrapped and loaded
// the way the till manager does, then converted and sealed with a fixed VAT
// map and no network. Process must succeed or raise qx::Error. A receipt that
// converts must give a queue text that is one line, parses, carries the back
// link and whose seal is the SHA-256 of its receipt element; a failed
// conversion must leave the chain link as it was. What is sealed is what is
// counted: every line element of a sealed receipt stands, plain-named and in
// no namespace, directly in a plain printerFiscalReceipt, where the walk
// counts it, and the sealed document type is the one its beginFiscalReceipt
// carries.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/digest.h"
#include "platform/error.h"
#include "platform/strings.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace {

void Require(bool aCondition, const char* aWhat) {
  if (aCondition) return;
  std::fprintf(stderr, "invariant broken: %s\n", aWhat);
  std::abort();
}

constexpr const char* kVATMap =
    "<VATMap>"
    "<VAT><Index>1</Index><Code>2200</Code><Rate>22</Rate></VAT>"
    "<VAT><Index>2</Index><Code>1000</Code><Rate>10</Rate></VAT>"
    "<VAT><Index>3</Index><Code>0400</Code><Rate>4</Rate></VAT>"
    "<VAT><Index>0</Index><Code>N4</Code><Rate>0</Rate></VAT>"
    "<VAT><Index>10</Index><Code>N1</Code><Rate>0</Rate></VAT>"
    "</VATMap>";

constexpr const char* kBackLink =
    "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

// The document type and the wrapped text, as receipt processing derives them.
bool Wrap(const std::string& aHostText, std::string& aDocType, std::string& aWrapped) {
  qx::XmlDocument host;
  try {
    host.LoadXml(aHostText);
  } catch (const qx::Error&) {
    return false;
  }
  aDocType.clear();
  try {
    qx::XmlElement begin = host.DocumentElement().ChildNodes().FindByName("beginFiscalReceipt");
    if (!begin.IsNull()) {
      aDocType = begin.AttributeText("docType");
      if (aDocType.empty()) aDocType = "0";
    }
  } catch (const qx::Error&) {
  }
  aWrapped = "<createReceipt><receipt>" + host.Text() + "</receipt></createReceipt>";
  return true;
}

bool IsLineElement(const std::string& aLocal) {
  for (const char* name :
       {"beginFiscalReceipt", "endFiscalReceipt", "printRecItem", "printRecRefund",
        "printRecItemVoid", "printRecRefundVoid", "printRecItemAdjustment",
        "printRecSubtotalAdjustment", "printRecTotal"}) {
    if (aLocal == name) return true;
  }
  return false;
}

// Every line element below |aPrinter| is one the conversion walked.
void CheckLinesCounted(qx::XmlElement aPrinter, const std::string& aDocType) {
  Require(aPrinter.NodeName() == "printerFiscalReceipt" && aPrinter.NamespaceUri().empty(),
          "the sealed root is a plain printerFiscalReceipt");
  const pugi::xml_node root = aPrinter.Native();
  std::string sealedType = "\x01", begunType;
  for (pugi::xml_node node = root.first_child(); node && node != root;) {
    if (node.type() == pugi::node_element) {
      const qx::XmlElement element(node);
      const std::string local = element.LocalName();
      if (IsLineElement(local)) {
        Require(
            node.parent() == root && element.NodeName() == local && element.NamespaceUri().empty(),
            "every sealed line element is one the conversion counted");
      }
      if (local == "beginFiscalReceipt") {
        begunType = element.AttributeText("docType");
        if (begunType.empty()) begunType = "0";
      }
      if (local == "fiscalInformation") sealedType = element.AttributeText("doctype");
    }
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != root && !node.next_sibling()) node = node.parent();
    if (node != root) node = node.next_sibling();
  }
  Require(sealedType == aDocType && sealedType == begunType,
          "the sealed document type is the one the receipt begins with");
}

void CheckQueueText(const std::string& aText, const std::string& aDigest,
                    const std::string& aDocType) {
  Require(aText.find_first_of("\r\n\t") == std::string::npos, "the queue text is one line");
  const std::string head = "<createReceipt><receipt>";
  Require(aText.compare(0, head.size(), head) == 0, "the queue text starts with the wrapper");
  const size_t security = aText.rfind("<receiptSecurity>");
  Require(security != std::string::npos, "the queue text holds the seal");
  const std::string sealed = aText.substr(std::string("<createReceipt>").size(),
                                          security - std::string("<createReceipt>").size());
  Require(qx::Sha256Hex(sealed) == aDigest, "the seal is the digest of the receipt element");

  qx::XmlDocument stored;
  stored.LoadXml(aText);  // raises, and so fails the run, when the text does not parse
  qx::XmlElement receipt = stored.DocumentElement().ChildNodes().First();
  qx::XmlElement link = receipt.ChildNodes().First();
  Require(link.NodeName() == "hash" && link.AttributeText("fingerPrint") == kBackLink,
          "the receipt carries the back link first");
  CheckLinesCounted(qx::XmlElement(link.Native().next_sibling()), aDocType);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  // What the entry point hands on: valid UTF-8, whatever the host sent.
  const std::string hostText = qx::Utf16ToUtf8(
      qx::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(aData), aSize)));
  std::string docType, wrapped;
  if (!Wrap(hostText, docType, wrapped)) return 0;

  static qx::kEPSRTServer* client = [] {
    auto* made = new qx::kEPSRTServer();
    made->VATMap().Deserialize(kVATMap);
    return made;
  }();
  qx::kEPSRTServer_Receipt& receipt = client->Receipt();
  receipt.SetTillid("T01");
  receipt.SetTokenId(kBackLink);
  receipt.SetZRepNumber(12);
  receipt.SetNRecNumber(4);
  receipt.SetDailyAmount(qx::Currency::FromUnits(100));
  try {
    receipt.XmlReceipt().LoadXml(wrapped);
    receipt.Process(docType);
  } catch (const qx::Error&) {
    Require(receipt.TokenId() == kBackLink, "a failed conversion leaves the chain link");
    return 0;
  }
  const std::string digest = receipt.TokenId();
  Require(digest.size() == 64 && digest.find_first_not_of("0123456789abcdef") == std::string::npos,
          "the seal is 64 lowercase hexadecimal digits");
  Require(receipt.NRecNumber() == 5, "the receipt takes the next number");
  try {
    CheckQueueText(receipt.CleanXMLReceipt(), digest, docType);
  } catch (const qx::Error& e) {
    std::fprintf(stderr, "queue text does not parse: %s\n", e.what());
    std::abort();
  }
  return 0;
}
