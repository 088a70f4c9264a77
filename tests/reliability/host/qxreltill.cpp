// qxreltill: the test host of the reliability suites. It loads the driver
// library with dlopen, as a point-of-sale host does, and runs a list of till
// operations, printing one line per outcome as soon as the call returns, so
// that a test that kills it knows exactly what the host had been told:
//
//   qxreltill LIBRARY ADDRESS PORT TILL COMMAND...
//     open          OPENTILL        -> "open 0" | "open-failed <error>"
//     sign:N        N x SIGNRECEIPT -> "signed <zRep> <nDoc> <signature>" | "sign-failed <error>"
//                   (N = -1: until killed); receipts cycle through sale, sale
//                   paid with tickets, refund and void
//     close         CLOSETILL       -> "closed <zRep> <nRec>" | "close-failed <error>"
//     xreport       XREPORT         -> "xreport 0" | "xreport-failed <error>"
//     days:D:K      D times: open, sign:K, close (D = -1: until killed)
//     signfile:PATH SIGNRECEIPT of the file's text (UTF-8), same output as sign
//     nulls         every entry point with null output pointers
//                   -> "nulls <rc> <rc> <rc> <rc>" (all must be failures)
//     drain:S       waits up to S seconds for the library's pusher to empty
//                   the till's queue -> "drained" | "drain-failed <n> queued"
//
// Exit status: 0 when every call succeeded, 1 when one failed, 2 on bad usage
// or a library that cannot be loaded. The data root comes from QX_SRT_DB.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/strings.h"

namespace {

using BSTR = char16_t*;
using OpenTillFn = int32_t (*)(BSTR, int32_t, BSTR, BSTR, BSTR, BSTR*);
using SignReceiptFn = int32_t (*)(BSTR, BSTR*, BSTR*);
using ReportFn = int32_t (*)(BSTR*, BSTR*);
using AllocFn = BSTR (*)(const char16_t*, unsigned int);
using FreeFn = void (*)(BSTR);
using LenFn = unsigned int (*)(BSTR);

constexpr const char* kReceipts[] = {
    "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\" docType=\"0\"/>"
    "<printRecItem operator=\"1\" description=\"ESPRESSO\" quantity=\"2\" unitPrice=\"1.50\" "
    "vatID=\"1\"/><printRecItem operator=\"1\" description=\"NOTEBOOK\" quantity=\"1\" "
    "unitPrice=\"10.00\" vatID=\"2\"/><printRecItemAdjustment operator=\"1\" adjustmentType=\"0\" "
    "amount=\"0.50\"/><printRecSubtotalAdjustment operator=\"1\" adjustmentType=\"1\" "
    "amount=\"1.25\"/><printRecTotal operator=\"1\" payment=\"20.00\" paymentType=\"0\"/>"
    "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>",
    "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\" docType=\"0\"/>"
    "<printRecItem operator=\"1\" description=\"MENU\" quantity=\"2\" unitPrice=\"8.50\" "
    "vatID=\"2\"/><printRecTotal operator=\"1\" payment=\"16.00\" paymentType=\"3\" "
    "quantity=\"2\"/><printRecTotal operator=\"1\" payment=\"1.00\" paymentType=\"0\"/>"
    "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>",
    "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\" docType=\"1\"/>"
    "<printRecRefund operator=\"1\" description=\"SHAMPOO\" quantity=\"1\" unitPrice=\"7.20\" "
    "vatID=\"1\"/><printRecTotal operator=\"1\" payment=\"7.20\" paymentType=\"0\"/>"
    "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>",
    "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\" docType=\"3\"/>"
    "<printRecItem operator=\"1\" description=\"MENU\" quantity=\"1\" unitPrice=\"8.50\" "
    "vatID=\"2\"/><printRecTotal operator=\"1\" payment=\"8.50\" paymentType=\"0\"/>"
    "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>",
};

class Library {
 public:
  bool Load(const char* aPath) {
    handle_ = dlopen(aPath, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      std::fprintf(stderr, "qxreltill: %s\n", dlerror());
      return false;
    }
    openTill = reinterpret_cast<OpenTillFn>(dlsym(handle_, "OPENTILL"));
    signReceipt = reinterpret_cast<SignReceiptFn>(dlsym(handle_, "SIGNRECEIPT"));
    closeTill = reinterpret_cast<ReportFn>(dlsym(handle_, "CLOSETILL"));
    xReport = reinterpret_cast<ReportFn>(dlsym(handle_, "XREPORT"));
    alloc = reinterpret_cast<AllocFn>(dlsym(handle_, "SysAllocStringLen"));
    release = reinterpret_cast<FreeFn>(dlsym(handle_, "SysFreeString"));
    length = reinterpret_cast<LenFn>(dlsym(handle_, "SysStringLen"));
    return openTill && signReceipt && closeTill && xReport && alloc && release && length;
  }

  BSTR Make(std::string_view aText) const {
    const std::u16string units = qx::Utf8ToUtf16(aText);
    return alloc(units.data(), static_cast<unsigned int>(units.size()));
  }
  // The text of an output string, which is released.
  std::string Take(BSTR aString) const {
    if (aString == nullptr) return std::string();
    std::string text = qx::Utf16ToUtf8(std::u16string_view(aString, length(aString)));
    release(aString);
    return text;
  }

  OpenTillFn openTill = nullptr;
  SignReceiptFn signReceipt = nullptr;
  ReportFn closeTill = nullptr;
  ReportFn xReport = nullptr;
  AllocFn alloc = nullptr;
  FreeFn release = nullptr;
  LenFn length = nullptr;

 private:
  void* handle_ = nullptr;
};

// The text of element |aName| in a result document, or "?".
std::string Field(const std::string& aXml, const std::string& aName) {
  const std::string open = "<" + aName + ">";
  const size_t start = aXml.find(open);
  if (start == std::string::npos) return "?";
  const size_t end = aXml.find("</" + aName + ">", start);
  if (end == std::string::npos) return "?";
  return aXml.substr(start + open.size(), end - start - open.size());
}

void Say(const std::string& aLine) {
  std::string line = aLine;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// "<command>-failed", followed by a space and the error text when there is one.
std::string Failed(const std::string& aCommand, const std::string& aError) {
  return aCommand + "-failed" + (aError.empty() ? std::string() : " " + aError);
}

class Host {
 public:
  Host(Library& aLibrary, std::string aAddress, int32_t aPort, std::string aTill)
      : lib_(aLibrary), address_(std::move(aAddress)), port_(aPort), till_(std::move(aTill)) {}

  bool Open() {
    BSTR address = lib_.Make(address_), user = lib_.Make(""), password = lib_.Make("");
    BSTR till = lib_.Make(till_);
    BSTR error = nullptr;
    const int32_t rc = lib_.openTill(address, port_, user, password, till, &error);
    for (BSTR s : {address, user, password, till}) lib_.release(s);
    const std::string message = lib_.Take(error);
    Say(rc == 0 ? "open 0" : Failed("open", message));
    return rc == 0;
  }

  bool Sign() { return Sign(kReceipts[next_++ % 4]); }

  bool Sign(const std::string& aText) {
    BSTR receipt = lib_.Make(aText);
    BSTR result = nullptr, error = nullptr;
    const int32_t rc = lib_.signReceipt(receipt, &result, &error);
    lib_.release(receipt);
    const std::string xml = lib_.Take(result);
    const std::string message = lib_.Take(error);
    if (rc != 0) {
      Say(Failed("sign", message));
      return false;
    }
    Say("signed " + Field(xml, "zRep") + " " + Field(xml, "nDoc") + " " + Field(xml, "Signature"));
    return true;
  }

  bool Close() {
    BSTR result = nullptr, error = nullptr;
    const int32_t rc = lib_.closeTill(&result, &error);
    const std::string xml = lib_.Take(result);
    const std::string message = lib_.Take(error);
    if (rc != 0) {
      Say(Failed("close", message));
      return false;
    }
    Say("closed " + Field(xml, "zRepNumber") + " " + Field(xml, "nRecNumber"));
    return true;
  }

  bool Nulls() {
    BSTR address = lib_.Make(address_), till = lib_.Make(till_), receipt = lib_.Make(kReceipts[0]);
    BSTR output = nullptr;
    const int32_t open = lib_.openTill(address, port_, nullptr, nullptr, till, nullptr);
    const int32_t sign1 = lib_.signReceipt(receipt, nullptr, &output);
    lib_.Take(output);
    output = nullptr;
    const int32_t sign2 = lib_.signReceipt(receipt, &output, nullptr);
    lib_.Take(output);
    const int32_t close = lib_.closeTill(nullptr, nullptr);
    const int32_t report = lib_.xReport(nullptr, nullptr);
    for (BSTR s : {address, till, receipt}) lib_.release(s);
    Say("nulls " + std::to_string(open) + " " + std::to_string(sign1) + " " +
        std::to_string(sign2) + " " + std::to_string(close) + " " + std::to_string(report));
    return open != 0 && sign1 != 0 && sign2 != 0 && close != 0 && report != 0;
  }

  bool XReport() {
    BSTR result = nullptr, error = nullptr;
    const int32_t rc = lib_.xReport(&result, &error);
    lib_.Take(result);
    const std::string message = lib_.Take(error);
    Say(rc == 0 ? "xreport 0" : Failed("xreport", message));
    return rc == 0;
  }

 private:
  Library& lib_;
  std::string address_;
  int32_t port_;
  std::string till_;
  unsigned next_ = 0;
};

// Documents waiting in the till's queue directory.
int QueuedDocuments(const std::string& aTill) {
  const char* root = std::getenv("QX_SRT_DB");
  const std::string queue =
      std::string(root ? root : "/var/lib/QX_SRT_DB") + "/" + aTill + "/Queue";
  DIR* dir = opendir(queue.c_str());
  if (dir == nullptr) return 0;
  int count = 0;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".srtd") == 0) ++count;
  }
  closedir(dir);
  return count;
}

bool Drain(const std::string& aTill, long aSeconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(aSeconds);
  int queued = QueuedDocuments(aTill);
  while (queued > 0 && std::chrono::steady_clock::now() < end) {
    usleep(10000);
    queued = QueuedDocuments(aTill);
  }
  Say(queued == 0 ? "drained" : "drain-failed " + std::to_string(queued) + " queued");
  return queued == 0;
}

bool Run(Host& aHost, const std::string& aCommand, const std::string& aTill) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = aCommand.find(':', start);
    parts.push_back(aCommand.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  const auto number = [&parts](size_t i) {
    return i < parts.size() ? std::atol(parts[i].c_str()) : 1;
  };
  if (parts[0] == "open") return aHost.Open();
  if (parts[0] == "close") return aHost.Close();
  if (parts[0] == "xreport") return aHost.XReport();
  if (parts[0] == "drain") return Drain(aTill, number(1));
  if (parts[0] == "nulls") return aHost.Nulls();
  if (parts[0] == "signfile") {
    std::string text;
    if (FILE* in = std::fopen(aCommand.c_str() + 9, "rb")) {
      char buffer[65536];
      size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
      std::fclose(in);
    }
    return aHost.Sign(text);
  }
  if (parts[0] == "sign") {
    bool ok = true;
    for (long i = 0, n = number(1); n < 0 || i < n; ++i) ok = aHost.Sign() && ok;
    return ok;
  }
  if (parts[0] == "days") {
    bool ok = true;
    for (long d = 0, days = number(1); days < 0 || d < days; ++d) {
      ok = aHost.Open() && ok;
      for (long i = 0, n = number(2); i < n; ++i) ok = aHost.Sign() && ok;
      ok = aHost.Close() && ok;
    }
    return ok;
  }
  std::fprintf(stderr, "qxreltill: unknown command %s\n", aCommand.c_str());
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: qxreltill LIBRARY ADDRESS PORT TILL COMMAND...\n");
    return 2;
  }
  Library library;
  if (!library.Load(argv[1])) return 2;
  Host host(library, argv[2], std::atoi(argv[3]), argv[4]);
  bool ok = true;
  for (int i = 5; i < argc; ++i) ok = Run(host, argv[i], argv[4]) && ok;
  return ok ? 0 : 1;
}
