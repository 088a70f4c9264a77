// Threads as the C++ library makes them, and their names through the C
// library. A shared object's unload step may wait for its threads here, so a
// thread needs no hold on the library.
#include "platform/threads.h"

#include <pthread.h>

#include <thread>
#include <utility>

namespace qx {

void NameCurrentThread(const char* aName) noexcept { pthread_setname_np(pthread_self(), aName); }

struct LibraryThread::Running {
  std::thread thread;
};

LibraryThread::LibraryThread() noexcept = default;

LibraryThread::LibraryThread(std::function<void()> aBody)
    : fRunning(std::make_unique<Running>(Running{std::thread([body = std::move(aBody)] {
        try {
          body();
        } catch (...) {
        }
      })})) {}

LibraryThread::~LibraryThread() { Join(); }

LibraryThread::LibraryThread(LibraryThread&& aOther) noexcept = default;

LibraryThread& LibraryThread::operator=(LibraryThread&& aOther) noexcept {
  if (this != &aOther) {
    Join();
    fRunning = std::move(aOther.fRunning);
  }
  return *this;
}

void LibraryThread::Join() noexcept {
  if (!fRunning) return;
  if (fRunning->thread.joinable()) fRunning->thread.join();
  fRunning.reset();
}

}  // namespace qx
