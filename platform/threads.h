// Naming of the library's own threads. The names ("qx-" and what the thread
// does) show in ps, top and debuggers, so that a host's operator can tell the
// library's threads from the host's.
#pragma once

namespace qx {

// The prefix every thread of the library carries in its name.
inline constexpr char kThreadNamePrefix[] = "qx-";

// Names the calling thread |aName|, which should start with kThreadNamePrefix
// and fits the system's limit of 15 characters. Failure is harmless and ignored.
void NameCurrentThread(const char* aName) noexcept;

}  // namespace qx
