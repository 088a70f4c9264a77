// Cost of the queue pusher's scan: listing a queue directory of 10,000 and of
// 1,000 receipt files and putting them in sending order. The files stay in
// place, so every iteration scans the same directory. Their modification
// times lie a second apart in the order of their names, as a day's receipts
// written one after the other do.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <map>
#include <string>

#include "bench/bench_support.h"
#include "manager/uRTServerManager_Pusher.h"
#include "platform/strings.h"

namespace qx::bench {
namespace {

// A queue directory holding |aCount| receipt files, made once per size.
const std::string& QueueOf(int aCount) {
  static std::map<int, std::string> made;
  auto it = made.find(aCount);
  if (it != made.end()) return it->second;
  const std::string dir = FreshDir("scan-" + std::to_string(aCount));
  const std::string body(1600, 'x');  // about the size of a queued receipt
  const time_t start = ::time(nullptr) - aCount - 60;
  for (int i = 1; i <= aCount; ++i) {
    const std::string path = dir + "/T01-0001-" + FormatNumber0000(i) + ".srtd";
    WritePlainFile(path, body);
    const struct timespec times[2] = {{start + i, 0}, {start + i, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
  }
  SyncFileSystem(dir);
  return made.emplace(aCount, dir).first->second;
}

// Seconds one scan of |aDir| into |aQueue| takes, as the pusher scans into
// its queue; negative when it missed a file.
double TimedScan(const std::string& aDir, int aCount, SendingQueue& aQueue) {
  const auto start = std::chrono::steady_clock::now();
  aQueue.Scan(aDir);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  benchmark::DoNotOptimize(aQueue.Size());
  return static_cast<int>(aQueue.Size()) == aCount ? seconds : -1;
}

// Each iteration scans the queue of 10,000 files and the queue of 1,000, in
// alternating order, so both meet the machine and its caches in the same
// state, as the pusher meets a queue: one scan per pass, not hundreds in a
// row. Each size has its queue, scanned again and again like the pusher's.
// The counters "figure" and "floor" are the mean seconds of each.
void BM_ScanQueue(benchmark::State& aState) {
  const std::string& large = QueueOf(10000);
  const std::string& small = QueueOf(1000);
  double figure = 0;
  double floor = 0;
  bool largeFirst = true;
  SendingQueue largeQueue;
  SendingQueue smallQueue;
  for (auto _ : aState) {
    for (int step = 0; step < 2; ++step) {
      const bool large_turn = (step == 0) == largeFirst;
      const double seconds =
          large_turn ? TimedScan(large, 10000, largeQueue) : TimedScan(small, 1000, smallQueue);
      if (seconds < 0) aState.SkipWithError("wrong file count");
      (large_turn ? figure : floor) += seconds;
    }
    largeFirst = !largeFirst;
  }
  aState.counters["figure"] = figure / static_cast<double>(aState.iterations());
  aState.counters["floor"] = floor / static_cast<double>(aState.iterations());
}
BENCHMARK(BM_ScanQueue)->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qx::bench
