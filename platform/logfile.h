// The file side of the log writer: where the library's logs live, one line
// appended at a time by whichever process holds the file, and the size that
// decides when a file is moved aside. One implementation per system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qx {

// The directories of the library's two logs. Linux keeps them with the data,
// whatever the host's executable or current directory: QX_LOG_DIR when set
// (a relative one below the data root), else the folder LogFiles of the data
// root (QX_SRT_DB, else SystemDataRoot()); the pusher's log lies in RTPusher
// below it. Windows keeps its hosts' convention: LogFiles beside the host
// executable (in |aHostDirectory|), the pusher's log in LogFiles\RTPusher
// below the current directory.
std::string ApplicationLogDirectory(const std::string& aHostDirectory);
std::string PusherLogDirectory();

// The folder of the data root that holds the logs, which no till may be named
// after (compared ASCII case-insensitively, for a store copied onto a system
// that ignores case); empty where the logs do not live in the data root.
std::string DataRootLogFolder();

// Size in bytes, -1 when the file's attributes cannot be read.
int64_t LogFileSize(const std::string& path);

// One append attempt: creates the file when missing (readable by its owner
// only), takes an exclusive lock without waiting (other writers wait their
// turn, readers are not hindered), writes the line with CR LF and closes. A
// partly written line is cut off again, so a retry never leaves a fragment in
// front of the whole line. False when any step fails.
bool AppendLogLine(const std::string& fileName, std::string_view line);

}  // namespace qx
