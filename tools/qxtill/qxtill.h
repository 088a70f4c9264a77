// qxtill: a host program for integrators and support staff. It loads the
// driver library (dlopen, LoadLibraryW) exactly as a point-of-sale host does, and runs
// a sequence of steps (open, sign, xreport, close, wait-queue, ...) in one
// process, printing what every call returned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::qxtill {

// The entry points' calling convention: stdcall on Windows (where x86-64 has
// only one convention and ignores it), the default elsewhere.
#if defined(_WIN32)
#define QXTILL_ENTRY __stdcall
#else
#define QXTILL_ENTRY
#endif

// The library's exports, resolved by name, and the OLE string functions that
// go with its strings (its own exports, or oleaut32's on Windows).
struct DriverLibrary {
  using BSTR = char16_t*;
  void* handle = nullptr;
  int32_t(QXTILL_ENTRY* OpenTill)(BSTR, int32_t, BSTR, BSTR, BSTR, BSTR*) = nullptr;
  int32_t(QXTILL_ENTRY* SignReceipt)(BSTR, BSTR*, BSTR*) = nullptr;
  int32_t(QXTILL_ENTRY* CloseTill)(BSTR*, BSTR*) = nullptr;
  int32_t(QXTILL_ENTRY* XReport)(BSTR*, BSTR*) = nullptr;
  BSTR (*SysAllocStringLen)(const char16_t*, unsigned int) = nullptr;
  void (*SysFreeString)(BSTR) = nullptr;
  unsigned int (*SysStringLen)(BSTR) = nullptr;
};

// The driver library's file name on this system.
const char* LibraryFileName();
// Loads the library at |aPath| and resolves every export. Raises qx::Error
// with the system's reason when the file or an export is missing.
DriverLibrary LoadDriverLibrary(const std::string& aPath);
// Unloads it; the library stops its threads on the way out.
void UnloadDriverLibrary(DriverLibrary& aLibrary);
// The name the system's loader finds the installed library by (its SONAME),
// or empty where the library is only ever found beside the program.
std::string InstalledLibraryName();
// LibraryFileName() in the directory of this program when it is there (a
// build tree), else InstalledLibraryName() (the packages' layout).
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
// the system's (/var/lib/QX_SRT_DB, C:\QX_SRT_DB).
std::string DataRoot();

}  // namespace qx::qxtill
