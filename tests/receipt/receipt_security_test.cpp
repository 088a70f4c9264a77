// The seal of converted receipts: the digest over the receipt element, the
// back link that chains each receipt to the one before, what the digest
// covers and what it ignores.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>

#include "platform/error.h"
#include "receipt/receipt_fixture.h"

namespace qx::testing {
namespace {

// SHA-256 in lowercase hexadecimal, straight from OpenSSL.
std::string Sha256Of(const std::string& aText) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(aText.data(), aText.size(), digest, &length, EVP_sha256(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// The receipt element cut out of the rendered document, as the server will
// see it in the queued file.
std::string ReceiptMarkup(const std::string& aCleanDocument) {
  const size_t start = aCleanDocument.find("<receipt>");
  const size_t end = aCleanDocument.find("</receipt>");
  return aCleanDocument.substr(start, end + 10 - start);
}

std::string BackLink(const kEPSRTServer_Receipt& aReceipt) {
  return XmlElement(aReceipt.XmlReceiptNode().Native().child("hash")).AttributeText("fingerPrint");
}

std::string Seal(const kEPSRTServer_Receipt& aReceipt) {
  return XmlElement(aReceipt.XmlReceipt()
                        .DocumentElement()
                        .Native()
                        .child("receiptSecurity")
                        .child("hash"))
      .AttributeText("fingerPrint");
}

class ReceiptSealTest : public ReceiptTest {
 protected:
  // Converts two host texts from the same starting state and returns their
  // digests. Converted within one minute so that the time stamps agree;
  // repeated when the minute turned in between.
  std::pair<std::string, std::string> Digests(const std::string& aFirst, const std::string& aSecond,
                                              const std::string& aSecondLink = kFirstLink) {
    for (int attempt = 0;; ++attempt) {
      Prime();
      Convert(aFirst);
      const std::string stampA = Attr("dateTime"), digestA = receipt_.TokenId();
      Prime();
      receipt_.SetTokenId(aSecondLink);
      Convert(aSecond);
      if (Attr("dateTime") == stampA || attempt == 2) return {digestA, receipt_.TokenId()};
    }
  }
};

TEST_F(ReceiptSealTest, DigestOfTheWorkedReceiptRecomputed) {
  Convert(WorkedReceiptText());
  const std::string digest = receipt_.TokenId();
  EXPECT_EQ(digest.size(), 64u);
  EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos) << digest;
  EXPECT_EQ(Seal(receipt_), digest);
  EXPECT_EQ(BackLink(receipt_), kFirstLink);
  const std::string markup = ReceiptMarkup(receipt_.CleanXMLReceipt());
  EXPECT_EQ(markup.rfind("<receipt><hash fingerPrint=\"TOKEN-OF-THE-DAY\"/>", 0), 0u);
  EXPECT_EQ(markup.find("receiptSecurity"), std::string::npos);
  EXPECT_EQ(Sha256Of(markup), digest);
  // The same text as the document service renders the receipt element.
  std::string rendered = receipt_.XmlReceiptNode().Xml();
  std::erase_if(rendered, [](char c) { return c == '\r' || c == '\n' || c == '\t'; });
  EXPECT_EQ(rendered, markup);
}

TEST_F(ReceiptSealTest, ReceiptsInARowFormAChain) {
  Convert(WorkedReceiptText());
  const std::string first = receipt_.TokenId();
  // The till manager copies the new link into its counters and back.
  receipt_.SetNRecNumber(receipt_.NRecNumber());
  Convert(WorkedReceiptText());
  EXPECT_EQ(BackLink(receipt_), first);
  EXPECT_NE(receipt_.TokenId(), first);
  EXPECT_EQ(Sha256Of(ReceiptMarkup(receipt_.CleanXMLReceipt())), receipt_.TokenId());
  EXPECT_EQ(receipt_.NRecNumber(), 6);
}

TEST_F(ReceiptSealTest, SameReceiptSameDigest) {
  const auto [a, b] = Digests(WorkedReceiptText(), WorkedReceiptText());
  EXPECT_EQ(a, b);
}

TEST_F(ReceiptSealTest, AnyChangeInsideTheReceiptChangesTheDigest) {
  const std::string worked = WorkedReceiptText();
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = worked;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  // A host attribute that the conversion does not read, a single space, an amount.
  for (const std::string& changed :
       {replaced("ESPRESSO", "ESPRESSO "), replaced("operator=\"1\"/>", "operator=\"2\"/>"),
        replaced("payment=\"20.00\"", "payment=\"20.01\"")}) {
    const auto [a, b] = Digests(worked, changed);
    EXPECT_NE(a, b) << changed;
  }
  // The back link.
  const auto [a, b] = Digests(worked, worked, "TOKEN-OF-THE-DAY.");
  EXPECT_NE(a, b);
}

TEST_F(ReceiptSealTest, LineBreaksAndTabsDoNotCount) {
  const auto [a, b] = Digests(
      HostReceipt(Item("1", "1", "1") + "<printRecMessage>THANK YOU</printRecMessage>"),
      HostReceipt(Item("1", "1", "1") + "<printRecMessage>\r\nTHANK\t YOU\n</printRecMessage>"));
  EXPECT_EQ(a, b);
  const auto [c, d] =
      Digests(HostReceipt(Item("1", "1", "1") + "<printRecMessage>THANK YOU</printRecMessage>"),
              HostReceipt(Item("1", "1", "1") + "<printRecMessage>THANK  YOU</printRecMessage>"));
  EXPECT_NE(c, d);
}

TEST_F(ReceiptSealTest, FailedConversionLeavesTheChain) {
  Convert(WorkedReceiptText());
  const std::string first = receipt_.TokenId();
  const int32_t number = receipt_.NRecNumber();
  const Currency daily = receipt_.DailyAmount();

  // Refused late: the payment type is read after all amounts are booked.
  Load(HostReceipt(Item("1", "1", "1") + Payment("1", "X")));
  EXPECT_THROW(receipt_.Process("0"), Error);
  EXPECT_EQ(receipt_.TokenId(), first);
  EXPECT_EQ(receipt_.DailyAmount(), daily);

  // The till manager primes the next receipt from its counters, which did not move.
  receipt_.SetNRecNumber(number);
  Convert(WorkedReceiptText());
  EXPECT_EQ(BackLink(receipt_), first);
  EXPECT_EQ(receipt_.NRecNumber(), number + 1);
}

}  // namespace
}  // namespace qx::testing
