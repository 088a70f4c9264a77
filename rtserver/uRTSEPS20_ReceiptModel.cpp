// The receipt object's data and its per-VAT bookkeeping: booking line amounts
// on VAT shares, spreading a receipt-level adjustment over them, the
// receipt's VAT, the read-only views of the document, and the submitter.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "rtserver/uRTSEPS20_Receipt.h"

namespace qx {

// ---------------------------------------------------------------------------
// Amount arithmetic

namespace receipt_math {
namespace {

[[noreturn]] void RaiseOutOfRange() { throw Error("Amount out of range"); }

// A count of hundredths rounded to an integer, ties to even, as a Currency.
Currency FromScaledCents(Extended aCents) {
  const std::optional<int64_t> cents = aCents.RoundToInteger();
  int64_t raw = 0;
  if (!cents || __builtin_mul_overflow(*cents, Currency::kScale / 100, &raw)) RaiseOutOfRange();
  return Currency::FromRaw(raw);
}

}  // namespace

Currency FromScaled(Extended aScaled) {
  const std::optional<int64_t> raw = aScaled.RoundToInteger();
  if (!raw) RaiseOutOfRange();
  return Currency::FromRaw(*raw);
}

// Each line is evaluated left to right, every operation rounded to 64 bits.

Currency Multiply(Currency aA, Currency aB) {
  return FromScaled(Extended(aA.Raw()) * aB.Raw() / Currency::kScale);
}

Currency MultiplyTo2(Currency aA, Currency aB) {
  return FromScaledCents(Extended(aA.Raw()) * aB.Raw() /
                         (Currency::kScale * Currency::kScale / 100));
}

Currency RatioPlusOne(Currency aA, Currency aB) {
  if (aB.Raw() == 0) RaiseOutOfRange();
  return FromScaled((Extended(aA.Raw()) / aB.Raw() + 1) * Currency::kScale);
}

Currency IncludedVAT(Currency aBase, Currency aRate) {
  const Currency divisor = aRate + Currency::FromUnits(100);
  if (divisor.Raw() == 0) RaiseOutOfRange();
  // B / (R + 100) as a quotient of amounts, times 100, subtracted from B; the
  // result in currency units is then rounded to cents.
  const Extended net = Extended(aBase.Raw()) / divisor.Raw() * 100;
  const Extended vat = Extended(aBase.Raw()) / Currency::kScale - net;
  return FromScaledCents(vat * 100);
}

}  // namespace receipt_math

// ---------------------------------------------------------------------------
// kEPSRTServer_ReceiptVATAmountList

kEPSRTServer_ReceiptVATAmount* kEPSRTServer_ReceiptVATAmountList::GetVATAmount(int32_t aID) const {
  for (const auto& item : fItems) {
    if (item->VAT().Index() == aID) return item.get();
  }
  return nullptr;
}

kEPSRTServer_ReceiptVATAmount& kEPSRTServer_ReceiptVATAmountList::Add(const kEPSRTServer_VAT& aVAT,
                                                                      Currency aBaseAmount) {
  fItems.push_back(std::make_unique<kEPSRTServer_ReceiptVATAmount>(aVAT, aBaseAmount));
  return *fItems.back();
}

// ---------------------------------------------------------------------------
// kEPSRTServer_Receipt: life cycle and views

namespace {

// Collects printed markup without carriage returns, line feeds and tabs.
class CleanMarkupWriter : public pugi::xml_writer {
 public:
  explicit CleanMarkupWriter(std::string& aOut) : fOut(aOut) {}

  void write(const void* aData, size_t aSize) override {
    const char* data = static_cast<const char*>(aData);
    // Printed markup seldom holds these characters (only inside text): a
    // chunk without any is taken whole.
    if (std::memchr(data, '\n', aSize) == nullptr && std::memchr(data, '\r', aSize) == nullptr &&
        std::memchr(data, '\t', aSize) == nullptr) {
      fOut.append(data, aSize);
      return;
    }
    size_t start = 0;
    for (size_t i = 0; i < aSize; ++i) {
      if (data[i] == '\r' || data[i] == '\n' || data[i] == '\t') {
        fOut.append(data + start, i - start);
        start = i + 1;
      }
    }
    fOut.append(data + start, aSize - start);
  }

 private:
  std::string& fOut;
};

}  // namespace

void kEPSRTServer_Receipt::AppendCleanMarkup(pugi::xml_node aNode, std::string& aOut) {
  // Printed as the document service prints (no added declaration, no
  // indentation) in one pass, without the intermediate copies of its text.
  CleanMarkupWriter writer(aOut);
  aNode.print(writer, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
}

kEPSRTServer_Receipt::kEPSRTServer_Receipt(kEPSRTServer& aServer)
    : kEPSRTServer_Api(aServer),
      fXmlReceipt(std::make_unique<XmlDocument>()),
      fVATAmounts(std::make_unique<kEPSRTServer_ReceiptVATAmountList>()) {}

// The shares go first, then the document (reverse order of the fields).
kEPSRTServer_Receipt::~kEPSRTServer_Receipt() = default;

bool kEPSRTServer_Receipt::Get() { throw Error("Get Method not allowed for Receipt."); }

bool kEPSRTServer_Receipt::Print(std::string_view aXml) {
  return fServer.SendRequest(fpServer, aXml);
}

std::string kEPSRTServer_Receipt::CleanXMLReceipt() const {
  // The document node prints its declaration (when the parsed text had one),
  // its document type and its element: the document's text.
  std::string text;
  // The receipt element's text of the last seal is most of it: one
  // allocation instead of a string grown step by step.
  text.reserve(fSealText.size() + 512);
  const XmlElement root = fXmlReceipt->DocumentElement();
  if (!root.IsNull()) AppendCleanMarkup(root.Native().root(), text);
  return text;
}

XmlElement kEPSRTServer_Receipt::XmlReceiptNode() const {
  const XmlElement root = fXmlReceipt->DocumentElement();
  if (root.IsNull()) return XmlElement();
  return XmlElement(root.Native().first_child());
}

Currency kEPSRTServer_Receipt::VATTotalAmount() const {
  Currency total;
  for (size_t i = 0; i < fVATAmounts->Count(); ++i) {
    const kEPSRTServer_ReceiptVATAmount& share = fVATAmounts->Item(i);
    total += receipt_math::IncludedVAT(share.BaseAmount(), share.VAT().Rate());
  }
  return total;
}

// ---------------------------------------------------------------------------
// kEPSRTServer_Receipt: VAT shares

void kEPSRTServer_Receipt::AddVATAmount(int32_t aVATIndex, Currency aAmount) {
  if (kEPSRTServer_ReceiptVATAmount* share = fVATAmounts->GetVATAmount(aVATIndex)) {
    share->SetBaseAmount(share->BaseAmount() + aAmount);
    return;
  }
  const kEPSRTServer_VAT* vat = fServer.VATMap().GetVATbyIndex(aVATIndex);
  if (vat == nullptr) {
    throw Error("VAT Index " + std::to_string(aVATIndex) + " not found in VAT Map");
  }
  fVATAmounts->Add(*vat, aAmount);
}

void kEPSRTServer_Receipt::DistributeAmount(Currency aAmount) {
  if (fTotalAmount.Raw() == 0) return;
  const Currency before = fTotalAmount - aAmount;
  // The ratio new total / old total is undefined for a zero running total, and
  // nothing could carry the adjustment: the receipt cannot be signed.
  if (before.Raw() == 0) {
    throw Error("Receipt adjustment not allowed while the receipt total is zero");
  }
  if (fVATAmounts->Empty()) {
    throw Error("Receipt adjustment cannot be spread: the receipt has no VAT share");
  }
  const Currency ratio = receipt_math::RatioPlusOne(aAmount, before);

  // New shares are computed in full before any is stored, so a range error
  // leaves the shares as they were.
  std::vector<Currency> shares;
  shares.reserve(fVATAmounts->Count());
  Currency sum;
  for (size_t i = 0; i < fVATAmounts->Count(); ++i) {
    shares.push_back(receipt_math::MultiplyTo2(fVATAmounts->Item(i).BaseAmount(), ratio));
    sum += shares.back();
  }
  // Rounding each share to cents may leave a residue; the first share takes it
  // so that the shares add up to the receipt total again.
  shares.front() += fTotalAmount - sum;
  for (size_t i = 0; i < shares.size(); ++i) fVATAmounts->Item(i).SetBaseAmount(shares[i]);
}

}  // namespace qx
