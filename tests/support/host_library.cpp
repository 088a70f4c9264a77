// Loading the built driver library for end-to-end tests.
#include "support/host_library.h"

#include <dlfcn.h>

#include "platform/error.h"
#include "platform/strings.h"

namespace qx::test {
namespace {

template <typename Function>
void Resolve(void* aHandle, const char* aName, Function& aTarget) {
  void* symbol = dlsym(aHandle, aName);
  if (symbol == nullptr) throw Error(std::string("missing export ") + aName);
  aTarget = reinterpret_cast<Function>(symbol);
}

}  // namespace

std::string BuiltLibraryPath() { return std::string(QX_BINARY_DIR) + "/QXRS_VURUV90_20.so"; }

HostLibrary::HostLibrary() : HostLibrary(BuiltLibraryPath()) {}

HostLibrary::HostLibrary(const std::string& aPath) {
  handle_ = dlopen(aPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw Error(std::string("dlopen: ") + dlerror());
  Resolve(handle_, "OPENTILL", OPENTILL);
  Resolve(handle_, "SIGNRECEIPT", SIGNRECEIPT);
  Resolve(handle_, "CLOSETILL", CLOSETILL);
  Resolve(handle_, "XREPORT", XREPORT);
  Resolve(handle_, "SysAllocString", SysAllocString);
  Resolve(handle_, "SysAllocStringLen", SysAllocStringLen);
  Resolve(handle_, "SysFreeString", SysFreeString);
  Resolve(handle_, "SysStringLen", SysStringLen);
  Resolve(handle_, "SysStringByteLen", SysStringByteLen);
}

HostLibrary::~HostLibrary() {
  if (handle_ != nullptr) dlclose(handle_);
}

HostLibrary::BSTR HostLibrary::Alloc(const std::string& aText) {
  const std::u16string wide = Utf8ToUtf16(aText);
  return SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
}

std::optional<std::string> HostLibrary::Take(BSTR aString) {
  if (aString == nullptr) return std::nullopt;
  std::string text = Utf16ToUtf8(std::u16string_view(aString, SysStringLen(aString)));
  SysFreeString(aString);
  return text;
}

HostCall HostLibrary::Open(const std::string& aAddress, int32_t aPort, const std::string& aUser,
                           const std::string& aPassword, const std::string& aTillId) {
  BSTR address = Alloc(aAddress), user = Alloc(aUser), password = Alloc(aPassword),
       till = Alloc(aTillId), error = nullptr;
  HostCall call;
  call.code = OPENTILL(address, aPort, user, password, till, &error);
  call.error = Take(error);
  for (BSTR input : {address, user, password, till}) SysFreeString(input);
  return call;
}

HostCall HostLibrary::Sign(const std::string& aXmlReceipt) {
  BSTR receipt = Alloc(aXmlReceipt), result = nullptr, error = nullptr;
  HostCall call;
  call.code = SIGNRECEIPT(receipt, &result, &error);
  call.result = Take(result);
  call.error = Take(error);
  SysFreeString(receipt);
  return call;
}

HostCall HostLibrary::Close() {
  BSTR result = nullptr, error = nullptr;
  HostCall call;
  call.code = CLOSETILL(&result, &error);
  call.result = Take(result);
  call.error = Take(error);
  return call;
}

HostCall HostLibrary::XReport() {
  BSTR result = nullptr, error = nullptr;
  HostCall call;
  call.code = XREPORT(&result, &error);
  call.result = Take(result);
  call.error = Take(error);
  return call;
}

}  // namespace qx::test
