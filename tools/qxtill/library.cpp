// Loading the driver library and resolving its exports.
#include <dlfcn.h>

#include <filesystem>

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

std::string DefaultLibraryPath() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "QXRS_VURUV90_20.so";
  const std::filesystem::path beside = self.parent_path() / "QXRS_VURUV90_20.so";
  // Installed from the package, the program lies in bin/ and the library in lib/.
  const std::filesystem::path installed =
      self.parent_path().parent_path() / "lib" / "QXRS_VURUV90_20.so";
  if (!std::filesystem::exists(beside, error) && std::filesystem::exists(installed, error))
    return installed.string();
  return beside.string();
}

DriverLibrary& Library(Session& aSession) {
  if (aSession.library.handle == nullptr) {
    aSession.library = LoadDriverLibrary(aSession.libraryPath);
  }
  return aSession.library;
}

std::string DataRoot() {
  const char* root = std::getenv("QX_SRT_DB");
  return (root != nullptr && *root != '\0') ? root : "/var/lib/QX_SRT_DB";
}

}  // namespace qx::qxtill
