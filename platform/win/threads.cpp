// Thread naming through SetThreadDescription, looked up at run time: systems
// before Windows 10 1607 lack it, and the name is only a help.
#include "platform/threads.h"

#include <windows.h>

#include "platform/win/wide.h"

namespace qx {

void NameCurrentThread(const char* aName) noexcept {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (setDescription == nullptr || aName == nullptr) return;
  try {
    setDescription(GetCurrentThread(), win::Wide(aName).c_str());
  } catch (...) {
  }
}

}  // namespace qx
