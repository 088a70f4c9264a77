// Loading the driver library with dlopen and resolving its exports, the OLE
// string functions included: on this system the library exports its own.
#include <dlfcn.h>

#include "platform/error.h"
#include "tools/qxtill/qxtill.h"

namespace qx::qxtill {
namespace {

template <typename Function>
void Resolve(void* aHandle, const char* aName, Function& aTarget) {
  void* symbol = dlsym(aHandle, aName);
  if (symbol == nullptr) {
    throw Error(std::string("Export ") + aName + " not found in the driver library");
  }
  aTarget = reinterpret_cast<Function>(symbol);
}

}  // namespace

const char* LibraryFileName() { return "QXRS_VURUV90_20.so"; }

std::string InstalledLibraryName() { return QX_LIBRARY_SONAME; }

DriverLibrary LoadDriverLibrary(const std::string& aPath) {
  DriverLibrary library;
  library.handle = dlopen(aPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library.handle == nullptr) {
    const char* reason = dlerror();
    throw Error("Cannot load " + aPath + ": " + (reason ? reason : "unknown error"));
  }
  try {
    Resolve(library.handle, "OPENTILL", library.OpenTill);
    Resolve(library.handle, "SIGNRECEIPT", library.SignReceipt);
    Resolve(library.handle, "CLOSETILL", library.CloseTill);
    Resolve(library.handle, "XREPORT", library.XReport);
    Resolve(library.handle, "SysAllocStringLen", library.SysAllocStringLen);
    Resolve(library.handle, "SysFreeString", library.SysFreeString);
    Resolve(library.handle, "SysStringLen", library.SysStringLen);
  } catch (...) {
    dlclose(library.handle);
    throw;
  }
  return library;
}

void UnloadDriverLibrary(DriverLibrary& aLibrary) {
  if (aLibrary.handle != nullptr) dlclose(aLibrary.handle);
  aLibrary = DriverLibrary();
}

}  // namespace qx::qxtill
