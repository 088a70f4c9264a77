// Threads that hold the DLL while they run and leave through
// FreeLibraryAndExitThread, and thread naming through SetThreadDescription.
//
// The DLL's unload step runs under the loader lock, which a thread needs to
// end, so it can never wait for one. Instead each thread takes a reference to
// the module before it starts: a host's FreeLibrary then only drops the
// host's own reference and returns at once, the code stays mapped for the
// threads, and the last of them to leave unloads the DLL as it exits.
#include "platform/threads.h"

#include <windows.h>

#include <utility>

#include "platform/error.h"
#include "platform/win/wide.h"

namespace qx {

void NameCurrentThread(const char* aName) noexcept {
  // Looked up at run time: systems before Windows 10 1607 lack it, and the
  // name is only a help.
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
  if (setDescription == nullptr || aName == nullptr) return;
  try {
    setDescription(GetCurrentThread(), win::Wide(aName).c_str());
  } catch (...) {
  }
}

namespace {

// What a new thread runs, and the module reference it gives back at its end.
struct ThreadStart {
  std::function<void()> body;
  HMODULE module = nullptr;
};

DWORD WINAPI RunLibraryThread(void* aStart) {
  auto* start = static_cast<ThreadStart*>(aStart);
  try {
    start->body();
  } catch (...) {
  }
  const HMODULE module = start->module;
  delete start;  // the body's captures go while their code is still mapped
  FreeLibraryAndExitThread(module, 0);
}

[[noreturn]] void RaiseThreadError(DWORD aError) {
  throw Error("Cannot start a thread: " + win::SystemErrorText(aError));
}

}  // namespace

struct LibraryThread::Running {
  HANDLE thread;
};

LibraryThread::LibraryThread(std::function<void()> aBody) {
  auto start = std::make_unique<ThreadStart>();
  start->body = std::move(aBody);
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&RunLibraryThread), &start->module)) {
    RaiseThreadError(GetLastError());
  }
  HANDLE thread = CreateThread(nullptr, 0, RunLibraryThread, start.get(), 0, nullptr);
  if (thread == nullptr) {
    const DWORD error = GetLastError();
    FreeLibrary(start->module);
    RaiseThreadError(error);
  }
  start.release();  // the thread's own now
  fRunning.reset(new Running{thread});
}

void LibraryThread::Detach() noexcept {
  if (!fRunning) return;
  CloseHandle(fRunning->thread);
  delete fRunning.release();
}

void LibraryThread::JoinAndFree::operator()(Running* aRunning) const noexcept {
  WaitForSingleObject(aRunning->thread, INFINITE);
  CloseHandle(aRunning->thread);
  delete aRunning;
}

}  // namespace qx
