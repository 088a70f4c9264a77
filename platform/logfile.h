// The file side of the log writer: one line appended at a time by whichever
// process holds the file, and the size that decides when a file is moved aside.
// One implementation per system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

// Size in bytes, -1 when the file's attributes cannot be read.
int64_t LogFileSize(const std::string& path);

// One append attempt: creates the file when missing (readable by its owner
// only), takes an exclusive lock without waiting (other writers wait their
// turn, readers are not hindered), writes the line with CR LF and closes. A
// partly written line is cut off again, so a retry never leaves a fragment in
// front of the whole line. False when any step fails.
bool AppendLogLine(const std::string& fileName, std::string_view line);

}  // namespace qx
