// Receipt processing: the queue file, the counters, the fingerprint chain, the
// VAT map sources, refused input, and the roll-forward after a crash between
// the queue file and the counters.
#include <filesystem>
#include <map>

#include "manager/manager_fixture.h"
#include "platform/digest.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_Till.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace qx::manager_test {
namespace {

// What a queued receipt file says about itself.
struct QueuedFile {
  std::string text;
  std::string backLink;
  std::string digest;
  std::string receiptMarkup;
  std::map<std::string, std::string> info;  // fiscalInformation attributes
};

QueuedFile ReadQueued(const std::string& path) {
  QueuedFile f;
  f.text = ReadFileBytes(path);
  XmlDocument doc;
  doc.LoadXml(f.text);
  const XmlElement root = doc.DocumentElement();
  const XmlElement receipt = root.ChildNodes().FindByName("receipt");
  f.receiptMarkup = receipt.Xml();
  f.backLink = receipt.ChildNodes().FindByName("hash").AttributeText("fingerPrint");
  f.digest = root.ChildNodes()
                 .FindByName("receiptSecurity")
                 .ChildNodes()
                 .FindByName("hash")
                 .AttributeText("fingerPrint");
  const XmlElement info = receipt.ChildNodes()
                              .FindByName("printerFiscalReceipt")
                              .ChildNodes()
                              .FindByName("fiscalInformation");
  for (pugi::xml_attribute a : info.Native().attributes()) f.info[a.name()] = a.value();
  return f;
}

class ProcessReceiptTest : public ManagerTest {
 protected:
  // Opens T01's day from a token with Z report |zRep| and |done| receipts so
  // far.
  void OpenAt(int32_t zRep, int32_t done, Currency daily = Currency()) {
    SetServerTill("T01", zRep, done + 1, daily);
    ASSERT_TRUE(Open());
  }
  std::string QueueFile(const std::string& name) const { return QueueDir() + "/" + name; }
  std::string Counters() const { return ReadFileBytes(ActualFile()); }

  // The worked example: total 11.25, VAT 1.27.
  static std::string WorkedExample() {
    return HostReceipt("<beginFiscalReceipt docType=\"0\"/>",
                       "<printRecItem description=\"A\" quantity=\"2\" unitPrice=\"1.50\" "
                       "vatID=\"1\"/>\n\t<printRecItem description=\"B\" quantity=\"1\" "
                       "unitPrice=\"10.00\" vatID=\"2\"/><printRecItemAdjustment "
                       "adjustmentType=\"0\" amount=\"0.50\"/><printRecSubtotalAdjustment "
                       "adjustmentType=\"1\" amount=\"1.25\"/><printRecTotal "
                       "payment=\"20.00\" "
                       "paymentType=\"0\"/>");
  }
};

TEST_F(ProcessReceiptTest, DayNotOpenChangesNothing) {
  M().Init("", Sim().BaseAddress(), Sim().Port(), "", "", "T01");
  EXPECT_FALSE(M().ProcessReceipt(Sale("1.00")));
  EXPECT_EQ(M().LastError(), "Day not opened");
  EXPECT_EQ(M().DataQueueLength(), 0);
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 0);
  EXPECT_TRUE(Sim().Requests().empty());
}

// A receipt signed after a token opening carries the token's numbering and
// daily amount, links to the token, and the next receipt links to it.
TEST_F(ProcessReceiptTest, ReceiptAfterATokenOpeningCarriesNumbersAmountsAndChain) {
  OpenAt(12, 4, Currency::FromUnits(100));
  const std::string token = M().ActualCounters().LastFingerPrint();
  ASSERT_TRUE(M().ProcessReceipt(WorkedExample()));

  const std::string path = QueueFile("T01-0012-0005.srtd");
  ASSERT_TRUE(FileExists(path));
  EXPECT_EQ(M().DataQueueLength(), 1);
  QueuedFile first = ReadQueued(path);
  EXPECT_EQ(first.text.rfind("<createReceipt><receipt>", 0), 0u);
  EXPECT_EQ(first.text.substr(first.text.size() - 18), "</createReceipt>\r\n");
  EXPECT_EQ(first.text.find_first_of("\r\n\t"), first.text.size() - 2);
  EXPECT_EQ(first.backLink, token);
  EXPECT_EQ(first.digest, Sha256Hex(first.receiptMarkup));
  EXPECT_EQ(first.info["tillId"], "T01");
  EXPECT_EQ(first.info["zRepNumber"], "0012");
  EXPECT_EQ(first.info["recNumber"], "0005");
  EXPECT_EQ(first.info["recAmount"], "11.25");
  EXPECT_EQ(first.info["recVAT"], "1.27");
  EXPECT_EQ(first.info["dailyAmount"], "111.25");

  const kRTSCounters& c = M().ActualCounters();
  EXPECT_EQ(c.CurrentnRec(), 5);
  EXPECT_EQ(c.CurrentzRep(), 12);
  EXPECT_EQ(c.LastFingerPrint(), first.digest);
  EXPECT_EQ(c.FirstFingerPrint(), token);
  EXPECT_EQ(c.DailySales(), Currency::FromRaw(1112500));
  EXPECT_EQ(c.DailyTotal(), Currency::FromRaw(1112500));
  kRTSCounters stored;
  ASSERT_TRUE(stored.Load(ActualFile()));
  EXPECT_EQ(stored.LastFingerPrint(), first.digest);
  EXPECT_EQ(stored.CurrentnRec(), 5);

  ASSERT_TRUE(M().ProcessReceipt(Sale("2.00")));
  const QueuedFile second = ReadQueued(QueueFile("T01-0012-0006.srtd"));
  EXPECT_EQ(second.backLink, first.digest);
  EXPECT_EQ(M().ActualCounters().LastFingerPrint(), second.digest);
  EXPECT_EQ(M().ActualCounters().DailyTotal(), Currency::FromRaw(1132500));
}

TEST_F(ProcessReceiptTest, DocumentTypeDecidesWhichDailyAmountGrows) {
  OpenAt(1, 0);
  const kRTSCounters& c = M().ActualCounters();
  ASSERT_TRUE(M().ProcessReceipt(OneItem("<beginFiscalReceipt docType=\"1\"/>", "3.00")));
  EXPECT_EQ(c.DailyRefunds(), Currency::FromUnits(3));
  EXPECT_EQ(c.DailySales(), Currency());
  EXPECT_EQ(c.DailyTotal(), Currency());
  ASSERT_TRUE(M().ProcessReceipt(OneItem("<beginFiscalReceipt docType=\"3\"/>", "4.00")));
  EXPECT_EQ(c.DailyVoids(), Currency::FromUnits(4));
  EXPECT_EQ(c.DailyTotal(), Currency());
  // No docType: a sale of type "0".
  ASSERT_TRUE(M().ProcessReceipt(OneItem("<beginFiscalReceipt/>", "5.00")));
  EXPECT_EQ(c.DailySales(), Currency::FromUnits(5));
  EXPECT_EQ(c.DailyTotal(), Currency::FromUnits(5));
  EXPECT_EQ(ReadQueued(QueueFile("T01-0001-0003.srtd")).info["doctype"], "0");
  // No beginFiscalReceipt: empty type, counted as a sale but not in the daily
  // total.
  ASSERT_TRUE(M().ProcessReceipt(OneItem("", "6.00")));
  EXPECT_EQ(c.DailySales(), Currency::FromUnits(11));
  EXPECT_EQ(c.DailyTotal(), Currency::FromUnits(5));
  EXPECT_EQ(ReadQueued(QueueFile("T01-0001-0004.srtd")).info["doctype"], "");
  EXPECT_EQ(c.CurrentnRec(), 4);
}

TEST_F(ProcessReceiptTest, ReceiptNumberTenThousandWidensTheName) {
  OpenAt(12, 0);
  M().ActualCounters().SetCurrentnRec(9999);  // a token carries four digits only
  ASSERT_TRUE(M().ProcessReceipt(Sale("1.00")));
  EXPECT_TRUE(FileExists(QueueFile("T01-0012-10000.srtd")));
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 10000);
}

TEST_F(ProcessReceiptTest, VatMapComesFromTheServerAndIsCached) {
  OpenAt(1, 0);
  EXPECT_TRUE(M().VATMap().VATs().empty());
  WriteFileAtomic(TillDir() + "/vatmap.srtv", "<VATMap/>\r\n");  // stale cache
  // A refused first receipt (a refund whose root is in a namespace, which
  // would otherwise be read as a sale) fetches the map but writes nothing.
  const std::string counters = Counters();
  EXPECT_THROW(M().ProcessReceipt("<p:printerFiscalReceipt xmlns:p=\"urn:any\"><beginFiscalReceipt "
                                  "docType=\"1\"/><printRecRefund quantity=\"1\" "
                                  "unitPrice=\"10\" vatID=\"1\"/><endFiscalReceipt/>"
                                  "</p:printerFiscalReceipt>"),
               Error);
  EXPECT_EQ(ReadFileBytes(TillDir() + "/vatmap.srtv"), "<VATMap/>\r\n");
  EXPECT_EQ(Counters(), counters);
  EXPECT_EQ(M().DataQueueLength(), 0);
  ASSERT_TRUE(M().ProcessReceipt(Sale("1.00")));
  EXPECT_EQ(M().VATMap().VATs().size(), 10u);
  const std::string cache = ReadFileBytes(TillDir() + "/vatmap.srtv");
  EXPECT_EQ(cache.rfind("<VATMap><VAT><Index>1</Index><Code>2200</Code><Rate>22</Rate></VAT>", 0),
            0u);
  EXPECT_EQ(cache.substr(cache.size() - 2), "\r\n");
  // Held for the following receipts: no more VAT requests.
  const size_t vatRequests = CountRequests("4205");
  ASSERT_TRUE(M().ProcessReceipt(Sale("1.00")));
  EXPECT_EQ(CountRequests("4205"), vatRequests);
}

TEST_F(ProcessReceiptTest, VatMapFromTheCacheWhenTheServerIsAway) {
  OpenAt(1, 0);
  ASSERT_TRUE(M().ProcessReceipt(Sale("1.00")));
  Restart();
  ServerDown();
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(Sale("2.00")));
  EXPECT_EQ(M().VATMap().VATs().size(), 10u);
  EXPECT_TRUE(FileExists(QueueFile("T01-0001-0002.srtd")));
}

TEST_F(ProcessReceiptTest, NoVatMapAnywhereChangesNothing) {
  OpenAt(1, 0);
  ASSERT_TRUE(M().ProcessReceipt(Sale("1.00")));
  Restart();
  ServerDown();
  ASSERT_TRUE(Open());
  DeleteFile(TillDir() + "/vatmap.srtv");
  const std::string before = Counters();
  try {
    M().ProcessReceipt(Sale("2.00"));
    FAIL() << "accepted";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Impossibile to load VAT Map from server and no cached copy found");
  }
  EXPECT_EQ(M().DataQueueLength(), 1);
  EXPECT_EQ(Counters(), before);
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 1);
  // A damaged copy is not a missing one: the message names the file.
  WriteFileAtomic(TillDir() + "/vatmap.srtv", "<VATMap>\r\n");
  try {
    M().ProcessReceipt(Sale("2.00"));
    FAIL() << "accepted";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "VAT map cache \"" + TillDir() + "/vatmap.srtv\" is damaged (XML parse error", 0),
              0u)
        << e.what();
  }
  EXPECT_EQ(Counters(), before);
}

TEST_F(ProcessReceiptTest, BadHostTextChangesNothing) {
  OpenAt(1, 0);
  ASSERT_TRUE(M().ProcessReceipt(Sale("1.00")));
  const std::string counters = Counters();
  const std::string link = M().ActualCounters().LastFingerPrint();
  const std::string previousReceipt = M().Receipt().CleanXMLReceipt();
  for (const std::string& bad :
       {std::string(""), std::string("<printerFiscalReceipt>"),
        "<?xml version=\"1.0\"?>" + Sale("2.00"), "<!DOCTYPE printerFiscalReceipt>" + Sale("2.00"),
        HostReceipt("", "<printRecMessage message=\"&nbsp;\"/>"),
        HostReceipt("",
                    "<printRecItem quantity=\"1\" unitPrice=\"1\" "
                    "unitPrice=\"100\" vatID=\"1\"/>")}) {
    SCOPED_TRACE(bad);
    try {
      M().ProcessReceipt(bad);
      ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
      // A declaration is named, not reported at a position of the driver's wrapper.
      const std::string message = e.what();
      if (bad.starts_with("<?xml") || bad.starts_with("<!DOCTYPE")) {
        EXPECT_NE(message.find("declaration is not accepted"), std::string::npos) << message;
      }
    }
    EXPECT_EQ(M().DataQueueLength(), 1);
    EXPECT_EQ(Counters(), counters);
    EXPECT_EQ(M().ActualCounters().LastFingerPrint(), link);
    EXPECT_EQ(M().ActualCounters().CurrentnRec(), 1);
    EXPECT_EQ(M().Receipt().CleanXMLReceipt(), previousReceipt);
  }
  // A conversion failure (unknown VAT, a forged seal, an amount beyond the
  // limits) leaves queue and counters alone as well, and the next receipt
  // takes the number and the link the failed one would have.
  for (const std::string& refused :
       {HostReceipt("", "<printRecItem quantity=\"1\" unitPrice=\"1.00\" vatID=\"77\"/>"),
        HostReceipt("", "<fiscalInformation recAmount=\"0.01\"/>"), Sale("100000000.00")}) {
    SCOPED_TRACE(refused);
    EXPECT_THROW(M().ProcessReceipt(refused), Error);
    EXPECT_EQ(M().DataQueueLength(), 1);
    EXPECT_EQ(Counters(), counters);
  }
  ASSERT_TRUE(M().ProcessReceipt(Sale("2.00")));
  EXPECT_EQ(ReadQueued(QueueFile("T01-0001-0002.srtd")).backLink, link);
}

TEST_F(ProcessReceiptTest, UnwritableQueueLeavesTheCountersAlone) {
  OpenAt(1, 0);
  const std::string counters = Counters();
  std::filesystem::remove_all(QueueDir());
  WriteFileAtomic(QueueDir(), "not a directory");
  EXPECT_THROW(M().ProcessReceipt(Sale("1.00")), Error);
  EXPECT_EQ(Counters(), counters);
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 0);
}

// Counters restored from an older copy would number the next receipt again:
// the undelivered document of that number stays as it is, also while the
// delivery thread holds it under its claimed name.
TEST_F(ProcessReceiptTest, AnExistingQueueFileIsNeverReplaced) {
  OpenAt(1, 0);
  const std::string counters = Counters();
  for (const char* existing : {"T01-0001-0001.srtd", "T01-0001-0001.sending.srtd"}) {
    SCOPED_TRACE(existing);
    WriteFileAtomic(QueueFile(existing), "undelivered\r\n");
    try {
      M().ProcessReceipt(Sale("1.00"));
      ADD_FAILURE() << "signed";
    } catch (const Error& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("File already exists"));
    }
    EXPECT_EQ(ReadFileBytes(QueueFile(existing)), "undelivered\r\n");
    EXPECT_EQ(Counters(), counters);
    EXPECT_EQ(M().ActualCounters().CurrentnRec(), 0);
    std::filesystem::remove(QueueFile(existing));
  }
}

// A crash after the queue file was written but before the counters were
// saved: the next opening takes the queued receipt into the counters.
class RollForwardTest : public ProcessReceiptTest {
 protected:
  // Signs |count| receipts and returns the counters file as it was before
  // the last of them, as a crash would have left it.
  std::string SignWithLostCountersSave(int count) {
    std::string before;
    for (int i = 1; i <= count; ++i) {
      before = Counters();
      EXPECT_TRUE(M().ProcessReceipt(Sale(std::to_string(i) + ".00")));
    }
    return before;
  }
  void Crash(const std::string& counters) {
    Restart();
    WriteFileAtomic(ActualFile(), counters);
  }
};

TEST_F(RollForwardTest, ReceiptStillInTheQueue) {
  OpenAt(12, 4);
  const std::string stale = SignWithLostCountersSave(2);
  const std::string lastDigest = M().ActualCounters().LastFingerPrint();
  Crash(stale);
  ASSERT_TRUE(Open());
  const kRTSCounters& c = M().ActualCounters();
  EXPECT_EQ(c.CurrentnRec(), 6);
  EXPECT_EQ(c.LastFingerPrint(), lastDigest);
  EXPECT_EQ(c.DailySales(), Currency::FromUnits(3));
  EXPECT_EQ(c.DailyTotal(), Currency::FromUnits(3));
  kRTSCounters stored;
  ASSERT_TRUE(stored.Load(ActualFile()));
  EXPECT_EQ(stored.CurrentnRec(), 6);
  EXPECT_EQ(stored.LastFingerPrint(), lastDigest);

  ASSERT_TRUE(M().ProcessReceipt(Sale("4.00")));
  EXPECT_EQ(ReadQueued(QueueFile("T01-0012-0007.srtd")).backLink, lastDigest);
  EXPECT_EQ(M().DataQueueLength(), 3);
}

TEST_F(RollForwardTest, ReceiptsAlreadyFiledByThePusher) {
  OpenAt(12, 0);
  // Counters as they were before any receipt; three receipts then lost their
  // save.
  const std::string stale = Counters();
  SignWithLostCountersSave(3);
  const std::string lastDigest = M().ActualCounters().LastFingerPrint();
  // The pusher delivered the first, refused the second; the third still waits.
  ForceDirectories(TillDir() + "/Processed/20240501");
  ForceDirectories(TillDir() + "/Errors/20240502");
  ASSERT_TRUE(MoveFileNoReplace(QueueFile("T01-0012-0001.srtd"),
                                TillDir() + "/Processed/20240501/T01-0012-0001.srtd"));
  ASSERT_TRUE(MoveFileNoReplace(QueueFile("T01-0012-0002.srtd"),
                                TillDir() + "/Errors/20240502/T01-0012-0002.srtd"));
  Crash(stale);
  ASSERT_TRUE(Open());
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 3);
  EXPECT_EQ(M().ActualCounters().LastFingerPrint(), lastDigest);
  EXPECT_EQ(M().ActualCounters().DailySales(), Currency::FromUnits(6));
}

TEST_F(RollForwardTest, RefundAndVoidRollForwardIntoTheirAmounts) {
  OpenAt(2, 0);
  const std::string stale = Counters();
  ASSERT_TRUE(M().ProcessReceipt(OneItem("<beginFiscalReceipt docType=\"1\"/>", "3.00")));
  ASSERT_TRUE(M().ProcessReceipt(OneItem("<beginFiscalReceipt docType=\"3\"/>", "4.00")));
  Crash(stale);
  ASSERT_TRUE(Open());
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 2);
  EXPECT_EQ(M().ActualCounters().DailyRefunds(), Currency::FromUnits(3));
  EXPECT_EQ(M().ActualCounters().DailyVoids(), Currency::FromUnits(4));
  EXPECT_EQ(M().ActualCounters().DailySales(), Currency());
}

TEST_F(RollForwardTest, ReceiptOfAnotherChainIsNotTaken) {
  OpenAt(12, 4);
  const std::string stale = SignWithLostCountersSave(1);
  Crash(stale);
  kRTSCounters c;
  ASSERT_TRUE(c.Load(ActualFile()));
  c.SetLastFingerPrint("some-other-link");
  c.Save();
  const std::string before = Counters();
  ASSERT_TRUE(Open());
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 4);
  EXPECT_EQ(M().ActualCounters().LastFingerPrint(), "some-other-link");
  EXPECT_EQ(Counters(), before);
}

}  // namespace
}  // namespace qx::manager_test
