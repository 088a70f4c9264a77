// Files and directories of the data store. Every file is replaced atomically
// and durably: written to a temporary name in the same directory (which no
// listing picks up), flushed, fsynced, renamed over the target, and the
// directory fsynced. Directories are created 0700, files 0600.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qx {

// Raises "Invalid characters in path" when the text holds U+0000..U+001F, '"', '<', '>' or '|'.
void CheckPathCharacters(std::string_view path);

// Joins a directory and a name: an empty directory yields the name, an empty
// name the directory, a rooted name (leading '/' or '\') replaces the
// directory, a directory ending in '/', '\' or ':' is followed directly by the
// name, otherwise one '/' goes between. Both parts are checked first.
std::string JoinPath(std::string_view dir, std::string_view name);

bool FileExists(const std::string& path);  // a regular file
bool DirectoryExists(const std::string& path);

// Creates the directory and any missing parents (0700). False when it cannot;
// then |failure|, when given, reads "Cannot create folder "<folder>": <cause>"
// for the first folder the system refused.
bool ForceDirectories(const std::string& path, std::string* failure = nullptr);

// Why |name| cannot be the name of a folder of its own on this system, or
// empty when it can. On Windows a name that ends in a dot or a space (the
// system drops them, so "T01." is the folder "T01"), a device name (CON, NUL,
// COM1, LPT1, ..., with or without an extension) or a name holding ':', '*'
// or '?' (a ':' names a stream of another file) cannot.
std::string FolderNameProblem(std::string_view name);

// The name under which the file system holds the entry at |path| (its last
// component), or empty when there is none. Where the file system ignores
// case (Windows), it may differ from the path's own last component.
std::string StoredName(const std::string& path);

// Writes the bytes atomically and durably, replacing any file of that name.
// Raises qx::Error naming the file on any failure; the target is then untouched.
void WriteFileAtomic(const std::string& path, std::string_view bytes);
// Writes each line followed by CR LF, UTF-8 without byte-order mark.
void WriteTextLinesAtomic(const std::string& path, const std::vector<std::string>& lines);

// Like WriteFileAtomic, but never replaces: when a file of that name exists
// it raises "File already exists" naming it, and nothing changes. For files
// that are records in their own right (a queued document is never rewritten).
// A file whose directory cannot be synced is not durable: it is taken away
// again (when it can be) and the write raises "Cannot sync directory" with
// the cause.
void WriteFileNoReplace(const std::string& path, std::string_view bytes);
void WriteTextLinesNoReplace(const std::string& path, const std::vector<std::string>& lines);

// Whole file as bytes. Raises qx::Error when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// Text lines: a UTF-8 or UTF-16 (LE/BE) byte-order mark is honoured (UTF-16
// converted to UTF-8); lines split at CR LF, LF or CR; a final line break does
// not add an empty line.
std::vector<std::string> ReadTextLines(const std::string& path);

// Full paths (dir joined with name) of the regular files directly inside |dir|
// whose names end with |extension| (e.g. ".srtd"), compared case-insensitively,
// in directory enumeration order. Raises "The specified path was not found"
// when the directory does not exist.
std::vector<std::string> ListFiles(const std::string& dir, std::string_view extension);

// ListFiles with each file's last modification time (FileModifiedUnixMillis),
// read through the open directory rather than by path, in no particular
// order. A file that vanishes while the directory is read is left out. The
// names share one buffer and a listing refilled keeps its buffers: listing
// ten thousand files again allocates nothing.
class TimedListing {
 public:
  struct File {
    uint64_t inode = 0;
    uint32_t nameOffset = 0;
    uint32_t nameLength = 0;
    int64_t modifiedUnixMillis = 0;
    bool listedRegular = false;  // the directory entry's own type said so
  };

  std::vector<File>& Files() { return fFiles; }
  const std::vector<File>& Files() const { return fFiles; }
  std::string_view Name(const File& aFile) const {
    return std::string_view(fNames).substr(aFile.nameOffset, aFile.nameLength);
  }
  std::string Path(const File& aFile) const;
  void Clear();

 private:
  friend void ListFilesWithTimes(const std::string& dir, std::string_view extension,
                                 TimedListing& into);
  std::string fPrefix;  // the directory, ended by a separator unless empty
  std::string fNames;   // every name, each followed by NUL
  std::vector<File> fFiles;
};

// Refills |into| with the listing of |dir|. Raises like ListFiles, and when a
// file's time cannot be read; |into| is then empty.
void ListFilesWithTimes(const std::string& dir, std::string_view extension, TimedListing& into);

// Full paths of the directories directly inside |dir|, sorted by name; empty
// when |dir| does not exist or cannot be read.
std::vector<std::string> ListSubdirectories(const std::string& dir);
// ListSubdirectories for a caller that must see every entry: empty only when
// |dir| does not exist; raises, naming the directory and the system's cause,
// when it cannot be read.
std::vector<std::string> ReadSubdirectories(const std::string& dir);

// Last modification time in milliseconds since the Unix epoch. Raises when missing.
int64_t FileModifiedUnixMillis(const std::string& path);

// Tells one version of a file from another: the data store never changes a
// file in place, so a file replaced, taken away and written again, or
// rewritten by someone else no longer has the identity it had.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modifiedNanos = 0;
  bool operator==(const FileIdentity&) const = default;
};
// The identity of the regular file at |path|; none when there is no such file.
std::optional<FileIdentity> IdentityOf(const std::string& path);

// What a move that never replaces did. A real name clash (the target exists)
// and a source that is no longer there are told apart from a failure of the
// move itself (an I/O error, a full disk, a file held by another program),
// which may pass and carries the system's cause.
struct MoveOutcome {
  enum Kind { kMoved, kTargetExists, kSourceMissing, kFailed };
  Kind kind = kFailed;
  std::string cause;  // the system's text for kFailed
  explicit operator bool() const { return kind == kMoved; }
};

// Renames without replacing; nothing changes unless the outcome is kMoved.
// Both directories are synced after the move.
MoveOutcome MoveFileNoReplace(const std::string& from, const std::string& to);
// MoveFileNoReplace without syncing either directory: for a caller that moves
// many files and syncs the directories once (SyncDirectory) afterwards.
MoveOutcome RenameNoReplace(const std::string& from, const std::string& to);
// Makes the renames and new entries in |dir| durable. False when the
// directory cannot be opened or flushed.
bool SyncDirectory(const std::string& dir);
// SyncDirectory that tells why: empty when synced, else the system's cause.
std::string SyncDirectoryCause(const std::string& dir);
// Renames, replacing the target. Both directories are synced. False on failure.
bool MoveFileReplace(const std::string& from, const std::string& to);
bool DeleteFile(const std::string& path);

// An advisory lock held by one owner at a time on a file: another process,
// or another open of the same file in this process, cannot take it while it
// is held. The operating system drops it when its holder ends, however it
// ends, so a killed holder leaves no stale lock.
class OwnerLock {
 public:
  // Takes the lock on |path| (the file is made when missing) without
  // waiting and records the caller's process id in the file. None when
  // someone else holds it: |aHolder| then gets the holder's recorded process
  // id ("unknown" when it cannot be read). Raises when the file cannot be
  // opened or locked for another reason.
  static std::unique_ptr<OwnerLock> TryTake(const std::string& path, std::string& aHolder);
  ~OwnerLock();  // hands the lock back
  OwnerLock(const OwnerLock&) = delete;
  OwnerLock& operator=(const OwnerLock&) = delete;
  const std::string& Path() const { return fPath; }

 private:
  OwnerLock(std::string aPath, intptr_t aHandle) : fPath(std::move(aPath)), fHandle(aHandle) {}
  // The process id recorded in a held lock's file, or "unknown".
  static std::string HolderOf(std::string_view aRecorded);
  std::string fPath;
  intptr_t fHandle;
};

// Name part after the last '/'.
std::string ExtractFileName(std::string_view path);

// A new, empty directory only this user can enter, below the system's
// directory for temporary files ($TMPDIR or /tmp; the user's temporary
// folder), named |prefix| and a unique suffix. Raises Error when none can be
// made. The caller removes it.
std::string MakeScratchDirectory(const std::string& prefix);

}  // namespace qx
