// Thread naming through the C library.
#include "platform/threads.h"

#include <pthread.h>

namespace qx {

void NameCurrentThread(const char* aName) noexcept { pthread_setname_np(pthread_self(), aName); }

}  // namespace qx
