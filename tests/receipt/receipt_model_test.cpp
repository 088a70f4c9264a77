// The receipt's VAT shares: booking, the spread of receipt-level adjustments
// with its residue rule, the VAT total, the amount arithmetic's rounding, and
// the read-only views of the document.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>

#include "platform/error.h"
#include "receipt/receipt_fixture.h"

namespace qx::testing {
namespace {

TEST(ReceiptMath, ProductsKeepFourDecimalsAndRoundTiesToEven) {
  EXPECT_EQ(receipt_math::Multiply(Amount("1.99"), Amount("0.5")), Amount("0.995"));
  EXPECT_EQ(receipt_math::Multiply(Amount("0.0001"), Amount("0.5")), Amount("0"));
  EXPECT_EQ(receipt_math::Multiply(Amount("0.0003"), Amount("0.5")), Amount("0.0002"));
  EXPECT_EQ(receipt_math::Multiply(Amount("-0.0003"), Amount("0.5")), Amount("-0.0002"));
  EXPECT_EQ(receipt_math::Multiply(Amount("0.33"), Amount("3")), Amount("0.99"));
  // To cents: 0.125 goes down to the even 0.12, 0.375 up to the even 0.38.
  EXPECT_EQ(receipt_math::MultiplyTo2(Amount("0.25"), Amount("0.5")), Amount("0.12"));
  EXPECT_EQ(receipt_math::MultiplyTo2(Amount("0.75"), Amount("0.5")), Amount("0.38"));
  EXPECT_EQ(receipt_math::MultiplyTo2(Amount("9.50"), Amount("0.9")), Amount("8.55"));
  EXPECT_EQ(receipt_math::RatioPlusOne(Amount("-1.25"), Amount("12.50")), Amount("0.9"));
  EXPECT_EQ(receipt_math::RatioPlusOne(Amount("1"), Amount("3")), Amount("1.3333"));
}

TEST(ReceiptMath, VATContainedInAnAmount) {
  EXPECT_EQ(receipt_math::IncludedVAT(Amount("12.20"), Amount("22")), Amount("2.20"));
  EXPECT_EQ(receipt_math::IncludedVAT(Amount("10.00"), Amount("22")), Amount("1.80"));
  EXPECT_EQ(receipt_math::IncludedVAT(Amount("100.00"), Amount("4")), Amount("3.85"));
  EXPECT_EQ(receipt_math::IncludedVAT(Amount("5.50"), Amount("10")), Amount("0.50"));
  EXPECT_EQ(receipt_math::IncludedVAT(Amount("-12.20"), Amount("22")), Amount("-2.20"));
  EXPECT_EQ(receipt_math::IncludedVAT(Amount("37.15"), Amount("0")), Amount("0"));
}

TEST(ReceiptMath, ResultsOutsideCurrencyRaise) {
  const Currency max = Currency::FromRaw(std::numeric_limits<int64_t>::max());
  EXPECT_THROW(receipt_math::Multiply(max, Amount("2")), Error);
  EXPECT_THROW(receipt_math::MultiplyTo2(max, Amount("1.5")), Error);
  EXPECT_THROW(receipt_math::RatioPlusOne(Amount("1"), Amount("0")), Error);
  EXPECT_THROW(receipt_math::RatioPlusOne(max, Amount("0.0001")), Error);
  EXPECT_THROW(receipt_math::IncludedVAT(Amount("1"), Amount("-100")), Error);
  try {
    receipt_math::FromScaled(Extended(std::numeric_limits<int64_t>::max()) + 1);
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Amount out of range");
  }
  EXPECT_EQ(receipt_math::FromScaled(Extended(std::numeric_limits<int64_t>::min())).Raw(),
            std::numeric_limits<int64_t>::min());
}

// Exact ties of every rule, with the figures an x87 unit at extended
// precision gives: the builds of every processor must seal the same ones.
TEST(ReceiptMath, TieCasesGiveTheFiguresOfExtendedPrecision) {
  std::istringstream lines(
      ReadFileBytes(std::string(QX_SOURCE_DIR) + "/tests/data/money_ties.txt"));
  size_t cases = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string kind, first, second, expected;
    fields >> kind >> first >> second >> expected;
    const Currency a = ParseCurrency(first);
    const Currency b = ParseCurrency(second);
    Currency result;
    if (kind == "vat") {
      result = receipt_math::IncludedVAT(b, a);
    } else if (kind == "ratio") {
      result = receipt_math::RatioPlusOne(a, b);
    } else if (kind == "spread") {
      result = receipt_math::MultiplyTo2(a, b);
    } else if (kind == "product") {
      result = receipt_math::Multiply(a, b);
    } else {
      ADD_FAILURE() << line;
    }
    EXPECT_EQ(FormatFiscal(result), expected) << line;
    ++cases;
  }
  EXPECT_GT(cases, 3000u);
}

TEST_F(ReceiptTest, LinesOfOneIndexShareOneEntryInOrderOfFirstUse) {
  Convert(HostReceipt(Item("10.00", "1", "1") + Item("2.50", "1", "1") + Item("4", "1", "2") +
                      Item("1", "1", "1")));
  EXPECT_EQ(Shares(), (ShareList{{1, "13.5"}, {2, "4"}}));
  EXPECT_EQ(receipt_.VATAmounts().GetVATAmount(2)->VAT().Code(), "1000");
  EXPECT_EQ(receipt_.VATAmounts().GetVATAmount(7), nullptr);
}

TEST_F(ReceiptTest, UnknownVATIndexRaisesAndAddsNoEntry) {
  Load(HostReceipt(Item("10.00", "1", "1") + Item("2.00", "1", "7")));
  try {
    receipt_.Process("0");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "VAT Index 7 not found in VAT Map");
  }
  EXPECT_EQ(Shares(), (ShareList{{1, "10"}}));
}

TEST_F(ReceiptTest, ReceiptAdjustmentSpreadsInProportion) {
  Convert(HostReceipt(Item("10.00", "1", "1") + Item("5.00", "1", "2") +
                      Adjustment("printRecSubtotalAdjustment", "1", "1.50")));
  EXPECT_EQ(receipt_.TotalAmount(), Amount("13.50"));
  EXPECT_EQ(Shares(), (ShareList{{1, "9"}, {2, "4.5"}}));
}

TEST_F(ReceiptTest, ResidueOfTheSpreadGoesToTheFirstShare) {
  Convert(HostReceipt(Item("3.33", "1", "1") + Item("3.33", "1", "2") + Item("3.34", "1", "3") +
                      Adjustment("printRecSubtotalAdjustment", "2", "1.00")));
  EXPECT_EQ(receipt_.TotalAmount(), Amount("9"));
  EXPECT_EQ(Shares(), (ShareList{{1, "2.99"}, {2, "3"}, {3, "3.01"}}));
}

TEST_F(ReceiptTest, AdjustmentToExactlyZeroLeavesTheShares) {
  Convert(HostReceipt(Item("10.00", "1", "1") + Item("5.00", "1", "2") +
                      Adjustment("printRecSubtotalAdjustment", "1", "15.00")));
  EXPECT_EQ(receipt_.TotalAmount(), Amount("0"));
  EXPECT_EQ(Shares(), (ShareList{{1, "10"}, {2, "5"}}));
}

TEST_F(ReceiptTest, AdjustmentOnAZeroRunningTotalIsRefused) {
  // Before any item, and after a void that brought the total back to zero.
  for (const std::string& lines :
       {Adjustment("printRecSubtotalAdjustment", "1", "1.00") + Item("5", "1", "1"),
        Item("5", "1", "1") + Item("5", "1", "1", "printRecItemVoid") +
            Adjustment("printRecSubtotalAdjustment", "6", "1.00"),
        Adjustment("printRecItemAdjustment", "0", "1.00") + Item("5", "1", "1")}) {
    Prime();
    Load(HostReceipt(lines));
    try {
      receipt_.Process("0");
      FAIL() << lines;
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "Receipt adjustment not allowed while the receipt total is zero");
    }
    EXPECT_EQ(receipt_.TotalAmount(), Amount("0")) << lines;  // nothing booked
    EXPECT_EQ(receipt_.TokenId(), kFirstLink);
  }
}

TEST_F(ReceiptTest, AdjustmentWithoutAnyShareIsRefused) {
  // The "11" adjustment lowers the total without a share; nothing could take a spread.
  Load(HostReceipt(Adjustment("printRecItemAdjustment", "11", "2.00") +
                   Adjustment("printRecSubtotalAdjustment", "1", "1.00")));
  try {
    receipt_.Process("0");
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Receipt adjustment cannot be spread: the receipt has no VAT share");
  }
  EXPECT_EQ(receipt_.TotalAmount(), Amount("-2"));
}

TEST_F(ReceiptTest, VATTotalSumsTheRoundedVATOfEachShare) {
  EXPECT_EQ(receipt_.VATTotalAmount(), Amount("0"));
  Convert(HostReceipt(Item("12.20", "1", "1") + Item("5.50", "1", "2")));
  EXPECT_EQ(receipt_.VATTotalAmount(), Amount("2.70"));
  EXPECT_EQ(Attr("recVAT"), "2.7");
  Convert(HostReceipt(Item("100.00", "1", "3") + Item("10.00", "1", "1") + Item("8", "1", "0")));
  EXPECT_EQ(receipt_.VATTotalAmount(), Amount("5.65"));  // 3.85 + 1.80 + 0
}

TEST_F(ReceiptTest, SharesSurviveAReloadOfTheVATMap) {
  Convert(HostReceipt(Item("12.20", "1", "1")));
  server_.VATMap().Deserialize("<VATMap/>");
  EXPECT_EQ(receipt_.VATTotalAmount(), Amount("2.20"));
  EXPECT_EQ(receipt_.VATAmounts().Item(0).VAT().Rate(), Amount("22"));
}

TEST_F(ReceiptTest, CleanTextDropsLineBreaksAndTabsButKeepsSpaces) {
  receipt_.XmlReceipt().LoadXml(
      "<createReceipt>\r\n\t<receipt>\n<a>line one\r\nline\ttwo</a><b v=\"two  spaces\"/>"
      "</receipt>\n</createReceipt>");
  EXPECT_EQ(receipt_.CleanXMLReceipt(),
            "<createReceipt><receipt><a>line onelinetwo</a><b v=\"two  spaces\"/></receipt>"
            "</createReceipt>");
  EXPECT_EQ(receipt_.XmlReceiptNode().NodeName(), "receipt");
}

TEST_F(ReceiptTest, CleanTextIsTheDocumentsTextWithoutLineBreaksAndTabs) {
  for (const char* text :
       {"<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<!DOCTYPE createReceipt>\n"
        "<createReceipt><receipt><a>x &amp; y\r\n\t&lt;z&gt;</a><b q=\"&quot;\"/></receipt>"
        "</createReceipt>",
        "<createReceipt><receipt/><c>\xC3\xA8 \t</c></createReceipt>"}) {
    receipt_.XmlReceipt().LoadXml(text);
    std::string expected = receipt_.XmlReceipt().Text();
    std::erase_if(expected, [](char c) { return c == '\r' || c == '\n' || c == '\t'; });
    EXPECT_EQ(receipt_.CleanXMLReceipt(), expected) << text;
  }
}

TEST_F(ReceiptTest, ViewsOfAnEmptyDocument) {
  EXPECT_TRUE(receipt_.XmlReceiptNode().IsNull());
  EXPECT_EQ(receipt_.CleanXMLReceipt(), "");
  EXPECT_EQ(receipt_.TotalAmount(), Amount("0"));
}

TEST_F(ReceiptTest, GetIsNotAllowed) {
  try {
    receipt_.Get();
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Get Method not allowed for Receipt.");
  }
}

}  // namespace
}  // namespace qx::testing
