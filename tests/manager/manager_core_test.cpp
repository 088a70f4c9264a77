// The till manager's core: the data store's layout, till id checks, the error
// list, the queue listings, the forwarding operations and the header cache.
#include <algorithm>

#include "manager/manager_fixture.h"
#include "platform/error.h"
#include "platform/files.h"
#include "rtserver/uRTSEPS20_Info.h"

namespace qx::manager_test {
namespace {

using ::testing::ElementsAre;

using ManagerCoreTest = ManagerTest;

TEST_F(ManagerCoreTest, FreshManagerHasNothing) {
  EXPECT_FALSE(M().DayOpened());
  EXPECT_EQ(M().DataTillDir(), "");
  EXPECT_EQ(M().TillId(), "");
  EXPECT_EQ(M().LastError(), "");
  EXPECT_EQ(M().ActualCounters().CounterType(), ctActual);
  EXPECT_EQ(M().PreviousCounters().CounterType(), ctPrevious);
  EXPECT_EQ(M().ActualCounters().CurrentzRep(), 0);
}

TEST_F(ManagerCoreTest, InitLaysOutTheStoreUnderTheDefaultRoot) {
  ASSERT_TRUE(M().Init("", Sim().BaseAddress(), Sim().Port(), "u", "p", "T01"));
  EXPECT_EQ(M().DataRootDir(), root_);
  EXPECT_EQ(M().DataTillDir(), root_ + "/T01");
  EXPECT_EQ(M().DataQueueDir(), root_ + "/T01/Queue");
  EXPECT_EQ(M().DataProcessedDir(), root_ + "/T01/Processed");
  EXPECT_EQ(M().DataErrorsDir(), root_ + "/T01/Errors");
  EXPECT_EQ(M().JournalDir(), root_ + "/T01/Journal");
  EXPECT_EQ(M().ActualCountersFullFileName(), root_ + "/T01/QX_counters.actual.srtc");
  EXPECT_EQ(M().PreviousCountersFullFileName(), root_ + "/T01/QX_counters.previous.srtc");
  for (const char* dir : {"", "/Queue", "/Processed", "/Errors", "/Journal"}) {
    EXPECT_TRUE(DirectoryExists(root_ + "/T01" + dir)) << dir;
  }
  EXPECT_EQ(M().TillId(), "T01");
  EXPECT_FALSE(FileExists(M().ActualCountersFullFileName()));
  EXPECT_TRUE(Sim().Requests().empty());  // Init asks no server
}

TEST_F(ManagerCoreTest, DefaultRootWithoutEnvironment) {
  unsetenv("QX_SRT_DB");
  EXPECT_EQ(kRTSManager::DefaultDataRootDir(), "/var/lib/QX_SRT_DB");
  setenv("QX_SRT_DB", "", 1);
  EXPECT_EQ(kRTSManager::DefaultDataRootDir(), "/var/lib/QX_SRT_DB");
}

TEST_F(ManagerCoreTest, ExplicitRootTrailingSeparatorAndEmptyTillId) {
  ASSERT_TRUE(M().Init(root_ + "/other/", "", 0, "", "", "T02"));
  EXPECT_EQ(M().DataTillDir(), root_ + "/other/T02");
  EXPECT_EQ(M().DataQueueDir(), root_ + "/other/T02/Queue");
  EXPECT_TRUE(DirectoryExists(root_ + "/other/T02/Journal"));

  ASSERT_TRUE(M().Init(root_ + "/flat", "", 0, "", "", ""));
  EXPECT_EQ(M().DataTillDir(), root_ + "/flat");
  EXPECT_EQ(M().DataQueueDir(), root_ + "/flat/Queue");
  EXPECT_TRUE(DirectoryExists(root_ + "/flat/Queue"));
}

TEST_F(ManagerCoreTest, ReInitRecomputesPathsAndKeepsTheRest) {
  M().Init("", "", 0, "", "", "T01");
  M().ProcessReceipt("<x/>");  // no day: one message in the list
  M().ActualCounters().SetCurrentnRec(3);
  M().Init("", "", 0, "", "", "T02");
  EXPECT_EQ(M().DataQueueDir(), root_ + "/T02/Queue");
  EXPECT_EQ(M().ActualCountersFullFileName(), root_ + "/T02/QX_counters.actual.srtc");
  EXPECT_EQ(M().TillId(), "T02");
  EXPECT_EQ(M().LastError(), "Day not opened");
  EXPECT_EQ(M().ActualCounters().CurrentnRec(), 3);

  M().SetTillId("T03");  // the id alone; paths stay
  EXPECT_EQ(M().TillId(), "T03");
  EXPECT_EQ(M().DataTillDir(), root_ + "/T02");
}

TEST_F(ManagerCoreTest, TillIdThatIsNotOneComponentIsRefusedBeforeAnythingIsCreated) {
  M().Init("", "", 0, "", "", "T01");
  for (const char* bad : {"../x", "..", ".", "a/b", "a\\b", "T<1", "T|1", "T\"1", "T\n1"}) {
    SCOPED_TRACE(bad);
    try {
      M().Init(root_ + "/fresh", "", 0, "", "", bad);
      FAIL() << "accepted";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "Invalid characters in path");
    }
    EXPECT_FALSE(std::filesystem::exists(root_ + "/fresh"));
    EXPECT_FALSE(std::filesystem::exists(root_ + "/x"));
    EXPECT_EQ(M().DataTillDir(), root_ + "/T01");  // nothing changed
  }
  EXPECT_THROW(M().DayOpen("", Sim().BaseAddress(), Sim().Port(), "", "", "../x"), Error);
  EXPECT_TRUE(Sim().Requests().empty());
  EXPECT_THROW(M().Init(root_ + "/<bad>", "", 0, "", "", "T01"), Error);
  // A data root that cannot be made says why, not a later file's symptom.
  WriteFileAtomic(root_ + "/plain", "x");
  try {
    M().Init(root_ + "/plain/root", "", 0, "", "", "T01");
    FAIL() << "accepted";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create folder \"" + root_ + "/plain\": ", 0), 0u)
        << e.what();
  }
  EXPECT_EQ(M().DataTillDir(), root_ + "/T01");
  EXPECT_THROW(RTSQueueFileName("a/b", 1, 1), Error);
  EXPECT_EQ(RTSQueueFileName("T01", 12, 10000), "T01-0012-10000.srtd");
}

TEST_F(ManagerCoreTest, ListingsTakeOnlyQueuedDocumentsDirectlyInTheDirectory) {
  M().Init("", "", 0, "", "", "T01");
  const std::string queue = M().DataQueueDir();
  WriteFileAtomic(queue + "/T01-0001-0001.srtd", "a\r\n");
  WriteFileAtomic(queue + "/T01-0001-0002.SRTD", "b\r\n");
  WriteFileAtomic(queue + "/T01-0001-0003.srtd_duplicate.err", "c\r\n");
  WriteFileAtomic(queue + "/notes.txt", "d\r\n");
  ForceDirectories(queue + "/sub.srtd");
  WriteFileAtomic(queue + "/sub.srtd/T01-0001-0004.srtd", "e\r\n");
  std::vector<std::string> files = M().GetQueuedFiles();
  std::sort(files.begin(), files.end());
  EXPECT_THAT(files, ElementsAre(queue + "/T01-0001-0001.srtd", queue + "/T01-0001-0002.SRTD"));
  EXPECT_EQ(M().DataQueueLength(), 2);

  EXPECT_EQ(M().DataErrorLength(), 0);
  WriteFileAtomic(M().DataErrorsDir() + "/T01-0001-0009.srtd", "x\r\n");
  ForceDirectories(M().DataErrorsDir() + "/20240101");
  WriteFileAtomic(M().DataErrorsDir() + "/20240101/T01-0001-0008.srtd", "x\r\n");
  EXPECT_THAT(M().GetErrorsFiles(), ElementsAre(M().DataErrorsDir() + "/T01-0001-0009.srtd"));
  EXPECT_EQ(M().DataErrorLength(), 1);
}

TEST_F(ManagerCoreTest, DirectorySettersStoreThePath) {
  M().SetDataQueueDir("/q");
  M().SetDataProcessedDir("/p");
  M().SetDataErrorsDir("/e");
  EXPECT_EQ(M().DataQueueDir(), "/q");
  EXPECT_EQ(M().DataProcessedDir(), "/p");
  EXPECT_EQ(M().DataErrorsDir(), "/e");
}

TEST_F(ManagerCoreTest, ForwardingOperationsReportOnlyThroughTheirResult) {
  M().Init("", Sim().BaseAddress(), Sim().Port(), "", "", "T01");
  EXPECT_TRUE(M().LoadServerInfo());
  EXPECT_EQ(M().ServerInfo().SerialNumber(), "99SIM000001");
  EXPECT_TRUE(M().LoadServerHeaders());
  EXPECT_THAT(M().ServerInfo().Headers(),
              ElementsAre("SIMULATED SHOP", "1 MAIN STREET", "VAT 01234567890"));
  EXPECT_TRUE(M().LoadTillMap());
  EXPECT_TRUE(M().LoadServerDateTime());
  EXPECT_TRUE(M().LoadServerZRep());
  EXPECT_TRUE(M().LoadVatMap());
  EXPECT_TRUE(M().LoadActualTillZRep());
  EXPECT_EQ(&M().Receipt(), &M().Server().Receipt());
  EXPECT_EQ(&M().TillMap(), &M().Server().ServerTillMap());

  ServerDown();
  EXPECT_FALSE(M().LoadServerInfo());
  EXPECT_FALSE(M().LoadVatMap());
  EXPECT_FALSE(M().LoadHistoricTillZRep(3));
  EXPECT_FALSE(M().Server().LastError().empty());
  EXPECT_EQ(M().LastError(), "");  // the manager's own list is untouched
}

TEST_F(ManagerCoreTest, HeaderLinesAreCachedAndRestoredWhenTheServerIsAway) {
  ASSERT_TRUE(Open());
  const std::string cache = TillDir() + "/headers.srth";
  EXPECT_EQ(ReadFileBytes(cache), "SIMULATED SHOP\r\n1 MAIN STREET\r\nVAT 01234567890\r\n");

  Restart();
  ServerDown();
  ASSERT_TRUE(Open());  // resumes the day from its counters file
  EXPECT_THAT(M().ServerInfo().Headers(),
              ElementsAre("SIMULATED SHOP", "1 MAIN STREET", "VAT 01234567890"));
}

TEST_F(ManagerCoreTest, NoHeaderLinesWritesNoCacheAndNoCacheLeavesTheListAlone) {
  Sim().Configure([](rtsim::Config& c) { c.headerLines.clear(); });
  ASSERT_TRUE(Open());
  EXPECT_TRUE(M().ServerInfo().Headers().empty());
  EXPECT_FALSE(FileExists(TillDir() + "/headers.srth"));

  Restart();
  ServerDown();
  ASSERT_TRUE(Open());
  EXPECT_TRUE(M().ServerInfo().Headers().empty());
}

}  // namespace
}  // namespace qx::manager_test
