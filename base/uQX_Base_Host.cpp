// The host process as the library sees it (its executable and arguments as
// the system tells them) and the text helpers that read them.
#include "base/uQX_Base.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/strings.h"

namespace qx {

tQX_HostProcess tQX_HostProcess::Current() { return {ExecutablePath(), ProgramArguments()}; }

std::string tQX_HostProcess::Directory() const {
  const size_t slash = executable.rfind('/');
  return slash == std::string::npos ? std::string() : executable.substr(0, slash + 1);
}

std::string tQX_HostProcess::BaseName() const {
  std::string name = ExtractFileName(executable);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

std::string GetAppDirectory() { return tQX_HostProcess{ExecutablePath(), {}}.Directory(); }

std::string GetAppBaseName() { return tQX_HostProcess{ExecutablePath(), {}}.BaseName(); }

std::string FindCommandLineSwitch(std::string_view name, bool whole) {
  return FindCommandLineSwitch(ProgramArguments(), name, whole);
}

std::string FindCommandLineSwitch(const std::vector<std::string>& arguments, std::string_view name,
                                  bool whole) {
  const std::string wanted = ToLowerAscii(name);
  for (const std::string& argument : arguments) {
    const std::string lower = ToLowerAscii(argument);
    if (lower == wanted || StartsWith(lower, wanted + ":") || StartsWith(lower, wanted + "=")) {
      if (whole) return argument;
      return argument.size() > name.size() ? argument.substr(name.size() + 1) : std::string();
    }
  }
  return std::string();
}

std::string GetField(std::string_view text, int index, char separator, bool toEnd) {
  if (index < 1) return std::string();
  size_t start = 0;
  for (int field = 1; field < index; ++field) {
    const size_t next = text.find(separator, start);
    if (next == std::string_view::npos) return std::string();
    start = next + 1;
  }
  if (toEnd) return std::string(text.substr(start));
  const size_t end = text.find(separator, start);
  return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

}  // namespace qx
