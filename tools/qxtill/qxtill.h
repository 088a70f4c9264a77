// qxtill: a host program for integrators and support staff. It loads the
// driver library with dlopen, exactly as a point-of-sale host does, and runs
// a sequence of steps (open, sign, xreport, close, wait-queue, ...) in one
// process, printing what every call returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::qxtill {

// The library's exports, resolved by name.
struct DriverLibrary {
  using BSTR = char16_t*;
  void* handle = nullptr;
  int32_t (*OpenTill)(BSTR, int32_t, BSTR, BSTR, BSTR, BSTR*) = nullptr;
  int32_t (*SignReceipt)(BSTR, BSTR*, BSTR*) = nullptr;
  int32_t (*CloseTill)(BSTR*, BSTR*) = nullptr;
  int32_t (*XReport)(BSTR*, BSTR*) = nullptr;
  BSTR (*SysAllocStringLen)(const char16_t*, unsigned int) = nullptr;
  void (*SysFreeString)(BSTR) = nullptr;
  unsigned int (*SysStringLen)(BSTR) = nullptr;
};

// Loads the library at |aPath| and resolves every export. Raises qx::Error
// with dlerror's text when the file or an export is missing.
DriverLibrary LoadDriverLibrary(const std::string& aPath);
// Unloads it; the library stops its threads on the way out.
void UnloadDriverLibrary(DriverLibrary& aLibrary);
// QXRS_VURUV90_20.so in the directory of this program, or in ../lib when only
// that one exists (the layout the package installs).
std::string DefaultLibraryPath();

// State carried from one step to the next within a run.
struct Session {
  std::string libraryPath;
  DriverLibrary library;  // loaded on first use
  std::string tillId;     // of the last open step
};

// A step gets its arguments and returns true when it succeeded; it prints
// what it did on standard output.
using StepFunction = bool (*)(Session& aSession, const std::vector<std::string>& aArgs);

// The driver's entry points as steps.
bool StepOpen(Session& aSession, const std::vector<std::string>& aArgs);
bool StepSign(Session& aSession, const std::vector<std::string>& aArgs);
bool StepXReport(Session& aSession, const std::vector<std::string>& aArgs);
bool StepClose(Session& aSession, const std::vector<std::string>& aArgs);
// Waits until the opened till's queue directory holds no document.
bool StepWaitQueue(Session& aSession, const std::vector<std::string>& aArgs);
// Verifies the stored chain of a till directory (no library needed).
bool StepVerify(Session& aSession, const std::vector<std::string>& aArgs);

// The driver library of the session, loading it on first use.
DriverLibrary& Library(Session& aSession);
// The data root the library uses: $QX_SRT_DB when set and non-empty, else
// /var/lib/QX_SRT_DB.
std::string DataRoot();

}  // namespace qx::qxtill
