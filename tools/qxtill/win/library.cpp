// Loading the driver DLL with LoadLibraryW and resolving its four exports by
// name, as a Windows host does. The strings it takes and returns are
// oleaut32's, so they are made and released with oleaut32's functions.
#include <windows.h>
// After windows.h, which it needs.
#include <oleauto.h>

#include "platform/error.h"
#include "platform/strings.h"
#include "platform/win/wide.h"
#include "tools/qxtill/qxtill.h"

namespace qx::qxtill {
namespace {

using BSTR = DriverLibrary::BSTR;

// OLECHAR is a 16-bit wchar_t here, the same units as char16_t.
BSTR AllocString(const char16_t* aText, unsigned int aLength) {
  return reinterpret_cast<BSTR>(
      ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(aText), aLength));
}
void FreeString(BSTR aString) { ::SysFreeString(reinterpret_cast<::BSTR>(aString)); }
unsigned int StringLength(BSTR aString) {
  return ::SysStringLen(reinterpret_cast<::BSTR>(aString));
}

template <typename Function>
void Resolve(HMODULE aModule, const char* aName, Function& aTarget) {
  const FARPROC symbol = GetProcAddress(aModule, aName);
  if (symbol == nullptr) {
    throw Error(std::string("Export ") + aName + " not found in the driver library");
  }
  aTarget = reinterpret_cast<Function>(reinterpret_cast<void*>(symbol));
}

}  // namespace

const char* LibraryFileName() { return "QXRS_VURUV90_20.dll"; }

std::string InstalledLibraryName() { return std::string(); }

DriverLibrary LoadDriverLibrary(const std::string& aPath) {
  const HMODULE module = LoadLibraryW(win::Wide(aPath).c_str());
  if (module == nullptr) {
    throw Error("Cannot load " + aPath + ": " + win::SystemErrorText(GetLastError()));
  }
  DriverLibrary library;
  library.handle = module;
  try {
    Resolve(module, "OPENTILL", library.OpenTill);
    Resolve(module, "SIGNRECEIPT", library.SignReceipt);
    Resolve(module, "CLOSETILL", library.CloseTill);
    Resolve(module, "XREPORT", library.XReport);
  } catch (...) {
    FreeLibrary(module);
    throw;
  }
  library.SysAllocStringLen = AllocString;
  library.SysFreeString = FreeString;
  library.SysStringLen = StringLength;
  return library;
}

void UnloadDriverLibrary(DriverLibrary& aLibrary) {
  if (aLibrary.handle != nullptr) FreeLibrary(static_cast<HMODULE>(aLibrary.handle));
  aLibrary = DriverLibrary();
}

}  // namespace qx::qxtill
