// Cost of the queue pusher's scan: listing a queue directory of 1,000 and of
// 10,000 receipt files and putting them in sending order. The files stay in
// place, so every iteration scans the same directory. Their modification
// times lie a second apart in the order of their names, as a day's receipts
// written one after the other do.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

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

void BM_ScanQueue(benchmark::State& aState) {
  const int count = static_cast<int>(aState.range(0));
  const std::string& dir = QueueOf(count);
  for (auto _ : aState) {
    const auto paths = QueueFilesInSendingOrder(dir);
    if (static_cast<int>(paths.size()) != count) aState.SkipWithError("wrong file count");
    benchmark::DoNotOptimize(paths.data());
  }
}
BENCHMARK(BM_ScanQueue)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qx::bench
