// The counters file reader: the input is written as a counters file and
// loaded. Load must return true or false, or raise qx::Error for text that is
// not XML; nothing else. A file that loads must save and load again to the
// same values (what the till resumes from after a restart).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "manager/uRTServerManager_Counters.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

void Require(bool aCondition, const char* aWhat) {
  if (aCondition) return;
  std::fprintf(stderr, "invariant broken: %s\n", aWhat);
  std::abort();
}

// The scratch directory, made once and removed when the fuzzer exits.
char gDirectory[64];

void RemoveDirectory() {
  std::remove((std::string(gDirectory) + "/QX_counters.actual.srtc").c_str());
  rmdir(gDirectory);
}

std::string Directory() {
  if (gDirectory[0] == 0) {
    // Memory-backed when possible: every save syncs, which a disk makes slow.
    const bool shm = access("/dev/shm", W_OK) == 0;
    std::snprintf(gDirectory, sizeof gDirectory, "%s/qx_fuzz_counters_XXXXXX",
                  shm ? "/dev/shm" : "/tmp");
    Require(mkdtemp(gDirectory) != nullptr, "a scratch directory");
    std::atexit(RemoveDirectory);
  }
  return gDirectory;
}

bool SameValues(const qx::kRTSCounters& a, const qx::kRTSCounters& b) {
  return a.DataSource() == b.DataSource() && a.ServerSerialNumber() == b.ServerSerialNumber() &&
         a.TillSerialNumber() == b.TillSerialNumber() &&
         a.FirstFingerPrint() == b.FirstFingerPrint() &&
         a.LastFingerPrint() == b.LastFingerPrint() && a.CurrentnRec() == b.CurrentnRec() &&
         a.CurrentzRep() == b.CurrentzRep() && a.DailyTotal() == b.DailyTotal() &&
         a.DailySales() == b.DailySales() && a.DailyRefunds() == b.DailyRefunds() &&
         a.DailyVoids() == b.DailyVoids();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string file = Directory() + "/QX_counters.actual.srtc";
  qx::WriteFileAtomic(file, std::string_view(reinterpret_cast<const char*>(aData), aSize));

  qx::kRTSCounters counters;
  bool loaded = false;
  try {
    loaded = counters.Load(file);
  } catch (const qx::Error&) {
    return 0;
  }
  Require(counters.FullFileName() == file, "Load remembers the file name");
  if (!loaded) {
    Require(counters.CurrentnRec() == 0 && counters.LastFingerPrint().empty(),
            "a failed load clears the counters");
    return 0;
  }
  // Amounts keep four decimals in memory but the file holds two, so compare
  // after one save: the second load must give exactly what the first save wrote.
  counters.Save();
  qx::kRTSCounters first;
  Require(first.Load(file), "saved counters load");
  first.Save();
  qx::kRTSCounters second;
  Require(second.Load(file), "saved counters load again");
  Require(SameValues(first, second), "counters survive a save and a load");
  return 0;
}
