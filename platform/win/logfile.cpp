// Appending to a log file through the Windows file API. Opening for writing
// with read sharing only is the exclusive lock: a second writer's open fails
// until the first has closed, readers are not hindered.
#include "platform/logfile.h"

#include <windows.h>

#include "platform/win/wide.h"

namespace qx {

int64_t LogFileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(win::WidePath(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) |
                              data.nFileSizeLow);
}

bool AppendLogLine(const std::string& fileName, std::string_view line) {
  win::Handle file(CreateFileW(win::WidePath(fileName).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  LARGE_INTEGER before{};
  bool ok = SetFilePointerEx(file.get(), LARGE_INTEGER{}, &before, FILE_END) != 0;
  if (ok) {
    std::string bytes;
    bytes.reserve(line.size() + 2);
    bytes.append(line).append("\r\n");
    DWORD written = 0;
    ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
    if (!ok && SetFilePointerEx(file.get(), before, nullptr, FILE_BEGIN)) {
      SetEndOfFile(file.get());
    }
  }
  if (!file.Close()) ok = false;
  return ok;
}

}  // namespace qx
