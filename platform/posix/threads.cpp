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

LibraryThread::LibraryThread(std::function<void()> aBody)
    : fRunning(new Running{std::thread([body = std::move(aBody)] {
        try {
          body();
        } catch (...) {
        }
      })}) {}

void LibraryThread::Detach() noexcept {
  if (!fRunning) return;
  fRunning->thread.detach();
  delete fRunning.release();
}

void LibraryThread::JoinAndFree::operator()(Running* aRunning) const noexcept {
  if (aRunning->thread.joinable()) aRunning->thread.join();
  delete aRunning;
}

}  // namespace qx
