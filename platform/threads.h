// The library's own threads: starting and joining them, and their names.
// The names ("qx-" and what the thread does) show in ps, top and debuggers,
// so that a host's operator can tell the library's threads from the host's.
#pragma once

#include <functional>
#include <memory>

namespace qx {

// The prefix every thread of the library carries in its name.
inline constexpr char kThreadNamePrefix[] = "qx-";

// Names the calling thread |aName|, which should start with kThreadNamePrefix
// and fits the system's limit of 15 characters. Failure is harmless and ignored.
void NameCurrentThread(const char* aName) noexcept;

// A thread that runs the library's code. Where a host can unload the library
// while such a thread still runs (Windows, whose unload step cannot wait for
// threads), the thread holds a reference to the library's module from before
// it starts and gives it back as the very last thing it does: the library's
// code then stays mapped under it whatever the host frees.
class LibraryThread {
 public:
  LibraryThread() noexcept = default;
  // Starts |aBody| on a new thread at once. An exception |aBody| lets out is
  // dropped. Raises when the thread cannot be started.
  explicit LibraryThread(std::function<void()> aBody);
  // Joins a thread still running, as does assigning another over it.
  ~LibraryThread() = default;
  LibraryThread(LibraryThread&&) noexcept = default;
  LibraryThread& operator=(LibraryThread&&) noexcept = default;
  LibraryThread(const LibraryThread&) = delete;
  LibraryThread& operator=(const LibraryThread&) = delete;

  // True from the start until Join.
  bool Joinable() const noexcept { return fRunning != nullptr; }
  // Waits until the thread has ended; returns at once when none was started.
  void Join() noexcept { fRunning.reset(); }
  // Lets the thread run on by itself, for work whose end no one waits for
  // (it still holds the library's module while it runs).
  void Detach() noexcept;

 private:
  struct Running;  // the system's handle of the thread
  // Waits for the thread to end, then frees its handle.
  struct JoinAndFree {
    void operator()(Running* aRunning) const noexcept;
  };
  std::unique_ptr<Running, JoinAndFree> fRunning;
};

}  // namespace qx
