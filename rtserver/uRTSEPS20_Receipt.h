// The server client's receipt object: turns a host receipt into the fiscal
// receipt the RT server receives. It books every line amount on a VAT share,
// spreads receipt-level adjustments over the shares, totals the payments,
// writes the fiscal information into the document, puts the previous
// fingerprint in front of the receipt and seals it with its SHA-256 digest,
// which becomes the next link of the till's fingerprint chain.
//
// The till manager loads the wrapped host receipt into XmlReceipt(), sets the
// five numbering fields, calls Process() and reads the results back. Only the
// host's thread converts; the queue pusher calls Print() alone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/currency.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace qx {

// The share of one receipt charged at one VAT rate. The department is held
// as a copy, so a share stays valid when the VAT map is reloaded between a
// conversion and the reading of its VAT total.
class kEPSRTServer_ReceiptVATAmount {
 public:
  kEPSRTServer_ReceiptVATAmount(const kEPSRTServer_VAT& aVAT, Currency aBaseAmount)
      : fVAT(aVAT), fBaseAmount(aBaseAmount) {}

  const kEPSRTServer_VAT& VAT() const { return fVAT; }
  void SetVAT(const kEPSRTServer_VAT& aValue) { fVAT = aValue; }
  // VAT-inclusive amount of the lines at that VAT, after adjustments.
  Currency BaseAmount() const { return fBaseAmount; }
  void SetBaseAmount(Currency aValue) { fBaseAmount = aValue; }

 private:
  kEPSRTServer_VAT fVAT;
  Currency fBaseAmount;
};

// The receipt's shares in the order their VAT index was first used.
class kEPSRTServer_ReceiptVATAmountList {
 public:
  size_t Count() const { return fItems.size(); }
  bool Empty() const { return fItems.empty(); }
  kEPSRTServer_ReceiptVATAmount& Item(size_t aIndex) const { return *fItems[aIndex]; }
  // The first share whose VAT index is |aID|; nullptr when there is none.
  kEPSRTServer_ReceiptVATAmount* GetVATAmount(int32_t aID) const;
  kEPSRTServer_ReceiptVATAmount& Add(const kEPSRTServer_VAT& aVAT, Currency aBaseAmount);
  void Clear() { fItems.clear(); }

 private:
  std::vector<std::unique_ptr<kEPSRTServer_ReceiptVATAmount>> fItems;
};

class kEPSRTServer_Receipt : public kEPSRTServer_Api {
 public:
  // Limits of one line amount (or payment), of a receipt's total at every
  // line, and of the day's sales total, either way. A till's busiest day,
  // 9,999 receipts at the receipt limit, stays within the day limit, and the
  // day limit is far from what Currency holds, so the day's totals can
  // never overflow. A receipt beyond any of them is refused.
  static constexpr Currency kLineLimit = Currency::FromRaw(99'999'999'9900);
  static constexpr Currency kReceiptLimit = Currency::FromRaw(99'999'999'9900);
  static constexpr Currency kDayLimit = Currency::FromRaw(999'999'999'999'9900);

  explicit kEPSRTServer_Receipt(kEPSRTServer& aServer);
  ~kEPSRTServer_Receipt() override;

  // A receipt is never read from the server: always raises
  // "Get Method not allowed for Receipt.".
  bool Get() override;

  // Converts and seals the document loaded in XmlReceipt(). |aDocType| is the
  // host's document type ("0" for a sale, which adds to the daily amount).
  // Raises on any failure. A missing VAT map or a document without
  // printerFiscalReceipt or endFiscalReceipt is refused before anything
  // changes; a later failure leaves NRecNumber() incremented and the shares
  // as far as they got, but TokenId() and DailyAmount() change only when the
  // whole conversion succeeded.
  void Process(const std::string& aDocType);

  // Submits a stored fiscal receipt document ("<createReceipt>...") to the
  // fpServer end point; the client's LastError says why when it fails.
  bool Print(std::string_view aXml);

  // The whole document as text without carriage returns, line feeds and tabs.
  std::string CleanXMLReceipt() const;
  // The first child of the document element (the receipt element of a
  // converted receipt); empty when no document is loaded.
  XmlElement XmlReceiptNode() const;
  // The receipt's VAT: each share's VAT rounded to cents, summed.
  Currency VATTotalAmount() const;

  const std::string& Tillid() const { return fTillId; }
  void SetTillid(std::string aValue) { fTillId = std::move(aValue); }
  // The fingerprint chain link: the previous link before a conversion, this
  // receipt's digest after it.
  const std::string& TokenId() const { return fTokenId; }
  void SetTokenId(std::string aValue) { fTokenId = std::move(aValue); }
  int32_t ZRepNumber() const { return fZRepNumber; }
  void SetZRepNumber(int32_t aValue) { fZRepNumber = aValue; }
  // Incremented by the conversion before anything else.
  int32_t NRecNumber() const { return fNRecNumber; }
  void SetNRecNumber(int32_t aValue) { fNRecNumber = aValue; }
  Currency DailyAmount() const { return fDailyAmount; }
  void SetDailyAmount(Currency aValue) { fDailyAmount = aValue; }

  XmlDocument& XmlReceipt() const { return *fXmlReceipt; }
  Currency TotalAmount() const { return fTotalAmount; }
  const kEPSRTServer_ReceiptVATAmountList& VATAmounts() const { return *fVATAmounts; }

  // The amount of a line: attribute |aValueName| read as an amount (zero for
  // an empty name), times attribute |aFactorName| when one is given, rounded
  // to four decimals. An absent or malformed attribute raises.
  static Currency ReadLineAmount(XmlElement aLine, std::string_view aValueName,
                                 std::string_view aFactorName = {});

 private:
  // Books a line amount on the share of VAT index |aVATIndex|, creating the
  // share from the server client's VAT map on first use. Raises
  // "VAT Index <n> not found in VAT Map" and adds nothing when the map lacks it.
  void AddVATAmount(int32_t aVATIndex, Currency aAmount);
  // Spreads a receipt-level adjustment over the shares in proportion to them;
  // the caller has already added |aAmount| to TotalAmount(). Raises, changing
  // nothing, when the total before the adjustment was zero or there is no
  // share to take it.
  void DistributeAmount(Currency aAmount);
  // Appends the markup of |aNode| as the document service renders it, less
  // every carriage return, line feed and tab.
  static void AppendCleanMarkup(pugi::xml_node aNode, std::string& aOut);
  // Hashes the receipt element, stores the digest as the new chain link and
  // appends it as receiptSecurity/hash to the document element.
  void AddReceiptSecurity();

  std::string fTokenId;
  std::string fTillId;
  Currency fDailyAmount;
  std::unique_ptr<XmlDocument> fXmlReceipt;
  std::unique_ptr<kEPSRTServer_ReceiptVATAmountList> fVATAmounts;
  Currency fTotalAmount;
  int32_t fZRepNumber = 0;
  int32_t fNRecNumber = 0;
  // The hashed text of the last seal; its capacity is reused.
  std::string fSealText;
};

// Amount arithmetic of the receipt. Products and quotients are evaluated in
// Extended (64-bit mantissa, platform/currency.h) from the scaled integers of
// the amounts and rounded to the nearest value, ties to even. A result that
// does not fit Currency raises "Amount out of range".
namespace receipt_math {

// A Currency from a count of ten-thousandths held in Extended, rounded to an
// integer count ties to even.
Currency FromScaled(Extended aScaled);
// a × b to four decimals.
Currency Multiply(Currency aA, Currency aB);
// a × b to two decimals.
Currency MultiplyTo2(Currency aA, Currency aB);
// a / b + 1 to four decimals; raises when b is zero.
Currency RatioPlusOne(Currency aA, Currency aB);
// The VAT contained in the VAT-inclusive amount |aBase| at |aRate| percent,
// B − (B / (R + 100)) × 100, to two decimals.
Currency IncludedVAT(Currency aBase, Currency aRate);

}  // namespace receipt_math

}  // namespace qx
