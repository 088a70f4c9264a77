// The host process as the operating system shows it, the single-instance
// claim, and what the library may do when it is unloaded. One implementation
// per system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx {

// Full path of the host executable, with '/' between its components; empty
// when the system does not tell.
std::string ExecutablePath();

// The host's command-line arguments, without the program name.
std::vector<std::string> ProgramArguments();

// The name of the system-wide claim that keeps a second instance of the host
// named |baseName| out: a lock file's path, or a named object's name.
std::string InstanceClaimName(const std::string& baseName);

// Takes the claim |name| for this process without waiting. Returns its handle,
// or kNoInstanceClaim when another process holds it or it cannot be made.
inline constexpr intptr_t kNoInstanceClaim = -1;
intptr_t ClaimInstance(const std::string& name);
// Gives a claim back; kNoInstanceClaim is ignored.
void ReleaseInstance(intptr_t claim);

// The value of the environment variable |name| as UTF-8 (Windows keeps it in
// UTF-16; its narrow form would be the ANSI code page), or empty when it is
// unset or empty.
std::string EnvironmentText(const char* name);

// Where the data store lives unless the environment says otherwise
// (/var/lib/QX_SRT_DB, C:\QX_SRT_DB).
std::string SystemDataRoot();

// True when the library's unload step may stop and wait for its own threads.
// False where the system runs that step under a lock its threads need to end:
// there, the threads hold the library loaded while they run (LibraryThread),
// so the step comes only once they have all left, or at the end of the
// process, which has ended them already.
bool UnloadMayWaitForThreads();

}  // namespace qx
