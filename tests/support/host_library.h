// The driver library loaded as a host loads it: dlopen of the built
// QXRS_VURUV90_20.so, calls through its exports, every returned string
// converted and released with the library's SysFreeString. Unloading it
// (destructor) runs the library's unload hook, so one test process can load a
// fresh library several times.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qx::test {

// What one entry point call returned; a null string is nullopt.
struct HostCall {
  int32_t code = 0;
  std::optional<std::string> error;
  std::optional<std::string> result;
};

class HostLibrary {
 public:
  using BSTR = char16_t*;

  // Loads QX_BINARY_DIR/QXRS_VURUV90_20.so; raises qx::Error when it cannot.
  HostLibrary();
  explicit HostLibrary(const std::string& aPath);
  ~HostLibrary();
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  HostCall Open(const std::string& aAddress, int32_t aPort, const std::string& aUser,
                const std::string& aPassword, const std::string& aTillId);
  HostCall Sign(const std::string& aXmlReceipt);
  HostCall Close();
  HostCall XReport();

  // The raw exports, for calls the helpers above do not make.
  int32_t (*OPENTILL)(BSTR, int32_t, BSTR, BSTR, BSTR, BSTR*) = nullptr;
  int32_t (*SIGNRECEIPT)(BSTR, BSTR*, BSTR*) = nullptr;
  int32_t (*CLOSETILL)(BSTR*, BSTR*) = nullptr;
  int32_t (*XREPORT)(BSTR*, BSTR*) = nullptr;
  BSTR (*SysAllocString)(const char16_t*) = nullptr;
  BSTR (*SysAllocStringLen)(const char16_t*, unsigned int) = nullptr;
  void (*SysFreeString)(BSTR) = nullptr;
  unsigned int (*SysStringLen)(BSTR) = nullptr;
  unsigned int (*SysStringByteLen)(BSTR) = nullptr;

  // A new string owned by the caller, allocated by the library.
  BSTR Alloc(const std::string& aText);
  // The text of |aString| (nullopt for null), which is then released.
  std::optional<std::string> Take(BSTR aString);

 private:
  void* handle_ = nullptr;
};

// The built library's path.
std::string BuiltLibraryPath();

}  // namespace qx::test
