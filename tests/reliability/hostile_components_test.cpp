// Hostile input at the readers and the receipt conversion: deeply nested and
// huge documents, entity bombs and external entities, overlong values. Each
// must convert or be refused with a qx::Error, in bounded time and memory,
// and what is refused must leave the object as it was.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "manager/uRTServerManager_Counters.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/xml.h"
#include "receipt/receipt_fixture.h"
#include "rtserver/uRTSEPS20_VATMap.h"
#include "tools/qxtill/verify.h"

namespace qx::testing {
namespace {

std::string Repeat(const std::string& aText, size_t aCount) {
  std::string out;
  out.reserve(aText.size() * aCount);
  for (size_t i = 0; i < aCount; ++i) out += aText;
  return out;
}

// The classic "billion laughs": ten levels of ten references each.
std::string EntityBombDoctype(const std::string& aRoot) {
  std::string doctype = "<!DOCTYPE " + aRoot + " [<!ENTITY lol0 \"lol\">";
  for (int i = 1; i <= 9; ++i) {
    doctype += "<!ENTITY lol" + std::to_string(i) + " \"" +
               Repeat("&lol" + std::to_string(i - 1) + ";", 10) + "\">";
  }
  return doctype + "]>";
}

class HostileReceiptTest : public ReceiptTest {};

TEST_F(HostileReceiptTest, DeepNestingPassesThroughAndTheQueueTextReadsBack) {
  const size_t depth = 100000;
  Convert(HostReceipt(Item("1.00", "1", "1") + Repeat("<x>", depth) + "deep" +
                      Repeat("</x>", depth) + Payment("1.00", "0")));
  EXPECT_EQ(Attr("recAmount"), "1");
  XmlDocument stored;
  stored.LoadXml(receipt_.CleanXMLReceipt());
  EXPECT_EQ(stored.DocumentElement().NodeName(), "createReceipt");
}

TEST_F(HostileReceiptTest, TwentyThousandLinesConvert) {
  Convert(HostReceipt(Repeat(Item("0.10", "1", "1"), 20000) + Payment("2000.00", "0")));
  EXPECT_EQ(Attr("recAmount"), "2000");
  EXPECT_EQ(Attr("changeAmount"), "0");
}

TEST_F(HostileReceiptTest, OverlongValuesAreCarriedOrRefused) {
  const std::string longText(1 << 20, 'A');
  Convert(HostReceipt("<printRecItem description=\"" + longText +
                      "\" quantity=\"1\" unitPrice=\"2.00\" vatID=\"1\"/>" + Payment("2.00", "0")));
  EXPECT_NE(receipt_.CleanXMLReceipt().find(longText), std::string::npos);

  Prime();
  const std::string longNumber(100000, '9');
  EXPECT_THROW(Convert(HostReceipt(Item(longNumber.c_str(), "1", "1"))), Error);
  EXPECT_EQ(receipt_.TokenId(), kFirstLink);
  Prime();
  EXPECT_THROW(Convert(HostReceipt(Item("1.00", "1", longNumber.c_str()))), Error);
  EXPECT_EQ(receipt_.TokenId(), kFirstLink);
}

TEST_F(HostileReceiptTest, EntityBombIsNeverExpanded) {
  // Entity declarations are refused at the parse, quickly and without memory
  // growth, and the chain link is unchanged.
  const std::string host = EntityBombDoctype("printerFiscalReceipt") +
                           HostReceipt(Item("&lol9;", "1", "1") + Payment("1.00", "0"));
  XmlDocument parsed;
  EXPECT_THROW(parsed.LoadXml(host), Error);
  EXPECT_THROW(Convert(host), Error);
  EXPECT_EQ(receipt_.TokenId(), kFirstLink);
}

TEST(HostileDocumentsTest, ExternalEntitiesAreNotRead) {
  XmlDocument doc;
  std::string text;
  try {
    doc.LoadXml("<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/hostname\">]><r a=\"&x;\">&x;</r>");
    text = doc.Text();
  } catch (const Error& e) {
    text = e.what();
  }
  if (FileExists("/etc/hostname")) {
    std::string host = ReadFileBytes("/etc/hostname");
    while (!host.empty() && (host.back() == '\n' || host.back() == '\r')) host.pop_back();
    if (!host.empty()) {
      EXPECT_EQ(text.find(host), std::string::npos);
    }
  }
}

TEST(HostileDocumentsTest, CountersFileEntityBombAndNestingLoadAsBroken) {
  const std::string dir = ::testing::TempDir() + "qx_hostile_counters";
  ForceDirectories(dir);
  const std::string file = dir + "/QX_counters.actual.srtc";

  kRTSCounters counters;
  WriteFileAtomic(file, EntityBombDoctype("RTSCounters") +
                            "<RTSCounters><ServerSerialNumber>&lol9;</ServerSerialNumber>"
                            "</RTSCounters>");
  EXPECT_THROW(counters.Load(file), Error);

  WriteFileAtomic(
      file, "<RTSCounters>" + Repeat("<x>", 100000) + Repeat("</x>", 100000) + "</RTSCounters>");
  EXPECT_FALSE(counters.Load(file));

  WriteFileAtomic(file, Repeat("<RTSCounters>", 1000));
  EXPECT_THROW(counters.Load(file), Error);
  DeleteFile(file);
}

TEST(HostileDocumentsTest, VATMapCacheBombsAreRefusedAndKeepTheTable) {
  kEPSRTServer client;
  kEPSRTServer_VATMap& map = client.VATMap();
  ASSERT_TRUE(map.Deserialize(TestVATMapText()));
  const std::string before = map.Serialize();

  EXPECT_THROW(map.Deserialize(EntityBombDoctype("VATMap") +
                               "<VATMap><VAT><Index>1</Index><Code>&lol9;</Code>"
                               "<Rate>&lol9;</Rate></VAT></VATMap>"),
               Error);
  EXPECT_EQ(map.Serialize(), before);
  EXPECT_THROW(map.Deserialize("<VATMap><VAT><Index>" + std::string(100000, '7') +
                               "</Index><Code>2200</Code><Rate>22</Rate></VAT></VATMap>"),
               Error);
  EXPECT_EQ(map.Serialize(), before);
  // Deep nesting beside the departments is skipped.
  EXPECT_TRUE(map.Deserialize("<VATMap>" + Repeat("<x>", 100000) + Repeat("</x>", 100000) +
                              "<VAT><Index>1</Index><Code>2200</Code><Rate>22</Rate></VAT>"
                              "</VATMap>"));
  EXPECT_EQ(map.VATs().size(), 1u);
}

// A till killed during its first opening has directories and perhaps
// counters, but no receipt and no VAT map yet: nothing to object to.
TEST(StoreAfterCrashTest, TillWithoutReceiptsOrVATMapVerifies) {
  const std::string till = ::testing::TempDir() + "qx_verify_empty/T01";
  for (const char* dir : {"/Queue", "/Processed", "/Errors", "/Journal"}) {
    ASSERT_TRUE(ForceDirectories(till + dir));
  }
  std::ostringstream out;
  const VerifyResult result = VerifyTill(till, out);
  EXPECT_TRUE(result.Ok()) << out.str();
  EXPECT_EQ(result.receipts, 0);
}

}  // namespace
}  // namespace qx::testing
