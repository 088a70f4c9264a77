// Receipt security: seals a converted receipt with the SHA-256 digest of its
// receipt element. The element already holds the previous receipt's digest
// (the back link), so the digests of one till form a chain; the new digest
// becomes the chain's head and is appended after the receipt element.
#include <algorithm>
#include <string>

#include "rtserver/uRTSEPS20_Receipt.h"

namespace qx {

void kEPSRTServer_Receipt::AddReceiptSecurity() {
  // The digest covers the receipt element from its start tag to its end tag,
  // without line breaks and tabs, so that reformatting does not break the seal.
  std::string text = XmlReceiptNode().Xml();
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '\t'; });
  std::string digest = fServer.GetSha256(text);

  XmlElement security = fXmlReceipt->DocumentElement().AppendChild("receiptSecurity");
  security.AppendChild("hash").SetAttribute("fingerPrint", digest);
  // Last, so that a failure above leaves the chain as it was.
  fTokenId = std::move(digest);
}

}  // namespace qx
