// Shared pieces of the benchmarks: the scratch directory they work in, the
// receipts they sign, fixture files written without the cost of durability,
// and the process's resident memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx::bench {

// The VAT map the receipts are converted with: departments 1 to 3 at 22, 10
// and 4 percent and the exempt department 0.
std::string VATMapText();

// The scratch directory on the disk under test: QX_BENCH_DIR when set, else
// "bench-data" in the build directory. Created on first use.
const std::string& ScratchDir();
// ScratchDir() joined with |aName|, emptied and created afresh.
std::string FreshDir(const std::string& aName);
// A directory on a memory file system (below /dev/shm) when there is one,
// emptied and created afresh; else FreshDir(aName).
std::string FreshMemoryDir(const std::string& aName);
// Removes every directory FreshMemoryDir made.
void RemoveMemoryDirs();
void RemoveTree(const std::string& aPath);

// The worked receipt of the test data.
std::string WorkedReceipt();
// A host receipt of |aLines| sales lines over four VAT departments: items,
// an item discount every tenth line, a void every fifteenth, a message every
// twentieth, then a receipt discount and two payments.
std::string HostReceipt(int aLines);

// Writes a fixture file plainly (no flush to disk).
void WritePlainFile(const std::string& aPath, std::string_view aBytes);
// Flushes the whole file system holding |aPath|, so fixture data written
// plainly does not burden the durable writes that are timed afterwards.
void SyncFileSystem(const std::string& aPath);

// Resident set size of this process in bytes.
int64_t ResidentBytes();

}  // namespace qx::bench
