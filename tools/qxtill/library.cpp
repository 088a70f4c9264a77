// Where the driver library and the data store are found; the loading itself
// is system-specific (posix/library.cpp, win/library.cpp).
#include "platform/files.h"
#include "platform/process.h"
#include "tools/qxtill/qxtill.h"

namespace qx::qxtill {

std::string DefaultLibraryPath() {
  const std::string self = ExecutablePath();
  const size_t slash = self.rfind('/');
  if (slash == std::string::npos) return LibraryFileName();
  const std::string dir = self.substr(0, slash);
  const std::string beside = JoinPath(dir, LibraryFileName());
  if (FileExists(beside)) return beside;
  // Installed from the packages, the program lies in bin/ and the library
  // where the system's loader finds it by name.
  const std::string installed = InstalledLibraryName();
  return installed.empty() ? beside : installed;
}

DriverLibrary& Library(Session& aSession) {
  if (aSession.library.handle == nullptr) {
    aSession.library = LoadDriverLibrary(aSession.libraryPath);
  }
  return aSession.library;
}

std::string DataRoot() {
  const std::string root = EnvironmentText("QX_SRT_DB");
  return root.empty() ? SystemDataRoot() : root;
}

}  // namespace qx::qxtill
