// Faults of the data store met by the till manager directly, where the
// interposer-driven suite needs a precise place: a receipt whose counters
// cannot be saved after its queue file was written.
#include <filesystem>

#include "manager/manager_fixture.h"
#include "platform/error.h"

namespace qx::manager_test {
namespace {

constexpr const char* kReceipt =
    "<printerFiscalReceipt><beginFiscalReceipt docType=\"0\"/><printRecItem description=\"A\" "
    "quantity=\"1\" unitPrice=\"2.00\" vatID=\"1\"/><printRecTotal payment=\"2.00\" "
    "paymentType=\"0\"/><endFiscalReceipt/></printerFiscalReceipt>";

TEST_F(ManagerTest, ReceiptWhoseCountersCannotBeSavedIsTakenBackOutOfTheQueue) {
  SetServerTill("T01", 3, 1);
  ASSERT_TRUE(Open());
  ASSERT_TRUE(M().ProcessReceipt(kReceipt));
  const std::string firstLink = M().ActualCounters().LastFingerPrint();

  // The counters file cannot be replaced: its name is taken by a directory
  // that is not empty.
  std::filesystem::remove(ActualFile());
  std::filesystem::create_directories(ActualFile() + "/blocked");
  EXPECT_THROW(M().ProcessReceipt(kReceipt), Error);
  EXPECT_FALSE(FileExists(QueueDir() + "/T01-0003-0002.srtd"));
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 1);
  EXPECT_EQ(M().ActualCounters().LastFingerPrint(), firstLink);

  // The disk recovers: the next receipt takes number 2 and links to the first.
  std::filesystem::remove_all(ActualFile());
  ASSERT_TRUE(M().ProcessReceipt(kReceipt));
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 2);
  EXPECT_TRUE(FileExists(QueueDir() + "/T01-0003-0002.srtd"));
  EXPECT_NE(ReadFileBytes(QueueDir() + "/T01-0003-0002.srtd").find(firstLink), std::string::npos);
}

}  // namespace
}  // namespace qx::manager_test
