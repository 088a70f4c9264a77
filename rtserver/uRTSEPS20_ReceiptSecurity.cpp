// Receipt security: seals a converted receipt with the SHA-256 digest of its
// receipt element. The element already holds the previous receipt's digest
// (the back link), so the digests of one till form a chain; the new digest
// becomes the chain's head and is appended after the receipt element.
#include <string>
#include <utility>

#include "rtserver/uRTSEPS20_Receipt.h"

namespace qx {

void kEPSRTServer_Receipt::AddReceiptSecurity() {
  // The digest covers the receipt element from its start tag to its end tag,
  // without line breaks and tabs so that reformatting does not break the seal.
  // The text goes into a buffer kept between receipts: a large receipt then
  // costs no fresh memory.
  fSealText.clear();
  AppendCleanMarkup(XmlReceiptNode().Native(), fSealText);
  std::string digest = fServer.GetSha256(fSealText);

  XmlElement security = fXmlReceipt->DocumentElement().AppendChild("receiptSecurity");
  security.AppendChild("hash").SetAttribute("fingerPrint", digest);
  // Last, so that a failure above leaves the chain as it was.
  fTokenId = std::move(digest);
}

}  // namespace qx
