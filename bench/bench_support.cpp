// Shared pieces of the benchmarks.
#include "bench/bench_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/error.h"
#include "platform/files.h"

namespace qx::bench {

namespace fs = std::filesystem;

std::string VATMapText() {
  return ReadFileBytes(std::string(QX_SOURCE_DIR) + "/tests/data/vat_map.xml");
}

const std::string& ScratchDir() {
  static const std::string dir = [] {
    const char* chosen = std::getenv("QX_BENCH_DIR");
    std::string path = chosen != nullptr && *chosen != '\0'
                           ? std::string(chosen)
                           : std::string(QX_BINARY_DIR) + "/bench-data";
    fs::create_directories(path);
    return fs::absolute(path).string();
  }();
  return dir;
}

void RemoveTree(const std::string& aPath) {
  std::error_code ignored;
  fs::remove_all(aPath, ignored);
}

std::string FreshDir(const std::string& aName) {
  const std::string path = ScratchDir() + "/" + aName;
  RemoveTree(path);
  fs::create_directories(path);
  return path;
}

namespace {
std::string MemoryRoot() { return "/dev/shm/qx-bench-" + std::to_string(::getpid()); }
}  // namespace

std::string FreshMemoryDir(const std::string& aName) {
  if (!fs::is_directory("/dev/shm")) return FreshDir(aName);
  const std::string path = MemoryRoot() + "/" + aName;
  RemoveTree(path);
  fs::create_directories(path);
  return path;
}

void RemoveMemoryDirs() { RemoveTree(MemoryRoot()); }

std::string WorkedReceipt() {
  return ReadFileBytes(std::string(QX_SOURCE_DIR) + "/tests/data/worked_receipt.xml");
}

std::string HostReceipt(int aLines) {
  static const char* const kVATs[] = {"1", "2", "3", "0"};
  std::string text = "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\"/>";
  for (int i = 0; i < aLines; ++i) {
    const std::string vat = kVATs[i % 4];
    if (i % 10 == 9) {
      text +=
          "<printRecItemAdjustment operator=\"1\" description=\"DISCOUNT\" "
          "adjustmentType=\"0\" amount=\"0.10\" justification=\"1\"/>";
    } else if (i % 15 == 14) {
      text +=
          "<printRecItemVoid operator=\"1\" description=\"VOID\" quantity=\"1\" "
          "unitPrice=\"0.50\" vatID=\"" +
          vat + "\" justification=\"1\"/>";
    } else if (i % 20 == 19) {
      text += "<printRecMessage operator=\"1\" messageType=\"4\" message=\"MESSAGE\"/>";
    } else {
      text += "<printRecItem operator=\"1\" description=\"ITEM " + std::to_string(i) +
              "\" quantity=\"" + (i % 3 == 0 ? "0.5" : "2") + "\" unitPrice=\"" +
              std::to_string(1 + i % 7) + ".35\" department=\"" + vat + "\" vatID=\"" + vat +
              "\" justification=\"1\"/>";
    }
  }
  text +=
      "<printRecSubtotalAdjustment operator=\"1\" description=\"RECEIPT DISCOUNT\" "
      "adjustmentType=\"1\" amount=\"1.25\" justification=\"1\"/>"
      "<printRecTotal operator=\"1\" description=\"CARD\" payment=\"50.00\" "
      "paymentType=\"2\" index=\"1\"/>"
      "<printRecTotal operator=\"1\" description=\"CASH\" payment=\"100000.00\" "
      "paymentType=\"0\" index=\"0\"/>"
      "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>";
  return text;
}

void WritePlainFile(const std::string& aPath, std::string_view aBytes) {
  std::ofstream out(aPath, std::ios::binary | std::ios::trunc);
  out.write(aBytes.data(), static_cast<std::streamsize>(aBytes.size()));
  if (!out.flush()) throw Error("Cannot write fixture file \"" + aPath + "\"");
}

void SyncFileSystem(const std::string& aPath) {
  const int fd = ::open(aPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::syncfs(fd);
  ::close(fd);
}

int64_t ResidentBytes() {
  // The second field of statm: resident pages.
  std::ifstream statm("/proc/self/statm");
  int64_t size = 0;
  int64_t resident = 0;
  statm >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

}  // namespace qx::bench
