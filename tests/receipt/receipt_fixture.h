// Shared set-up of the receipt tests: a server client whose VAT map holds
// index 1 at 22 %, 2 at 10 %, 3 at 4 % and the exempt index 0, a receipt
// object primed like the till manager primes it, and helpers to load host
// receipts and read the converted document.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/currency.h"
#include "platform/files.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace qx::testing {

// The VAT map of this set-up, as the server sends it; the benchmarks use it too.
inline std::string TestVATMapText() {
  return ReadFileBytes(std::string(QX_SOURCE_DIR) + "/tests/data/vat_map.xml");
}

// VAT index and base amount (fiscal text) of each share, in list order.
using ShareList = std::vector<std::pair<int32_t, std::string>>;

inline constexpr const char* kFirstLink = "TOKEN-OF-THE-DAY";

inline std::string WorkedReceiptText() {
  return ReadFileBytes(std::string(QX_SOURCE_DIR) + "/tests/data/worked_receipt.xml");
}

inline Currency Amount(const char* aText) { return ParseCurrency(aText); }

// A host receipt from its lines, closed by endFiscalReceipt.
inline std::string HostReceipt(const std::string& aLines) {
  return "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\"/>" + aLines +
         "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>";
}

inline std::string Item(const char* aPrice, const char* aQuantity, const char* aVAT,
                        const char* aName = "printRecItem") {
  return std::string("<") + aName + " description=\"ITEM\" quantity=\"" + aQuantity +
         "\" unitPrice=\"" + aPrice + "\" vatID=\"" + aVAT + "\"/>";
}

inline std::string Adjustment(const char* aName, const char* aType, const char* aAmount) {
  return std::string("<") + aName + " adjustmentType=\"" + aType + "\" amount=\"" + aAmount +
         "\"/>";
}

inline std::string Payment(const char* aPayment, const char* aType, const char* aQuantity = "1") {
  return std::string("<printRecTotal payment=\"") + aPayment + "\" paymentType=\"" + aType +
         "\" quantity=\"" + aQuantity + "\"/>";
}

class ReceiptTest : public ::testing::Test {
 protected:
  ReceiptTest() : receipt_(server_.Receipt()) {
    server_.VATMap().Deserialize(TestVATMapText());
    Prime();
  }

  // Numbering of the worked example: till T01, Z report 12, receipt 4 so far.
  void Prime() {
    receipt_.SetTillid("T01");
    receipt_.SetTokenId(kFirstLink);
    receipt_.SetZRepNumber(12);
    receipt_.SetNRecNumber(4);
    receipt_.SetDailyAmount(Amount("100"));
  }

  // Wraps the host text the way the till manager does and loads it.
  void Load(const std::string& aHostText) {
    receipt_.XmlReceipt().LoadXml("<createReceipt><receipt>" + aHostText +
                                  "</receipt></createReceipt>");
  }

  void Convert(const std::string& aHostText, const std::string& aDocType = "0") {
    Load(aHostText);
    receipt_.Process(aDocType);
  }

  XmlElement Root() const { return receipt_.XmlReceipt().DocumentElement(); }
  XmlElement Printer() const {
    return receipt_.XmlReceiptNode().ChildNodes().FindByName("printerFiscalReceipt");
  }
  XmlElement Info() const { return Printer().ChildNodes().FindByName("fiscalInformation"); }
  std::string Attr(const char* aName) const { return Info().AttributeText(aName); }

  ShareList Shares() const {
    ShareList shares;
    const kEPSRTServer_ReceiptVATAmountList& list = receipt_.VATAmounts();
    for (size_t i = 0; i < list.Count(); ++i) {
      shares.emplace_back(list.Item(i).VAT().Index(), FormatFiscal(list.Item(i).BaseAmount()));
    }
    return shares;
  }

  kEPSRTServer server_;
  kEPSRTServer_Receipt& receipt_;
};

}  // namespace qx::testing
