// SIGNRECEIPT end to end: the result document, the locale of its amounts,
// the fingerprint chain across receipts and the failures it reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/currency.h"
#include "platform/files.h"
#include "platform/xml.h"
#include "support/host_scenario.h"
#include "tools/qxtill/verify.h"

namespace qx::test {
namespace {

class HostSign : public HostScenario {
 protected:
  using HostScenario::HostScenario;

  // Till T01 in its day with Z report 12, next receipt 5 and 100.00 sold.
  void OpenWorkedTill() {
    rtsim::TillState till = rtsim::ParseTill("T01 open z=12 doc=5 amount=100.00");
    Server().SetTill(till);
    ASSERT_EQ(OpenTill().code, 0);
  }
  // The attribute of the first element |aElement| of a queued document.
  static std::string QueuedAttribute(const std::string& aPath, const char* aElement,
                                     const char* aAttribute) {
    XmlDocument document;
    document.LoadXml(ReadFileBytes(aPath));
    pugi::xml_node node = document.DocumentElement().Native().find_node(
        [&](pugi::xml_node n) { return std::string(n.name()) == aElement; });
    return node.attribute(aAttribute).value();
  }
  // The digest in a queued receipt's security block.
  static std::string SealOf(const std::string& aPath) {
    XmlDocument document;
    document.LoadXml(ReadFileBytes(aPath));
    return document.DocumentElement()
        .Native()
        .child("receiptSecurity")
        .child("hash")
        .attribute("fingerPrint")
        .value();
  }
};

TEST_F(HostSign, WorkedReceiptGivesItsResultDocument) {
  OpenWorkedTill();
  HostCall sign = Library().Sign(ReadTestData("worked_receipt.xml"));
  ASSERT_EQ(sign.code, 0) << sign.error.value_or("");
  EXPECT_EQ(sign.error, std::nullopt);
  ASSERT_TRUE(sign.result);
  const std::string& result = *sign.result;
  EXPECT_TRUE(result.starts_with("<Result><VATTotal>1.27</VATTotal><ServerSerialNumber>"))
      << result;
  EXPECT_TRUE(result.ends_with("</Result>"));
  EXPECT_EQ(ElementText(result, "TillId"), "T01");
  EXPECT_EQ(ElementText(result, "nDoc"), "5");
  EXPECT_EQ(ElementText(result, "zRep"), "12");
  EXPECT_EQ(ElementText(result, "ServerSerialNumber"), "99SIM000001");
  EXPECT_EQ(ElementText(result, "RTServerTillSerial"), "99SIM000001");
  const std::string signature = ElementText(result, "Signature").value_or("");
  EXPECT_EQ(signature.size(), 64u);
  EXPECT_TRUE(std::all_of(signature.begin(), signature.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  })) << signature;
  EXPECT_NE(result.find("<Headers><Header>SIMULATED SHOP</Header><Header>1 MAIN STREET</Header>"
                        "<Header>VAT 01234567890</Header></Headers>"),
            std::string::npos)
      << result;

  const auto queued = FiledDocument("T01-0012-0005.srtd");
  ASSERT_TRUE(queued);
  EXPECT_EQ(QueuedAttribute(*queued, "fiscalInformation", "recVAT"), "1.27");
  EXPECT_EQ(SealOf(*queued), signature);
}

// A host that breaks the one-call-at-a-time rule: its calls are taken one
// after the other, so every receipt reported signed has a number of its own
// and the stored chain holds exactly those receipts.
TEST_F(HostSign, TwoThreadsSigningAtOnceGetDistinctNumbersInOneChain) {
  ASSERT_EQ(OpenTill().code, 0);
  constexpr size_t kEach = 25;
  std::vector<HostCall> calls[2];
  const auto sign = [&](int aThread) {
    for (size_t i = 0; i < kEach; ++i) {
      calls[aThread].push_back(Library().Sign(SimpleReceipt("0", "1.00")));
    }
  };
  std::thread first(sign, 0), second(sign, 1);
  first.join();
  second.join();
  std::set<std::string> numbers;
  for (const std::vector<HostCall>& list : calls) {
    for (const HostCall& call : list) {
      ASSERT_EQ(call.code, 0) << call.error.value_or("");
      numbers.insert(ElementText(call.result.value_or(""), "nDoc").value_or(""));
    }
  }
  EXPECT_EQ(numbers.size(), 2 * kEach);
  ASSERT_TRUE(WaitForEmptyQueue());
  std::ostringstream report;
  const VerifyResult verified = VerifyTill(TillDir(), report);
  EXPECT_TRUE(verified.Ok()) << report.str();
  EXPECT_EQ(verified.receipts, static_cast<int>(2 * kEach));
}

class HostSignItalian : public HostSign {
 protected:
  HostSignItalian() : HostSign("it_IT.UTF-8") {}
};

TEST_F(HostSignItalian, DecimalCommasForTheHostOnly) {
  if (DecimalSeparatorOfLocale("it_IT.UTF-8") != ',') GTEST_SKIP() << "it_IT.UTF-8 missing";
  OpenWorkedTill();
  HostCall sign = Library().Sign(ReadTestData("worked_receipt.xml"));
  ASSERT_EQ(sign.code, 0) << sign.error.value_or("");
  EXPECT_EQ(ElementText(*sign.result, "VATTotal"), "1,27");
  const auto queued = FiledDocument("T01-0012-0005.srtd");
  ASSERT_TRUE(queued);
  EXPECT_EQ(QueuedAttribute(*queued, "fiscalInformation", "recVAT"), "1.27");
  EXPECT_EQ(QueuedAttribute(*queued, "fiscalInformation", "dailyAmount"), "111.25");

  HostCall sale = Library().Sign(SimpleReceipt("0", "9.25"));
  ASSERT_EQ(sale.code, 0) << sale.error.value_or("");
  HostCall report = Library().XReport();
  EXPECT_EQ(report.code, 0);
  // The day started with 100.00 from the token: 100 + 11.25 + 9.25.
  EXPECT_EQ(ElementText(*report.result, "DailySales"), "120,5");
  EXPECT_EQ(ElementText(*report.result, "DailyTotal"), "120,5");
}

TEST_F(HostSign, TwoSignaturesChain) {
  OpenWorkedTill();
  HostCall first = Library().Sign(SimpleReceipt("0", "2.00"));
  HostCall second = Library().Sign(SimpleReceipt("0", "3.00"));
  ASSERT_EQ(first.code, 0);
  ASSERT_EQ(second.code, 0);
  const std::string firstSignature = *ElementText(*first.result, "Signature");
  const std::string secondSignature = *ElementText(*second.result, "Signature");
  EXPECT_NE(firstSignature, secondSignature);
  EXPECT_EQ(ElementText(*second.result, "nDoc"), "6");
  const auto queued = FiledDocument("T01-0012-0006.srtd");
  ASSERT_TRUE(queued);
  // The receipt's back link (the hash in front of it) is the first signature.
  EXPECT_EQ(QueuedAttribute(*queued, "hash", "fingerPrint"), firstSignature);
}

TEST_F(HostSign, NoHeaderLinesGiveAnEmptyHeadersElement) {
  Server().Configure([](rtsim::Config& config) { config.headerLines.clear(); });
  ASSERT_EQ(OpenTill().code, 0);
  HostCall sign = Library().Sign(SimpleReceipt("0", "1.00"));
  ASSERT_EQ(sign.code, 0);
  EXPECT_TRUE(sign.result->ends_with("<Headers/></Result>")) << *sign.result;
}

TEST_F(HostSign, FailuresStillReturnTheDocumentOfThePreviousReceipt) {
  ASSERT_EQ(OpenTill().code, 0);
  HostCall good = Library().Sign(SimpleReceipt("0", "1.00"));
  ASSERT_EQ(good.code, 0);

  // A raised error (text that is not XML) becomes the failure result.
  HostCall broken = Library().Sign("<printerFiscalReceipt>");
  EXPECT_EQ(broken.code, 65535);
  ASSERT_TRUE(broken.error);
  EXPECT_FALSE(broken.error->empty());
  ASSERT_TRUE(broken.result);
  EXPECT_EQ(ElementText(*broken.result, "Signature"), ElementText(*good.result, "Signature"));

  HostCall unknownPayment = Library().Sign(
      "<printerFiscalReceipt><printRecItem quantity=\"1\" unitPrice=\"5\" vatID=\"1\"/>"
      "<printRecTotal payment=\"5\" paymentType=\"X\"/><endFiscalReceipt/>"
      "</printerFiscalReceipt>");
  EXPECT_EQ(unknownPayment.code, 65535);
  EXPECT_EQ(unknownPayment.error, "Payment Type 'X' not managed");
  // The last issued receipt's values, not the failed one's partial figures.
  for (const char* element : {"Signature", "nDoc", "zRep", "VATTotal"}) {
    EXPECT_EQ(ElementText(*unknownPayment.result, element), ElementText(*good.result, element))
        << element;
  }
  EXPECT_FALSE(FindDocument("T01-0001-0002.srtd"));

  // An unpaired surrogate is not well-formed: refused as sent, before any
  // conversion could make it a replacement character and sign it.
  for (const char16_t lone : {u'\xD800', u'\xDC00'}) {
    std::u16string text =
        u"<printerFiscalReceipt><printRecItem description=\"A\nB\" quantity=\"1\" "
        u"unitPrice=\"5\" vatID=\"1\"/><endFiscalReceipt/></printerFiscalReceipt>";
    text.insert(text.find(u"B\""), 1, lone);
    char16_t* receipt =
        Library().SysAllocStringLen(text.data(), static_cast<unsigned>(text.size()));
    char16_t* result = nullptr;
    char16_t* error = nullptr;
    EXPECT_EQ(Library().SIGNRECEIPT(receipt, &result, &error), 65535);
    ASSERT_TRUE(error);
    const std::u16string message(error, Library().SysStringLen(error));
    EXPECT_EQ(std::string(message.begin(), message.end()),
              std::string("XML parse error: not well-formed (unpaired surrogate U+") +
                  (lone == u'\xD800' ? "D800" : "DC00") + ") at line 2, column 1");
    EXPECT_TRUE(result);
    for (char16_t* s : {receipt, result, error}) Library().SysFreeString(s);
  }
  EXPECT_FALSE(FindDocument("T01-0001-0002.srtd"));

  // After the closing no day is open.
  ASSERT_EQ(Library().Close().code, 0);
  HostCall closed = Library().Sign(SimpleReceipt("0", "1.00"));
  EXPECT_EQ(closed.code, 65535);
  EXPECT_EQ(closed.error, "Day not opened");
  ASSERT_TRUE(closed.result);
  EXPECT_TRUE(closed.result->starts_with("<Result><VATTotal>"));
  EXPECT_NE(closed.result->find("<Headers>"), std::string::npos);
}

}  // namespace
}  // namespace qx::test
