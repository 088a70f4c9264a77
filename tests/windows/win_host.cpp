// A Windows point-of-sale host for the tests that run under Wine: it loads
// the DLL the way hosts do (LoadLibrary, GetProcAddress), passes and frees
// oleaut32 strings, and reports what it saw on standard output.
//
//   win_host exports            the four entry points by name and by ordinal
//   win_host day ADDRESS PORT USER PASSWORD TILL QUEUEDIR RECEIPT...
//                               a whole day; waits for the queue to drain;
//                               FreeLibrary must return at once
//   win_host exit ADDRESS PORT USER PASSWORD TILL RECEIPT [close]
//                               opens, signs one receipt (and closes the day)
//                               and ends the process while the pusher may be
//                               delivering
//   win_host loop ADDRESS PORT USER PASSWORD TILL RECEIPT
//                               signs RECEIPT again and again, closing the day
//                               after every third, until it is killed
//   win_host rights PATH        the access rights of a file or folder (SDDL)
//   win_host scan FOLDER HOLD_MS STOPFILE
//                               a virus scanner: opens each file that appears
//                               below FOLDER without FILE_SHARE_DELETE and
//                               holds it HOLD_MS, until STOPFILE exists;
//                               prints how many files it held
//   win_host NAME=VALUE ... COMMAND ...
//                               sets each setting in the process environment
//                               (SetEnvironmentVariableW) before COMMAND loads
//                               the library, as a .NET host does
//   win_host free ADDRESS PORT USER PASSWORD TILL OTHERTILL QUEUEDIR RECEIPT
//                               opens TILL, switches to OTHERTILL, signs one
//                               receipt and frees the library while the pusher
//                               may be delivering it; waits for QUEUEDIR to drain
// clang-format off
#include <windows.h>  // first: the other system headers need its types
#include <oleauto.h>
#include <shellapi.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using OpenTill = int32_t(__stdcall*)(BSTR, int32_t, BSTR, BSTR, BSTR, BSTR*);
using SignReceipt = int32_t(__stdcall*)(BSTR, BSTR*, BSTR*);
using Report = int32_t(__stdcall*)(BSTR*, BSTR*);

struct Entry {
  const char* name;
  WORD ordinal;
};
constexpr Entry kEntries[] = {
    {"OPENTILL", 2}, {"SIGNRECEIPT", 3}, {"CLOSETILL", 4}, {"XREPORT", 5}};

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  std::wstring wide(
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0),
      L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                      static_cast<int>(wide.size()));
  return wide;
}

std::string Narrow(BSTR text) {
  if (text == nullptr) return std::string();
  const int units = static_cast<int>(SysStringLen(text));
  std::string narrow(WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr),
                     '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, units, narrow.data(), static_cast<int>(narrow.size()),
                      nullptr, nullptr);
  return narrow;
}

// A BSTR the host owns; freed with oleaut32 when it goes.
struct Text {
  BSTR value = nullptr;
  Text() = default;
  explicit Text(const std::string& text) : value(SysAllocString(Wide(text).c_str())) {}
  ~Text() { SysFreeString(value); }
  Text(const Text&) = delete;
  Text& operator=(const Text&) = delete;
  // Releases what it holds and hands out the variable for an output.
  BSTR* Out() {
    SysFreeString(value);
    value = nullptr;
    return &value;
  }
};

void Print(const char* step, int32_t result, const Text& error, const Text* output = nullptr) {
  std::printf("%s -> %ld", step, static_cast<long>(result));
  if (error.value != nullptr) std::printf(" error=%s", Narrow(error.value).c_str());
  if (output != nullptr && output->value != nullptr)
    std::printf("\n%s", Narrow(output->value).c_str());
  std::printf("\n");
  std::fflush(stdout);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

HMODULE LoadDriver() {
  HMODULE library = LoadLibraryW(L"QXRS_VURUV90_20.dll");
  if (library == nullptr) std::printf("LoadLibrary failed: %lu\n", GetLastError());
  return library;
}

template <typename Function>
Function Find(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

int Exports() {
  HMODULE library = LoadDriver();
  if (library == nullptr) return 1;
  int failures = 0;
  for (const Entry& entry : kEntries) {
    FARPROC byName = GetProcAddress(library, entry.name);
    FARPROC byOrdinal = GetProcAddress(library, MAKEINTRESOURCEA(entry.ordinal));
    std::printf("%s @%u: %s\n", entry.name, entry.ordinal,
                byName != nullptr && byName == byOrdinal ? "same function" : "MISMATCH");
    if (byName == nullptr || byName != byOrdinal) ++failures;
  }
  // The string functions are oleaut32's; the DLL exports none of its own.
  for (const char* name : {"SysAllocString", "SysFreeString", "_OPENTILL@24", "OPENTILL@24"}) {
    if (GetProcAddress(library, name) != nullptr) {
      std::printf("%s: exported, but must not be\n", name);
      ++failures;
    }
  }
  if (GetProcAddress(library, MAKEINTRESOURCEA(1)) != nullptr ||
      GetProcAddress(library, MAKEINTRESOURCEA(6)) != nullptr) {
    std::printf("an ordinal other than 2 to 5 is exported\n");
    ++failures;
  }
  FreeLibrary(library);
  return failures == 0 ? 0 : 1;
}

int32_t Open(HMODULE library, char** args, const char* tillId = nullptr) {
  Text address(args[0]), user(args[2]), password(args[3]), till(tillId ? tillId : args[4]), error;
  const int32_t result = Find<OpenTill>(library, "OPENTILL")(
      address.value, std::atoi(args[1]), user.value, password.value, till.value, error.Out());
  Print("OPENTILL", result, error);
  return result;
}

int32_t Sign(HMODULE library, const std::string& path) {
  Text receipt(ReadFile(path)), result, error;
  const int32_t status =
      Find<SignReceipt>(library, "SIGNRECEIPT")(receipt.value, result.Out(), error.Out());
  Print(("SIGNRECEIPT " + path).c_str(), status, error, &result);
  return status;
}

size_t Queued(const std::string& queueDir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Wide(queueDir + "\\*.srtd").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  size_t count = 0;
  do ++count;
  while (FindNextFileW(find, &data));
  FindClose(find);
  return count;
}

// Waits up to a minute for the queue to drain; true when it did.
bool Drained(const std::string& queueDir) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (Queued(queueDir) > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const size_t left = Queued(queueDir);
  std::printf("queue -> %zu document(s) left\n", left);
  return left == 0;
}

// FreeLibrary must return at once whatever the library's threads are doing.
bool FreedAtOnce(HMODULE library) {
  const auto start = std::chrono::steady_clock::now();
  FreeLibrary(library);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  std::printf("FreeLibrary -> %lld ms\n", static_cast<long long>(took.count()));
  return took < std::chrono::seconds(2);
}

int Day(int argc, char** argv) {
  if (argc < 6) return 2;
  HMODULE library = LoadDriver();
  if (library == nullptr) return 1;
  int failures = Open(library, argv) == 0 ? 0 : 1;
  const std::string queueDir = argv[5];
  for (int i = 6; i < argc; ++i) failures += Sign(library, argv[i]) == 0 ? 0 : 1;
  for (const char* report : {"XREPORT", "CLOSETILL"}) {
    Text result, error;
    const int32_t status = Find<Report>(library, report)(result.Out(), error.Out());
    Print(report, status, error, &result);
    if (status != 0) ++failures;
  }
  if (!Drained(queueDir)) ++failures;
  if (!FreedAtOnce(library)) ++failures;
  return failures == 0 ? 0 : 1;
}

// The host lets go of the library in the middle of a delivery, after a till
// switch has ended one delivery thread: the library stays mapped for the
// thread that still runs, which goes on to deliver the receipt.
int Free(int argc, char** argv) {
  if (argc < 8) return 2;
  HMODULE library = LoadDriver();
  if (library == nullptr) return 1;
  if (Open(library, argv) != 0 || Open(library, argv, argv[5]) != 0) return 1;
  if (Sign(library, argv[7]) != 0) return 1;
  if (!FreedAtOnce(library)) return 1;
  const bool mapped = GetModuleHandleW(L"QXRS_VURUV90_20.dll") != nullptr;
  std::printf("after FreeLibrary the library is %s\n", mapped ? "still mapped" : "unloaded");
  return mapped && Drained(argv[6]) ? 0 : 1;
}

// Ends the process with the library loaded, the way a host that never frees
// it does; the exit code tells the driver that the receipt was signed.
int Exit(int argc, char** argv) {
  if (argc < 6) return 2;
  HMODULE library = LoadDriver();
  if (library == nullptr) return 1;
  if (Open(library, argv) != 0) return 1;
  if (Sign(library, argv[5]) != 0) return 1;
  if (argc > 6 && std::string(argv[6]) == "close") {
    Text result, error;
    if (Find<Report>(library, "CLOSETILL")(result.Out(), error.Out()) != 0) return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(
      std::atoi(std::getenv("QX_EXIT_AFTER_MS") ? std::getenv("QX_EXIT_AFTER_MS") : "0")));
  std::printf("exiting\n");
  std::fflush(stdout);
  ExitProcess(7);
}

// A till that never stops selling, for a test that kills it at a random
// moment; every result it prints is a receipt the host was told was signed.
int Loop(int argc, char** argv) {
  if (argc < 6) return 2;
  HMODULE library = LoadDriver();
  if (library == nullptr) return 1;
  for (int sold = 0; sold < 100000; ++sold) {
    if (sold % 3 == 0 && Open(library, argv) != 0) return 1;
    if (Sign(library, argv[5]) != 0) return 1;
    if (sold % 3 == 2) {
      Text result, error;
      Print("CLOSETILL", Find<Report>(library, "CLOSETILL")(result.Out(), error.Out()), error);
    }
  }
  return 0;
}

int Rights(int argc, char** argv) {
  if (argc < 1) return 2;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(Wide(argv[0]).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return 1;
  }
  LPWSTR text = nullptr;
  const bool ok = ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
  if (ok) std::printf("%ls\n", text);
  LocalFree(text);
  LocalFree(descriptor);
  return ok ? 0 : 1;
}

// Opens each file below |folder| not scanned yet the way scanners and
// indexers do when a file appears: for reading, sharing reads and writes but
// not deletes or renames.
size_t HoldEach(const std::wstring& folder, DWORD holdMillis, std::set<std::wstring>& scanned) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  size_t held = 0;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      held += HoldEach(path, holdMillis, scanned);
      continue;
    }
    if (!scanned.insert(path).second) continue;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    ++held;
    Sleep(holdMillis);
    CloseHandle(file);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return held;
}

int Scan(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::wstring folder = Wide(argv[0]);
  const DWORD holdMillis = static_cast<DWORD>(std::atoi(argv[1]));
  const std::wstring stop = Wide(argv[2]);
  size_t held = 0;
  std::set<std::wstring> scanned;
  // Bounded: a test that forgets the stop file still ends.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  while (GetFileAttributesW(stop.c_str()) == INVALID_FILE_ATTRIBUTES &&
         std::chrono::steady_clock::now() < deadline) {
    held += HoldEach(folder, holdMillis, scanned);
    Sleep(1);
  }
  std::printf("scanner held %zu files\n", held);
  return 0;
}

}  // namespace

// The arguments in UTF-8, from the wide command line: the narrow argv holds
// only what the ANSI code page can.
std::vector<std::string> Utf8Arguments() {
  int count = 0;
  LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i) {
    const int units = static_cast<int>(wcslen(words[i]));
    std::string text(WideCharToMultiByte(CP_UTF8, 0, words[i], units, nullptr, 0, nullptr, nullptr),
                     '\0');
    WideCharToMultiByte(CP_UTF8, 0, words[i], units, text.data(), static_cast<int>(text.size()),
                        nullptr, nullptr);
    arguments.push_back(std::move(text));
  }
  LocalFree(words);
  return arguments;
}

int main() {
  std::vector<std::string> arguments = Utf8Arguments();
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  int argc = static_cast<int>(pointers.size());
  char** argv = pointers.data();
  // Settings the host sets itself, after its process started.
  while (argc > 1 && std::string(argv[1]).find('=') != std::string::npos) {
    const std::string setting = argv[1];
    const size_t equals = setting.find('=');
    SetEnvironmentVariableW(Wide(setting.substr(0, equals)).c_str(),
                            Wide(setting.substr(equals + 1)).c_str());
    --argc;
    ++argv;
  }
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "exports") return Exports();
  if (command == "day") return Day(argc - 2, argv + 2);
  if (command == "exit") return Exit(argc - 2, argv + 2);
  if (command == "free") return Free(argc - 2, argv + 2);
  if (command == "loop") return Loop(argc - 2, argv + 2);
  if (command == "rights") return Rights(argc - 2, argv + 2);
  if (command == "scan") return Scan(argc - 2, argv + 2);
  std::fprintf(stderr,
               "usage: win_host [NAME=VALUE...] exports | day ... | exit ... | free ... | loop ... "
               "| rights PATH | scan ...\n");
  return 2;
}
