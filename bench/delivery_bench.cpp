// Delivery of a backlog: the queue pusher drains 2,000 queued receipts to the
// RT server simulator on loopback, timed from its start until the queue is
// empty and the pusher has stopped. Its floor is a plain loop of libcurl POSTs
// of the same request texts, a new handle for each as the protocol requires,
// against the same simulator.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "manager/uRTServerManager_Pusher.h"
#include "platform/currency.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_VATMap.h"
#include "tools/rtsim/rtsim.h"

namespace qx::bench {
namespace {

constexpr int kReceipts = 2000;
constexpr const char* kUser = "cashier";
constexpr const char* kPassword = "secret";

// The simulator both sides talk to, and a count of the requests it served.
class Server {
 public:
  Server() {
    rtsim::Config config;
    config.user = kUser;
    config.password = kPassword;
    fSimulator = std::make_unique<rtsim::Simulator>(config);
    // Only the request that completes the awaited count wakes the waiter: a
    // wake-up per request would take the CPU from the threads being timed.
    fSimulator->SetLogSink([this](const std::string&) {
      bool reached = false;
      {
        std::lock_guard<std::mutex> lock(fLock);
        reached = ++fServed == fAwaited;
      }
      if (reached) fChanged.notify_all();
    });
    fSimulator->Start();
  }

  static Server& Instance() {
    static Server server;
    return server;
  }

  rtsim::Simulator& Simulator() { return *fSimulator; }

  // Starts counting anew towards |aCount| requests.
  void ResetCount(int aCount) {
    std::lock_guard<std::mutex> lock(fLock);
    fServed = 0;
    fAwaited = aCount;
  }
  void WaitForCount() {
    std::unique_lock<std::mutex> lock(fLock);
    fChanged.wait(lock, [&] { return fServed >= fAwaited; });
  }

 private:
  std::mutex fLock;
  std::condition_variable fChanged;
  int fServed = 0;
  int fAwaited = 0;
  std::unique_ptr<rtsim::Simulator> fSimulator;
};

// 2,000 signed receipts of one till's day, chained, as queue file texts.
const std::vector<std::string>& QueuedReceipts() {
  static const std::vector<std::string> texts = [] {
    kEPSRTServer client;
    client.VATMap().Deserialize(VATMapText());
    kEPSRTServer_Receipt& receipt = client.Receipt();
    const std::string wrapped =
        "<createReceipt><receipt>" + WorkedReceipt() + "</receipt></createReceipt>";
    std::vector<std::string> result;
    std::string link = "TOKEN-OF-THE-DAY";
    for (int i = 0; i < kReceipts; ++i) {
      receipt.SetTillid("T01");
      receipt.SetTokenId(link);
      receipt.SetZRepNumber(1);
      receipt.SetNRecNumber(i);
      receipt.SetDailyAmount(Currency());
      receipt.XmlReceipt().LoadXml(wrapped);
      receipt.Process("0");
      result.push_back(receipt.CleanXMLReceipt() + "\r\n");
      link = receipt.TokenId();
    }
    return result;
  }();
  return texts;
}

// Seconds the pusher takes to deliver |aTexts| from a fresh queue, from its
// start until the queue is empty and the thread has ended (its last moves
// synced). Negative when not every receipt reached the server exactly once.
double PusherDrain(Server& aServer, const std::vector<std::string>& aTexts) {
  kEPSRTServer client;
  client.Setup(aServer.Simulator().BaseAddress(), aServer.Simulator().Port(), kUser, kPassword);
  const std::string root = FreshDir("delivery");
  const std::string queue = root + "/Queue";
  ForceDirectories(queue);
  for (size_t i = 0; i < aTexts.size(); ++i) {
    WritePlainFile(queue + "/T01-0001-" + FormatNumber0000(static_cast<int>(i) + 1) + ".srtd",
                   aTexts[i]);
  }
  SyncFileSystem(root);
  aServer.Simulator().ClearRequests();
  // Every round delivers the same numbers: the server starts the till's day afresh.
  aServer.Simulator().SetTill(rtsim::ParseTill("T01"));
  aServer.ResetCount(static_cast<int>(aTexts.size()));
  ::setenv("QX_LOG_DIR", (root + "/LogFiles").c_str(), 1);  // the pusher logs in the scratch
  auto pusher = std::make_unique<kRTSPusherThread>();
  pusher->SetDataQueueDir(queue);
  pusher->SetDataProcessedDir(root + "/Processed");
  pusher->SetDataErrorsDir(root + "/Errors");
  pusher->SetServer(&client);

  const auto start = std::chrono::steady_clock::now();
  pusher->Start();
  aServer.WaitForCount();
  while (!ListFiles(queue, ".srtd").empty()) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  pusher.reset();  // stops the thread and drains its log
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (aServer.Simulator().Requests().size() != aTexts.size()) return -1;
  return seconds;
}

size_t CollectBody(char* aData, size_t aSize, size_t aCount, void* aUser) {
  static_cast<std::string*>(aUser)->append(aData, aSize * aCount);
  return aSize * aCount;
}

// Seconds a plain loop of libcurl POSTs of |aBodies| takes, a new handle for
// each. Negative when a POST failed.
double CurlLoop(Server& aServer, const std::vector<std::string>& aBodies) {
  const std::string url = aServer.Simulator().BaseAddress() + ":" +
                          std::to_string(aServer.Simulator().Port()) + "/cgi-bin/fpserver.cgi";
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: application/soap+xml; charset=utf-8");
  headers = curl_slist_append(headers, "Expect:");
  aServer.Simulator().ClearRequests();
  // Every round delivers the same numbers: the server starts the till's day afresh.
  aServer.Simulator().SetTill(rtsim::ParseTill("T01"));
  bool ok = true;
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& body : aBodies) {
    CURL* curl = curl_easy_init();
    std::string reply;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(curl, CURLOPT_USERNAME, kUser);
    curl_easy_setopt(curl, CURLOPT_PASSWORD, kPassword);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    ok = ok && code == CURLE_OK && status == 200;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  curl_slist_free_all(headers);
  return ok ? seconds : -1;
}

// Each iteration drains the queue with the pusher and posts the same bodies
// with the plain loop, in alternating order, so both meet the same machine.
// The counters "figure" and "floor" are the seconds of each.
void BM_Delivery(benchmark::State& aState) {
  Server& server = Server::Instance();
  const std::vector<std::string>& texts = QueuedReceipts();
  std::vector<std::string> bodies;
  for (const std::string& text : texts) bodies.push_back(kEPSRTServer::BuildEnvelope(text));
  curl_global_init(CURL_GLOBAL_DEFAULT);
  // The pusher pauses briefly once the queue is empty; its log goes below the
  // current directory, the scratch directory.
  ::setenv("QX_PUSHER_PAUSE_MS", "5", 1);
  static bool pusherFirst = true;
  // The first drain of a run also pays for what later ones find ready (the
  // simulator's threads and memory, the log directory, cold caches): one
  // untimed round of each comes first.
  static bool warmedUp = false;
  if (!warmedUp) {
    warmedUp = true;
    if (PusherDrain(server, texts) < 0 || CurlLoop(server, bodies) < 0) {
      aState.SkipWithError("the warm-up round failed");
    }
  }
  double figure = 0;
  double floor = 0;
  for (auto _ : aState) {
    for (int step = 0; step < 2; ++step) {
      if ((step == 0) == pusherFirst) {
        figure = PusherDrain(server, texts);
      } else {
        floor = CurlLoop(server, bodies);
      }
    }
    pusherFirst = !pusherFirst;
    if (figure < 0) aState.SkipWithError("the pusher did not send every receipt exactly once");
    if (floor < 0) aState.SkipWithError("a POST failed");
  }
  aState.counters["figure"] = figure;
  aState.counters["floor"] = floor;
}
BENCHMARK(BM_Delivery)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qx::bench
