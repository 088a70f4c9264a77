// The host process as Windows shows it, single-instance mode as a named
// mutex, and what the unload step may do under the loader lock.
#include "platform/process.h"

// clang-format off
#include <windows.h>  // first: the other system headers need its types
#include <shellapi.h>
// clang-format on

#include "platform/win/wide.h"

namespace qx {

std::string ExecutablePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return std::string();
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  // The library joins and splits paths at '/', which Windows takes as well.
  std::string text = win::Narrow(path);
  for (char& c : text) {
    if (c == '\\') c = '/';
  }
  return text;
}

std::vector<std::string> ProgramArguments() {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  if (words == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(win::Narrow(words[i]));
  LocalFree(words);
  return arguments;
}

// A mutex in the session's namespace: one host instance per logged-on user.
std::string InstanceClaimName(const std::string& baseName) {
  return "Local\\" + baseName + ".instance";
}

intptr_t ClaimInstance(const std::string& name) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, win::Wide(name).c_str());
  if (mutex == nullptr) return kNoInstanceClaim;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return kNoInstanceClaim;
  }
  return reinterpret_cast<intptr_t>(mutex);
}

void ReleaseInstance(intptr_t claim) {
  if (claim == kNoInstanceClaim) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(claim);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

// The process environment as it is now, not the C runtime's copy taken at
// start: a host that sets a value with SetEnvironmentVariableW (as .NET does)
// after it started is obeyed.
std::string EnvironmentText(const char* name) {
  const std::wstring wideName = win::Wide(name);
  std::wstring value(256, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD length =
        GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return std::string();
    if (length < value.size()) {
      value.resize(length);
      return win::Narrow(value);
    }
    value.resize(length);  // too small: |length| counts the terminating null
  }
}

std::string SystemDataRoot() { return "C:\\QX_SRT_DB"; }

// The unload step runs inside DllMain, under the loader lock, which a thread
// needs to end: waiting there for one never returns.
bool UnloadMayWaitForThreads() { return false; }

}  // namespace qx
