// Request objects of one client used from two threads at once, as the host's
// thread and the queue pusher do: each must read its own reply.
#include <atomic>
#include <string>
#include <thread>

#include "rtreq/rtreq_fixture.h"
#include "rtserver/uRTSEPS20_Info.h"
#include "rtserver/uRTSEPS20_Till.h"
#include "rtserver/uRTSEPS20_ZReport.h"

namespace qx::rtreqtest {
namespace {

TEST_F(RtreqTest, EachThreadReadsItsOwnReply) {
  sim_->SetTill(rtsim::ParseTill("T01 open z=3 doc=2 amount=1.50"));
  constexpr int kRounds = 25;
  std::atomic<int> pusherFailures{0};
  std::thread pusher([&] {
    // Closures the server refuses (the till is not open after the first), as
    // a pusher would deliver them; only the exchange itself is read.
    for (int i = 0; i < kRounds; ++i) {
      std::lock_guard<std::recursive_mutex> hold(client_.Lock());
      client_.TillZReport().Print(kEPSRTServer_TillZReport::GetMessage("T02"));
      if (client_.XmlResponse().DocumentElement().IsNull()) ++pusherFailures;
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_TRUE(client_.GetTillMap());
    ASSERT_NE(client_.ServerTillMap().GetTill("T01"), nullptr);
    ASSERT_TRUE(client_.GetServerHeaders());
    ASSERT_FALSE(client_.ServerInfo().Headers().empty());
  }
  pusher.join();
  EXPECT_EQ(pusherFailures.load(), 0);
}

}  // namespace
}  // namespace qx::rtreqtest
