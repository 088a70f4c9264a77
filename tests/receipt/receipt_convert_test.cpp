// Conversion of host receipts into fiscal receipts: the worked receipt
// attribute by attribute, the lines that move totals, shares and payments,
// the placement of what the conversion adds, and every refusal.
#include <gtest/gtest.h>

#include <cfenv>

#include "platform/datetime.h"
#include "platform/error.h"
#include "receipt/receipt_fixture.h"

namespace qx::testing {
namespace {

std::vector<std::string> ChildNames(XmlElement aParent) {
  std::vector<std::string> names;
  for (pugi::xml_node child : aParent.Native().children()) names.push_back(child.name());
  return names;
}

std::vector<std::pair<std::string, std::string>> Attributes(XmlElement aElement) {
  std::vector<std::pair<std::string, std::string>> attributes;
  for (pugi::xml_attribute a : aElement.Native().attributes()) {
    attributes.emplace_back(a.name(), a.value());
  }
  return attributes;
}

// The worked receipt with only its first |aCount| sales lines kept.
std::string WorkedReceiptPrefix(size_t aCount) {
  XmlDocument document;
  document.LoadXml(WorkedReceiptText());
  pugi::xml_node root = document.DocumentElement().Native();
  size_t seen = 0;
  for (pugi::xml_node line = root.first_child(); line;) {
    pugi::xml_node next = line.next_sibling();
    const std::string name = line.name();
    if (name.rfind("printRec", 0) == 0 && ++seen > aCount) root.remove_child(line);
    line = next;
  }
  return document.DocumentElement().Xml();
}

TEST_F(ReceiptTest, WorkedReceiptFiscalInformation) {
  Convert(WorkedReceiptText());
  const std::string dateTime = Attr("dateTime");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"dailyAmount", "111.25"},    {"tillId", "T01"},         {"zRepNumber", "0012"},
      {"recNumber", "0005"},        {"dateTime", dateTime},    {"recAmount", "11.25"},
      {"recVAT", "1.27"},           {"doctype", "0"},          {"cashAmount", "20"},
      {"checkAmount", "0"},         {"ePayAmount", "0"},       {"noPayAmount", "0"},
      {"changeAmount", "8.75"},     {"paidAmount", "11.25"},   {"ticketAmount", "0"},
      {"ticketNum", "0"},           {"roundingDown", "0"},     {"roundingUp", "0"},
      {"discountPayment", "0"},     {"noPayAmountGoods", "0"}, {"noPayAmountServices", "0"},
      {"noPayAmountInvoices", "0"}, {"noPayAmountSSN", "0"},
  };
  EXPECT_EQ(Attributes(Info()), expected);

  EXPECT_EQ(receipt_.NRecNumber(), 5);
  EXPECT_EQ(receipt_.ZRepNumber(), 12);
  EXPECT_EQ(receipt_.DailyAmount(), Amount("111.25"));
  EXPECT_EQ(receipt_.TotalAmount(), Amount("11.25"));
  EXPECT_EQ(receipt_.VATTotalAmount(), Amount("1.27"));
  EXPECT_EQ(Shares(), (ShareList{{1, "2.7"}, {2, "8.55"}}));
}

TEST_F(ReceiptTest, WorkedReceiptTimeStampIsNow) {
  // The minute may turn during the conversion: the stamp is one of the two.
  const TDateTime start = Now();
  Convert(WorkedReceiptText());
  const TDateTime end = Now();
  const std::string stamp = Attr("dateTime");
  auto format = [](TDateTime t) {
    return FormatDateTime("yyyymmdd", t) + "T" + FormatDateTime("hhnn", t) + "00";
  };
  EXPECT_TRUE(stamp == format(start) || stamp == format(end)) << stamp;
}

TEST_F(ReceiptTest, WorkedReceiptDocumentLayout) {
  Convert(WorkedReceiptText());
  EXPECT_EQ(ChildNames(Root()), (std::vector<std::string>{"receipt", "receiptSecurity"}));
  const XmlElement receiptNode = receipt_.XmlReceiptNode();
  EXPECT_EQ(ChildNames(receiptNode), (std::vector<std::string>{"hash", "printerFiscalReceipt"}));
  EXPECT_EQ(Attributes(XmlElement(receiptNode.Native().first_child())),
            (std::vector<std::pair<std::string, std::string>>{{"fingerPrint", kFirstLink}}));
  EXPECT_EQ(ChildNames(Printer()),
            (std::vector<std::string>{"beginFiscalReceipt", "printRecItem", "printRecItem",
                                      "printRecItemAdjustment", "printRecSubtotalAdjustment",
                                      "printRecTotal", "fiscalInformation", "endFiscalReceipt"}));
  // The host's lines are untouched.
  EXPECT_EQ(XmlElement(Printer().Native().child("printRecItem")).Xml(),
            "<printRecItem operator=\"1\" description=\"ESPRESSO\" quantity=\"2\" "
            "unitPrice=\"1.50\" department=\"1\" vatID=\"1\" justification=\"1\"/>");
  const XmlElement security = XmlElement(Root().Native().last_child());
  EXPECT_EQ(ChildNames(security), (std::vector<std::string>{"hash"}));
  EXPECT_EQ(XmlElement(security.Native().first_child()).AttributeText("fingerPrint"),
            receipt_.TokenId());

  const std::string clean = receipt_.CleanXMLReceipt();
  EXPECT_EQ(clean.rfind("<createReceipt><receipt><hash fingerPrint=\"TOKEN-OF-THE-DAY\"/>"
                        "<printerFiscalReceipt>",
                        0),
            0u)
      << clean;
  EXPECT_EQ(clean.substr(clean.size() - 16), "</createReceipt>");
}

TEST_F(ReceiptTest, WorkedReceiptTotalsAndSharesLineByLine) {
  struct Step {
    size_t lines;
    const char* total;
    ShareList shares;
  };
  const Step steps[] = {
      {1, "3", {{1, "3"}}},
      {2, "13", {{1, "3"}, {2, "10"}}},
      {3, "12.5", {{1, "3"}, {2, "9.5"}}},
      {4, "11.25", {{1, "2.7"}, {2, "8.55"}}},
      {5, "11.25", {{1, "2.7"}, {2, "8.55"}}},
  };
  for (const Step& step : steps) {
    Prime();
    Convert(WorkedReceiptPrefix(step.lines));
    EXPECT_EQ(FormatFiscal(receipt_.TotalAmount()), step.total) << step.lines;
    EXPECT_EQ(Shares(), step.shares) << step.lines;
  }
}

TEST_F(ReceiptTest, OtherDocumentTypesLeaveTheDailyAmount) {
  Convert(WorkedReceiptText(), "1");
  EXPECT_EQ(Attr("doctype"), "1");
  EXPECT_EQ(Attr("dailyAmount"), "100");
  EXPECT_EQ(Attr("recAmount"), "11.25");
  EXPECT_EQ(receipt_.DailyAmount(), Amount("100"));
  Prime();
  Convert(WorkedReceiptText(), "");
  EXPECT_EQ(Attr("doctype"), "");
  EXPECT_EQ(Attr("dailyAmount"), "100");
}

TEST_F(ReceiptTest, VoidsAndRefunds) {
  Convert(HostReceipt(Item("2.00", "1", "1") + Item("2.00", "1", "1", "printRecItemVoid")));
  EXPECT_EQ(Attr("recAmount"), "0");
  EXPECT_EQ(Shares(), (ShareList{{1, "0"}}));

  Convert(HostReceipt(Item("3.00", "2", "1", "printRecRefund") +
                      Item("1.00", "1", "1", "printRecRefundVoid")));
  EXPECT_EQ(Attr("recAmount"), "5");
  EXPECT_EQ(Shares(), (ShareList{{1, "5"}}));
}

TEST_F(ReceiptTest, ItemAdjustmentsByType) {
  const std::string item = Item("5.00", "1", "2");
  const auto adjusted = [&](const char* type) {
    Convert(HostReceipt(Item("10", "1", "1") + item +
                        Adjustment("printRecItemAdjustment", type, "1.00")));
    return FormatFiscal(receipt_.VATAmounts().GetVATAmount(2)->BaseAmount()) + "/" +
           Attr("recAmount");
  };
  EXPECT_EQ(adjusted("0"), "4/14");
  EXPECT_EQ(adjusted("5"), "6/16");
  EXPECT_EQ(adjusted("10"), "4/14");
  EXPECT_EQ(adjusted("12"), "4/14");
  EXPECT_EQ(adjusted("11"), "5/14");  // total only; the share stays
  EXPECT_EQ(adjusted("3"), "5/15");
  EXPECT_EQ(adjusted("00"), "5/15");
  // A code that changes nothing does not read its amount.
  Convert(HostReceipt(item + Adjustment("printRecItemAdjustment", "7", "garbage") +
                      "<printRecItemAdjustment amount=\"1\"/>"));
  EXPECT_EQ(Attr("recAmount"), "5");
}

TEST_F(ReceiptTest, TotalOnlyAdjustmentKeepsTheVATOfTheShare) {
  Convert(HostReceipt(Item("5.00", "1", "1") + Adjustment("printRecItemAdjustment", "11", "1.00")));
  EXPECT_EQ(Attr("recAmount"), "4");
  EXPECT_EQ(Shares(), (ShareList{{1, "5"}}));
  EXPECT_EQ(Attr("recVAT"), "0.9");  // from 5.00 at 22 %
}

TEST_F(ReceiptTest, ReceiptAdjustmentsByType) {
  const auto adjusted = [&](const char* type) {
    Convert(HostReceipt(Item("10", "1", "1") +
                        Adjustment("printRecSubtotalAdjustment", type, "2.00") +
                        Adjustment("printRecItemAdjustment", "0", "1.00")));
    return Attr("recAmount") + "/" + FormatFiscal(receipt_.VATAmounts().Item(0).BaseAmount());
  };
  // After a receipt adjustment the item adjustment is spread as well.
  EXPECT_EQ(adjusted("1"), "7/7");
  EXPECT_EQ(adjusted("2"), "7/7");
  EXPECT_EQ(adjusted("6"), "11/11");
  EXPECT_EQ(adjusted("7"), "11/11");
  // Other codes change nothing and keep the current VAT index.
  EXPECT_EQ(adjusted("3"), "9/9");
  Convert(HostReceipt(Item("10", "1", "1") + Item("4", "1", "2") +
                      Adjustment("printRecSubtotalAdjustment", "3", "x") +
                      Adjustment("printRecItemAdjustment", "0", "1.00")));
  EXPECT_EQ(Shares(), (ShareList{{1, "10"}, {2, "3"}}));
}

TEST_F(ReceiptTest, ItemAdjustmentAfterAPaymentIsSpread) {
  Convert(HostReceipt(Item("10.00", "1", "1") + Item("5.00", "1", "2") + Payment("20", "0") +
                      Adjustment("printRecItemAdjustment", "0", "1.50")));
  EXPECT_EQ(Attr("recAmount"), "13.5");
  EXPECT_EQ(Shares(), (ShareList{{1, "9"}, {2, "4.5"}}));
  EXPECT_EQ(Attr("changeAmount"), "6.5");
}

TEST_F(ReceiptTest, PaymentsFeedTheirTotals) {
  Convert(HostReceipt(Item("12.00", "1", "1") + Payment("10.00", "0") + Payment("5.00", "2")));
  EXPECT_EQ(Attr("cashAmount"), "10");
  EXPECT_EQ(Attr("ePayAmount"), "5");
  EXPECT_EQ(Attr("changeAmount"), "3");
  EXPECT_EQ(Attr("paidAmount"), "12");

  Convert(HostReceipt(Item("10.00", "1", "1") + Payment("5.00", "0") + Payment("7.00", "3", "2") +
                      Payment("1", "3", "x")));
  EXPECT_EQ(Attr("ticketAmount"), "8");
  EXPECT_EQ(Attr("ticketNum"), "2");
  EXPECT_EQ(Attr("changeAmount"), "3");  // tickets count as paid in ...
  EXPECT_EQ(Attr("paidAmount"), "2");    // ... but not as tendered

  Convert(HostReceipt(Item("100", "1", "1") + Payment("1", "1") + Payment("2", "4") +
                      Payment("3", "5") + Payment("4", "6") + Payment("5", "7") +
                      Payment("6", "8") + Payment("0.5", "1")));
  EXPECT_EQ(Attr("checkAmount"), "1.5");
  EXPECT_EQ(Attr("noPayAmountServices"), "2");
  EXPECT_EQ(Attr("noPayAmountGoods"), "3");
  EXPECT_EQ(Attr("noPayAmountInvoices"), "4");
  EXPECT_EQ(Attr("noPayAmountSSN"), "5");
  EXPECT_EQ(Attr("discountPayment"), "6");
  EXPECT_EQ(Attr("changeAmount"), "-78.5");
  EXPECT_EQ(Attr("paidAmount"), "80");
  EXPECT_EQ(Attr("noPayAmount"), "0");
}

TEST_F(ReceiptTest, ReceiptWithoutPayment) {
  Convert(HostReceipt(Item("5.00", "1", "1")));
  EXPECT_EQ(Attr("changeAmount"), "-5");
  EXPECT_EQ(Attr("paidAmount"), "5");
}

TEST_F(ReceiptTest, LineAmountsKeepFourDecimals) {
  Convert(HostReceipt(Item("1.99", "0.5", "1")));
  EXPECT_EQ(Attr("recAmount"), "0.995");
  EXPECT_EQ(Attr("dailyAmount"), "100.995");
  Convert(HostReceipt(Item("0.66275", "1", "1")));  // more decimals round to four
  EXPECT_EQ(Attr("recAmount"), "0.6628");
}

TEST_F(ReceiptTest, NumbersOfFiveDigits) {
  receipt_.SetNRecNumber(12344);
  receipt_.SetZRepNumber(12345);
  Convert(HostReceipt(Item("1", "1", "1")));
  EXPECT_EQ(Attr("recNumber"), "12345");
  EXPECT_EQ(Attr("zRepNumber"), "12345");
}

TEST_F(ReceiptTest, OtherHostElementsPassThrough) {
  const std::string extra =
      "<printRecMessage messageType=\"4\" message=\"THANK YOU\"/>"
      "<!-- customer 12 --><?till drawer?><printRecSubtotal operator=\"1\"/>";
  Convert(HostReceipt(Item("2", "1", "1") + extra));
  EXPECT_EQ(Attr("recAmount"), "2");
  EXPECT_EQ(
      ChildNames(Printer()),
      (std::vector<std::string>{"beginFiscalReceipt", "printRecItem", "printRecMessage", "", "till",
                                "printRecSubtotal", "fiscalInformation", "endFiscalReceipt"}));
  EXPECT_NE(receipt_.CleanXMLReceipt().find(extra), std::string::npos);
}

// The host's floating-point state (rounding mode, x87 precision) changes
// nothing in the sealed receipt, and is given back as it was. 0.39 at 4 %
// holds VAT of exactly half a cent.
TEST_F(ReceiptTest, HostFloatingPointStateDoesNotChangeTheReceipt) {
  const std::string host = HostReceipt(Item("0.39", "1", "3") + Item("1.50", "2", "1") +
                                       Item("10.00", "1", "2") + Payment("20.00", "0"));
  const auto sealed = [&](int aMode, [[maybe_unused]] bool aLowPrecision) {
    Prime();
    Load(host);
    const int hostMode = std::fegetround();
    std::fesetround(aMode);
#if defined(__x86_64__) || defined(__i386__)
    unsigned short hostControl = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(hostControl));
    unsigned short control = hostControl;
    if (aLowPrecision) control = static_cast<unsigned short>((control & ~0x0300) | 0x0200);
    __asm__ __volatile__("fldcw %0" : : "m"(control));
#endif
    receipt_.Process("0");
    EXPECT_EQ(std::fegetround(), aMode);
#if defined(__x86_64__) || defined(__i386__)
    unsigned short after = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(after));
    EXPECT_EQ(after, control);
    __asm__ __volatile__("fldcw %0" : : "m"(hostControl));
#endif
    std::fesetround(hostMode);
    std::string text = receipt_.CleanXMLReceipt();
    const size_t stamp = text.find("dateTime=\"");
    return text.erase(stamp, 26);  // the minute may turn between runs
  };
  const std::string expected = sealed(FE_TONEAREST, false);
  EXPECT_NE(expected.find("recVAT=\"1.46\""), std::string::npos) << expected;
  for (const int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
    EXPECT_EQ(sealed(mode, false), expected) << mode;
    EXPECT_EQ(sealed(mode, true), expected) << mode;
  }
}

// Every refusal: the message, and the chain left as it was.
TEST_F(ReceiptTest, ConversionFailureMessages) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {HostReceipt(Item("1", "1", "1") + "<printRecTotal payment=\"1\"/>"),
       "Payment Type '' not managed"},
      {HostReceipt(Item("1", "1", "1") + Payment("1", "9")), "Payment Type '9' not managed"},
      {HostReceipt(Item("1", "1", "1") + Payment("1", "00")), "Payment Type '00' not managed"},
      {HostReceipt(Item("1", "1", "4")), "VAT Index 4 not found in VAT Map"},
      {HostReceipt(Item("1", "1", "-1")), "VAT Index -1 not found in VAT Map"},
      {HostReceipt("<printRecItem quantity=\"1\" vatID=\"1\"/>"),
       "printRecItem 2: unitPrice '' is not a decimal number"},
      {HostReceipt("<printRecItem unitPrice=\"1\" vatID=\"1\"/>"),
       "printRecItem 2: quantity '' is not a decimal number"},
      {HostReceipt(Item("1", "1", "1") + "<printRecMessage/>" + Item("1,50", "1", "1")),
       "printRecItem 4: unitPrice '1,50' is not a decimal number"},
      {HostReceipt(Item("1", "1,000.5", "1", "printRecRefundVoid")),
       "printRecRefundVoid 2: quantity '1,000.5' is not a decimal number"},
      {HostReceipt(Adjustment("printRecItemAdjustment", "0", "")),
       "printRecItemAdjustment 2: amount '' is not a decimal number"},
      {HostReceipt(Adjustment("printRecSubtotalAdjustment", "1", "abc")),
       "printRecSubtotalAdjustment 2: amount 'abc' is not a decimal number"},
      {HostReceipt("<printRecTotal paymentType=\"0\"/>"),
       "printRecTotal 2: payment '' is not a decimal number"},
      {HostReceipt("<printRecItem unitPrice=\"1\" quantity=\"1\"/>"),
       "printRecItem 2: vatID '' is not an integer"},
      {HostReceipt(Item("1", "1", "x1")), "printRecItem 2: vatID 'x1' is not an integer"},
      {HostReceipt(Item("1", "1", " 1")), "printRecItem 2: vatID ' 1' is not an integer"},
  };
  for (const auto& [host, message] : cases) {
    Prime();
    Load(host);
    try {
      receipt_.Process("0");
      ADD_FAILURE() << "no failure for " << host;
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), message) << host;
    }
    EXPECT_EQ(receipt_.TokenId(), kFirstLink) << host;
    EXPECT_EQ(receipt_.DailyAmount(), Amount("100")) << host;
    EXPECT_TRUE(Info().IsNull()) << host;
  }
}

// Receipts without the elements the conversion needs, and receipts holding
// what only the driver may write or what the conversion would misread.
TEST_F(ReceiptTest, MissingAndForgedElementsAreNamedAndNothingIsCounted) {
  const auto wrap = [](const std::string& aHost) {
    return "<createReceipt><receipt>" + aHost + "</receipt></createReceipt>";
  };
  const std::string item = Item("999.00", "1", "1");
  const std::string begin = "<beginFiscalReceipt/>";
  const std::string end = "<endFiscalReceipt/>";
  const auto printer = [](const std::string& aLines) {
    return "<printerFiscalReceipt>" + aLines + "</printerFiscalReceipt>";
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {wrap(HostReceipt(item + "<fiscalInformation recAmount=\"0.01\"/>")),
       "Receipt element <fiscalInformation> is written by the driver, not the host (receipt line "
       "3)"},
      {wrap(HostReceipt(item + "<receiptSecurity/>")),
       "Receipt element <receiptSecurity> is written by the driver, not the host (receipt line 3)"},
      {wrap(HostReceipt("<printRecMessage><hash fingerPrint=\"x\"/></printRecMessage>" + item)),
       "Receipt element <hash> is written by the driver, not the host (receipt line 2)"},
      {wrap(printer(item + end + item)), "Receipt element <printRecItem> follows endFiscalReceipt"},
      {wrap(printer(item + end + end)),
       "Receipt element <endFiscalReceipt> follows endFiscalReceipt"},
      {wrap(printer(item + end + "<!-- x -->")),
       "Receipt element <#comment> follows endFiscalReceipt"},
      {wrap(printer(begin + item + begin + end)),
       "Receipt element <beginFiscalReceipt> appears twice"},
      {wrap(HostReceipt(printer(item + end))),
       "Receipt element <printerFiscalReceipt> is nested (receipt line 2)"},
      {wrap(HostReceipt("<x:printRecItem xmlns:x=\"urn:x\" quantity=\"1\" unitPrice=\"9\" "
                        "vatID=\"1\"/>")),
       "Receipt element <x:printRecItem> has a namespace prefix (receipt line 2)"},
      // Lines the walk would not count must not be sealed: nested anywhere, or
      // in a namespace, and a root in a namespace.
      {wrap(HostReceipt("<printRecMessage>" + item + "</printRecMessage>")),
       "Receipt element <printRecItem> is inside another element (receipt line 2); receipt lines "
       "stand directly in printerFiscalReceipt"},
      {wrap(HostReceipt(item + "<unknown><a>" + Payment("500", "0") + "</a></unknown>")),
       "Receipt element <printRecTotal> is inside another element (receipt line 3); receipt lines "
       "stand directly in printerFiscalReceipt"},
      {wrap(HostReceipt("<printRecItem quantity=\"1\" unitPrice=\"1\" vatID=\"1\">" + item +
                        "</printRecItem>")),
       "Receipt element <printRecItem> is inside another element (receipt line 2); receipt lines "
       "stand directly in printerFiscalReceipt"},
      {wrap(HostReceipt("<printRecItem xmlns=\"urn:any\" quantity=\"1\" unitPrice=\"9\" "
                        "vatID=\"1\"/>")),
       "Receipt element <printRecItem> is in namespace 'urn:any' (receipt line 2); receipt lines "
       "are in no namespace"},
      {wrap("<p:printerFiscalReceipt xmlns:p=\"urn:any\"><beginFiscalReceipt docType=\"1\"/>" +
            item + end + "</p:printerFiscalReceipt>"),
       "Receipt element <p:printerFiscalReceipt> has a namespace prefix"},
      {wrap("<printerFiscalReceipt xmlns=\"urn:any\"><beginFiscalReceipt xmlns=\"\" "
            "docType=\"1\"/>" +
            item + "<endFiscalReceipt xmlns=\"\"/></printerFiscalReceipt>"),
       "Receipt element <printerFiscalReceipt> is in namespace 'urn:any'; the receipt is in no "
       "namespace"},
      {"<createReceipt><receipt><printRecItem/></receipt></createReceipt>",
       "printerFiscalReceipt node not found in receipt document."},
      {"<createReceipt><receipt>" + std::string("<printerFiscalReceipt>") + Item("1", "1", "1") +
           Payment("1", "0") + "</printerFiscalReceipt></receipt></createReceipt>",
       "endFiscalReceipt node not found in receipt document."},
      {"<createReceipt><other/></createReceipt>", "receipt node not found in receipt document."},
      {"<createReceipt/>", "receipt node not found in receipt document."},
  };
  for (const auto& [document, message] : cases) {
    Prime();
    receipt_.XmlReceipt().LoadXml(document);
    const std::string before = receipt_.CleanXMLReceipt();
    try {
      receipt_.Process("0");
      ADD_FAILURE() << "no failure for " << document;
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), message) << document;
    }
    EXPECT_EQ(receipt_.NRecNumber(), 4);
    EXPECT_EQ(receipt_.TokenId(), kFirstLink);
    EXPECT_EQ(receipt_.CleanXMLReceipt(), before);
  }
  // No document loaded at all.
  receipt_.XmlReceipt().Clear();
  EXPECT_THROW(receipt_.Process("0"), Error);
}

// Amounts beyond the line, receipt and day limits, at their boundaries: the
// conversion refuses them and the day's figures stay as they were.
TEST_F(ReceiptTest, AmountsBeyondTheLimitsAreRefused) {
  const char* kMax = "99999999.99";
  const char* kOver = "99999999.9901";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {HostReceipt(Item("900000000000000", "100", "1")),
       "printRecItem 2: Amount out of range: unitPrice 900000000000000 times quantity 100"},
      {HostReceipt(Item("99999999999999999999", "1", "1")),
       "printRecItem 2: unitPrice '99999999999999999999' is not a decimal number"},
      {HostReceipt(Item(kOver, "1", "1")),
       "Amount of <printRecItem> beyond the limit of 99999999.99"},
      {HostReceipt(Item("50000000", "2", "1")),
       "Amount of <printRecItem> beyond the limit of 99999999.99"},
      {HostReceipt(Item(kOver, "1", "1", "printRecRefundVoid")),
       "Amount of <printRecRefundVoid> beyond the limit of 99999999.99"},
      {HostReceipt(Item("1", "1", "1") + Payment(kOver, "0")),
       "Amount of <printRecTotal> beyond the limit of 99999999.99"},
      {HostReceipt(Item(kMax, "1", "1") + Item("0.0001", "1", "2")),
       "Receipt total beyond the limit of 99999999.99"},
      {HostReceipt(Item("-99999999.99", "1", "1") +
                   Adjustment("printRecItemAdjustment", "11", "0.01")),
       "Receipt total beyond the limit of 99999999.99"},
      {HostReceipt(Item("1", "1", "1") + Adjustment("printRecItemAdjustment", "11", kOver)),
       "Amount of <printRecItemAdjustment> beyond the limit of 99999999.99"},
      {HostReceipt(Item("1", "1", "1") +
                   Adjustment("printRecSubtotalAdjustment", "6", "900000000000000")),
       "Amount of <printRecSubtotalAdjustment> beyond the limit of 99999999.99"},
  };
  for (const auto& [host, message] : cases) {
    Prime();
    Load(host);
    try {
      receipt_.Process("0");
      ADD_FAILURE() << "no failure for " << host;
    } catch (const Error& e) {
      EXPECT_EQ(std::string(e.what()), message) << host;
    }
    EXPECT_EQ(receipt_.TokenId(), kFirstLink) << host;
    EXPECT_EQ(receipt_.DailyAmount(), Amount("100")) << host;
  }

  // The limits themselves are accepted, and the day's up to its own.
  Prime();
  receipt_.SetDailyAmount(Amount("999899999999.99"));
  Convert(HostReceipt(Item(kMax, "1", "1") + Payment(kMax, "0")));
  EXPECT_EQ(receipt_.DailyAmount(), Amount("999999999999.98"));
  Prime();
  receipt_.SetDailyAmount(Amount("999999999999.98"));
  Load(HostReceipt(Item("0.02", "1", "1")));
  try {
    receipt_.Process("0");
    ADD_FAILURE() << "the day's limit was passed";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()), "Daily amount beyond the limit of 999999999999.99");
  }
  EXPECT_EQ(receipt_.DailyAmount(), Amount("999999999999.98"));
  EXPECT_EQ(receipt_.TokenId(), kFirstLink);
  // A refund does not add to the day's sales total.
  Convert(HostReceipt(Item("0.02", "1", "1")), "1");
}

}  // namespace
}  // namespace qx::testing
