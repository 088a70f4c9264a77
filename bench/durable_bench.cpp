// Durable signing: one receipt through the till manager on an open day (VAT
// map cached, pusher not running, the server never asked), from the host
// text to the queued file and the saved counters. Its floor is what no
// implementation can avoid: durably replacing two files of the same sizes as
// the queue file and the counters file (write, flush, rename, flush the
// directory) and the SHA-256 digest of the same text.
//
// The memory figure signs 101,000 receipts on one day with the data root on a
// memory file system (the durability calls are the same, only cheaper) and
// reports how far the resident set grew after the first 1,000.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "bench/bench_support.h"
#include "manager/uRTServerManager.h"
#include "platform/digest.h"
#include "platform/files.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "tools/rtsim/rtsim.h"

namespace qx::bench {
namespace {

constexpr const char* kTill = "T01";

// A till manager with its day open under |aRoot|, its VAT map fetched once
// while the simulator still ran; afterwards no server is reachable.
std::unique_ptr<kRTSManager> OpenDay(const std::string& aRoot) {
  ::setenv("QX_SRT_DB", aRoot.c_str(), 1);
  ::setenv("QX_QUEUE_WAIT_MS", "0", 1);
  auto manager = std::make_unique<kRTSManager>();
  rtsim::Simulator simulator;
  simulator.Start();
  if (!manager->DayOpen("", simulator.BaseAddress(), simulator.Port(), "", "", kTill) ||
      !manager->LoadVatMap()) {
    return nullptr;
  }
  return manager;
}

// Writes |aBytes| to a new file and moves it over |aPath|, flushing file and
// directory: the fewest steps that leave either the old or the new file.
bool ReplaceDurably(const std::string& aPath, const std::string& aDir, std::string_view aBytes) {
  const std::string temp = aPath + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, aBytes.data(), aBytes.size()) == static_cast<ssize_t>(aBytes.size());
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), aPath.c_str()) == 0;
  const int dirFd = ::open(aDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return false;
  ok = ::fsync(dirFd) == 0 && ok;
  ::close(dirFd);
  return ok;
}

// The sizes the signing path writes: the last queue file and the counters.
struct WrittenSizes {
  size_t queueFile = 0;
  size_t countersFile = 0;
  std::string sealedText;
};

WrittenSizes SizesOf(const std::string& aRoot, const kRTSManager& aManager) {
  WrittenSizes sizes;
  const std::string till = aRoot + "/" + kTill;
  const std::vector<std::string> queued = aManager.GetQueuedFiles();
  if (queued.empty()) return sizes;
  sizes.sealedText = ReadFileBytes(queued.front());
  sizes.queueFile = sizes.sealedText.size();
  sizes.countersFile = ReadFileBytes(till + "/QX_counters.actual.srtc").size();
  return sizes;
}

// One durable replacement of the floor: a new queue file, the counters file
// replaced, the digest of the queue text.
class DurableFloor {
 public:
  DurableFloor(const std::string& aRoot, const WrittenSizes& aSizes)
      : fRoot(aRoot),
        fQueueDir(aRoot + "/Queue"),
        fQueueText(aSizes.sealedText),
        fCounters(aSizes.countersFile, 'c') {
    ForceDirectories(fQueueDir);
  }

  bool Run() {
    // A new queue file each time, as every receipt has its own.
    const std::string queueFile = fQueueDir + "/q" + std::to_string(++fNumber);
    benchmark::DoNotOptimize(Sha256Hex(fQueueText));
    return ReplaceDurably(queueFile, fQueueDir, fQueueText) &&
           ReplaceDurably(fRoot + "/counters", fRoot, fCounters);
  }

 private:
  std::string fRoot;
  std::string fQueueDir;
  std::string fQueueText;
  std::string fCounters;
  int64_t fNumber = 0;
};

double SecondsSince(std::chrono::steady_clock::time_point aStart) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - aStart).count();
}

// Signing and its floor alternate, one operation each per iteration, so that
// both meet the same disk: other work on a shared machine makes flushes
// slower or faster from one second to the next. The counters "figure" and
// "floor" are the mean seconds of one signing and of one floor operation.
void BM_SignDurable(benchmark::State& aState) {
  const std::string root = FreshDir("durable");
  std::unique_ptr<kRTSManager> manager = OpenDay(root + "/store");
  if (manager == nullptr || !manager->ProcessReceipt(WorkedReceipt())) {
    aState.SkipWithError("the day did not open");
    return;
  }
  DurableFloor floor(root + "/floor", SizesOf(root + "/store", *manager));
  const std::string host = WorkedReceipt();
  SyncFileSystem(root);
  double figureSeconds = 0;
  double floorSeconds = 0;
  bool figureFirst = true;
  for (auto _ : aState) {
    for (int step = 0; step < 2; ++step) {
      const auto start = std::chrono::steady_clock::now();
      if ((step == 0) == figureFirst) {
        if (!manager->ProcessReceipt(host)) aState.SkipWithError("the receipt was refused");
        figureSeconds += SecondsSince(start);
      } else {
        if (!floor.Run()) aState.SkipWithError("a durable write failed");
        floorSeconds += SecondsSince(start);
      }
    }
    figureFirst = !figureFirst;
  }
  const double iterations = static_cast<double>(aState.iterations());
  aState.counters["figure"] = figureSeconds / iterations;
  aState.counters["floor"] = floorSeconds / iterations;
  manager.reset();
  RemoveTree(root);
}
BENCHMARK(BM_SignDurable)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Closes the day and opens the next one, with the server gone as it is once
// OpenDay has returned: a day holds at most 9998 receipts.
bool StartNextDay(kRTSManager& aManager) {
  constexpr int32_t kRefusingPort = 9;  // nothing listens there
  // The VAT map read at the first opening stays with the manager.
  return aManager.DayClose() &&
         aManager.DayOpen("", "http://127.0.0.1", kRefusingPort, "", "", kTill);
}

// Signs |aCount| receipts, deleting the queued files every thousand (nobody
// delivers them) so the memory file system does not fill, and closing the
// day before its receipt numbers run out.
bool SignMany(kRTSManager& aManager, const std::string& aHost, int aCount) {
  for (int i = 0; i < aCount; ++i) {
    if (aManager.ActualCounters().CurrentnRec() + 1 >= kRTSClosureNumber &&
        !StartNextDay(aManager)) {
      return false;
    }
    if (!aManager.ProcessReceipt(aHost)) return false;
    if (i % 1000 == 999) {
      for (const std::string& path : aManager.GetQueuedFiles()) ::unlink(path.c_str());
    }
  }
  return true;
}

void BM_MemoryGrowth(benchmark::State& aState) {
  const std::string root = FreshMemoryDir("memory");
  std::unique_ptr<kRTSManager> manager = OpenDay(root);
  if (manager == nullptr) {
    aState.SkipWithError("the day did not open");
    return;
  }
  const std::string host = WorkedReceipt();
  int64_t growth = 0;
  for (auto _ : aState) {
    if (!SignMany(*manager, host, 1000)) aState.SkipWithError("a receipt was refused");
    const int64_t before = ResidentBytes();
    if (!SignMany(*manager, host, 100000)) aState.SkipWithError("a receipt was refused");
    growth = ResidentBytes() - before;
  }
  aState.counters["rss_growth"] = static_cast<double>(growth);
  manager.reset();
  RemoveTree(root);
}
BENCHMARK(BM_MemoryGrowth)->Iterations(1)->Repetitions(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace
}  // namespace qx::bench
