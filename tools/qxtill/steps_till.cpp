// The steps that call the driver's entry points: open, sign, xreport, close.
// Each prints the call's result code, error text and result document.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "tools/qxtill/qxtill.h"

namespace qx::qxtill {
namespace {

using BSTR = DriverLibrary::BSTR;

// A BSTR allocated by the driver library (input) or returned by it (output),
// released through the library's own SysFreeString.
class LibraryString {
 public:
  explicit LibraryString(const DriverLibrary& aLibrary) : library_(aLibrary) {}
  LibraryString(const DriverLibrary& aLibrary, const std::string& aText) : library_(aLibrary) {
    const std::u16string wide = Utf8ToUtf16(aText);
    value_ = library_.SysAllocStringLen(wide.data(), static_cast<unsigned int>(wide.size()));
    if (value_ == nullptr) throw Error("Out of memory");
  }
  LibraryString(const LibraryString&) = delete;
  LibraryString& operator=(const LibraryString&) = delete;
  ~LibraryString() { library_.SysFreeString(value_); }

  BSTR Get() const { return value_; }
  BSTR* Out() { return &value_; }
  // The text, or "(null)" for a null string.
  std::string Describe() const {
    if (value_ == nullptr) return "(null)";
    return Utf16ToUtf8(std::u16string_view(value_, library_.SysStringLen(value_)));
  }

 private:
  const DriverLibrary& library_;
  BSTR value_ = nullptr;
};

void PrintCall(const std::string& aCall, int32_t aCode, const LibraryString& aError,
               const LibraryString* aResult) {
  std::printf("%s -> %d\n", aCall.c_str(), static_cast<int>(aCode));
  std::printf("  error: %s\n", aError.Describe().c_str());
  if (aResult != nullptr) std::printf("  result: %s\n", aResult->Describe().c_str());
  std::fflush(stdout);
}

// A receipt file as the host text: UTF-8, a byte-order mark dropped.
std::string ReadReceiptFile(const std::string& aPath) {
  std::string text = ReadFileBytes(aPath);
  if (StartsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);
  return text;
}

// Result and error of the entry points that take no input.
bool CallReport(Session& aSession, const char* aName, int32_t(QXTILL_ENTRY* aCall)(BSTR*, BSTR*)) {
  const DriverLibrary& library = Library(aSession);
  LibraryString result(library), error(library);
  const int32_t code = aCall(result.Out(), error.Out());
  PrintCall(aName, code, error, &result);
  return code == 0;
}

}  // namespace

bool StepOpen(Session& aSession, const std::vector<std::string>& aArgs) {
  int32_t port = 0;
  if (!TryStrToInt(aArgs[1], port)) {
    std::fprintf(stderr, "qxtill: open: '%s' is not a port number\n", aArgs[1].c_str());
    return false;
  }
  const DriverLibrary& library = Library(aSession);
  LibraryString address(library, aArgs[0]), user(library, aArgs[2]), password(library, aArgs[3]),
      tillId(library, aArgs[4]), error(library);
  const int32_t code =
      library.OpenTill(address.Get(), port, user.Get(), password.Get(), tillId.Get(), error.Out());
  aSession.tillId = aArgs[4];
  PrintCall("OPENTILL " + aArgs[4], code, error, nullptr);
  return code == 0;
}

bool StepSign(Session& aSession, const std::vector<std::string>& aArgs) {
  const DriverLibrary& library = Library(aSession);
  for (const std::string& path : aArgs) {
    LibraryString receipt(library, ReadReceiptFile(path)), result(library), error(library);
    const int32_t code = library.SignReceipt(receipt.Get(), result.Out(), error.Out());
    PrintCall("SIGNRECEIPT " + path, code, error, &result);
    if (code != 0) return false;
  }
  return true;
}

bool StepXReport(Session& aSession, const std::vector<std::string>&) {
  return CallReport(aSession, "XREPORT", Library(aSession).XReport);
}

bool StepClose(Session& aSession, const std::vector<std::string>&) {
  return CallReport(aSession, "CLOSETILL", Library(aSession).CloseTill);
}

}  // namespace qx::qxtill
