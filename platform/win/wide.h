// Conversions between the library's UTF-8 strings and the wide (UTF-16)
// strings of the Windows API, and the text of a system error code. For the
// Windows implementations in this folder only.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "platform/strings.h"

namespace qx::win {

inline std::wstring Wide(std::string_view text) {
  const std::u16string units = Utf8ToUtf16(text);
  return std::wstring(units.begin(), units.end());
}

// A path for the wide file functions: as it is while short; past the classic
// limit, made absolute with '\' separators and given the "\\?\" prefix
// ("\\?\UNC\" for a share), which lifts the limit. The classic limit of a
// folder is twelve characters below that of a file.
inline std::wstring WidePath(std::string_view path) {
  std::wstring wide = Wide(path);
  constexpr size_t kShortEnough = MAX_PATH - 12;
  if (wide.size() < kShortEnough || wide.rfind(L"\\\\?\\", 0) == 0 ||
      wide.rfind(L"\\\\.\\", 0) == 0) {
    return wide;
  }
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  size = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (size == 0 || size >= full.size()) return wide;
  full.resize(size);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

inline std::string Narrow(std::wstring_view text) {
  return Utf16ToUtf8(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

// The system's message for an error code, without the final line break;
// "Error <code>" when the system has none.
inline std::string SystemErrorText(DWORD code, HMODULE from = nullptr) {
  wchar_t* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                      (from != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : FORMAT_MESSAGE_FROM_SYSTEM);
  const DWORD length =
      FormatMessageW(flags, from, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text;
  if (length > 0 && buffer != nullptr) {
    text = Narrow(std::wstring_view(buffer, length));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
      text.pop_back();
    }
  }
  if (buffer != nullptr) LocalFree(buffer);
  return text.empty() ? "Error " + std::to_string(code) : text;
}

// A handle closed when the holder goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE value = INVALID_HANDLE_VALUE) : fValue(value) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return fValue; }
  bool valid() const { return fValue != INVALID_HANDLE_VALUE && fValue != nullptr; }
  bool Close() {
    if (!valid()) return true;
    const bool ok = CloseHandle(fValue) != 0;
    fValue = INVALID_HANDLE_VALUE;
    return ok;
  }

 private:
  HANDLE fValue;
};

}  // namespace qx::win
