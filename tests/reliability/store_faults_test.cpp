// Faults of the data store met by the till manager directly, where the
// interposer-driven suite needs a precise place: a receipt whose counters
// cannot be saved after its queue file was written, before and after the
// delivery thread has taken the file on.
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

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

// The counters cannot be saved while the delivery thread is already sending
// the receipt: the receipt stands, since the server gets it, and the counters
// hold it, so no other receipt is ever sent with its number.
TEST_F(ManagerTest, ReceiptTheServerIsGettingStandsWhenItsCountersCannotBeSaved) {
  ::setenv("QX_PUSHER_PAUSE_MS", "20", 1);
  SetServerTill("T01", 3, 1);
  ASSERT_TRUE(Open());
  rtsim::Fault slow;
  slow.kind = rtsim::FaultKind::Delay;
  slow.match = "createReceipt";
  slow.delayMs = 300;
  Sim().AddFault(slow);
  M().StartPusher();
  M().SetReceiptQueuedHook([&](const std::string&) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (CountRequests("createReceipt") == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    std::filesystem::remove(ActualFile());
    std::filesystem::create_directories(ActualFile() + "/blocked");
  });
  const bool signedOk = M().ProcessReceipt(kReceipt);
  M().SetReceiptQueuedHook(nullptr);
  ASSERT_EQ(CountRequests("createReceipt"), 1u);
  EXPECT_TRUE(signedOk);
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 1);

  // The disk recovers: the next receipt is number 2, and the server follows the till.
  std::filesystem::remove_all(ActualFile());
  ASSERT_TRUE(M().ProcessReceipt(kReceipt));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (M().DataQueueLength() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  M().StopPusher();
  ::unsetenv("QX_PUSHER_PAUSE_MS");
  EXPECT_EQ(M().DataQueueLength(), 0);
  const std::optional<rtsim::TillState> till = Sim().Till("T01");
  ASSERT_TRUE(till.has_value());
  EXPECT_EQ(till->nextDocNumber, 3);
  EXPECT_EQ(till->lastFingerPrint, M().ActualCounters().LastFingerPrint());
}

}  // namespace
}  // namespace qx::manager_test
