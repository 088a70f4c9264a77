// Files and directories of the data store, written atomically and durably.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/error.h"
#include "platform/posix/write_all.h"
#include "platform/strings.h"

namespace qx {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

[[noreturn]] void RaiseFileError(const std::string& what, const std::string& path, int error) {
  throw Error(what + " \"" + path + "\": " + ErrnoText(error));
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

using posix::WriteAll;

// A name in the same directory that no listing picks up: a leading dot and
// the ending ".tmp".
std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const std::string dir = DirectoryOf(path);
  const std::string name = ExtractFileName(path);
  const std::string temp = "." + name + "." + std::to_string(::getpid()) + "." +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
  return path.find('/') == std::string::npos ? temp : dir + "/" + temp;
}

bool IsDirectorySeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool SyncDirectory(const std::string& dir) { return SyncDirectoryCause(dir).empty(); }

std::string SyncDirectoryCause(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return ErrnoText(errno);
  const int error = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return error == 0 ? std::string() : ErrnoText(error);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path, std::string* failure) {
  if (path.empty()) return false;
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  if (DirectoryExists(trimmed)) return true;
  const size_t slash = trimmed.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (!ForceDirectories(trimmed.substr(0, slash), failure)) return false;
  }
  if (::mkdir(trimmed.c_str(), 0700) == 0) {
    SyncDirectory(DirectoryOf(trimmed));
    return true;
  }
  const int error = errno;
  if (error == EEXIST && DirectoryExists(trimmed)) return true;
  if (failure) {
    *failure =
        "Cannot create folder \"" + trimmed + "\": " + ErrnoText(error == EEXIST ? ENOTDIR : error);
  }
  return false;
}

// Every name a path component may hold names a folder of its own here.
std::string FolderNameProblem(std::string_view) { return std::string(); }

std::string StoredName(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::string();
  return ExtractFileName(path);
}

namespace {

// Writes the bytes to a new temporary file beside |path|, flushed and synced;
// returns its name. Raises naming |path| when it cannot.
std::string WriteTemporary(const std::string& path, std::string_view bytes) {
  const std::string temp = TemporaryNameFor(path);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) RaiseFileError("Cannot create file", path, errno);
  const auto fail = [&](const char* what, int error, bool open) {
    if (open) ::close(fd);
    ::unlink(temp.c_str());
    RaiseFileError(what, path, error);
  };
  if (!WriteAll(fd, bytes)) fail("Cannot write file", errno, true);
  if (::fsync(fd) != 0) fail("Cannot flush file", errno, true);
  if (::close(fd) != 0) fail("Cannot write file", errno, false);
  return temp;
}

}  // namespace

void WriteFileAtomic(const std::string& path, std::string_view bytes) {
  const std::string temp = WriteTemporary(path, bytes);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    RaiseFileError("Cannot replace file", path, error);
  }
  SyncDirectory(DirectoryOf(path));
}

void WriteFileNoReplace(const std::string& path, std::string_view bytes) {
  const std::string temp = WriteTemporary(path, bytes);
  const MoveOutcome moved = RenameNoReplace(temp, path);
  if (!moved) {
    ::unlink(temp.c_str());
    if (moved.kind == MoveOutcome::kTargetExists) {
      throw Error("File already exists \"" + path + "\"");
    }
    throw Error("Cannot create file \"" + path + "\": " + moved.cause);
  }
  const std::string dir = DirectoryOf(path);
  const std::string cause = SyncDirectoryCause(dir);
  if (!cause.empty()) {
    // Taken back under its temporary name, which no listing picks up, or
    // else removed, so that what the caller is told failed is not found
    // later. A file that could be neither stays; the caller finds it there.
    if (RenameNoReplace(path, temp)) {
      ::unlink(temp.c_str());
    } else {
      ::unlink(path.c_str());
    }
    throw Error("Cannot sync directory \"" + dir + "\": " + cause);
  }
}

std::string ReadFileBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) RaiseFileError("Cannot open file", path, errno);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      RaiseFileError("Cannot read file", path, error);
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return bytes;
}

std::vector<std::string> ListFiles(const std::string& dir, std::string_view extension) {
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) throw Error("The specified path was not found");
    RaiseFileError("Cannot list directory", dir, errno);
  }
  std::vector<std::string> files;
  while (const struct dirent* entry = ::readdir(handle)) {
    const std::string_view name = entry->d_name;
    if (!EndsWithIgnoreCase(name, extension)) continue;
    // Joined without the character check: a stray name must not stop the listing.
    const std::string full = dir.empty() || IsDirectorySeparator(dir.back())
                                 ? dir + std::string(name)
                                 : dir + "/" + std::string(name);
    bool regular = entry->d_type == DT_REG;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) regular = FileExists(full);
    if (regular) files.push_back(full);
  }
  ::closedir(handle);
  return files;
}

void ListFilesWithTimes(const std::string& dir, std::string_view extension, TimedListing& into) {
  into.Clear();
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) throw Error("The specified path was not found");
    RaiseFileError("Cannot list directory", dir, errno);
  }
  struct Closer {
    DIR* handle;
    ~Closer() { ::closedir(handle); }
  } closer{handle};
  // Joined without the character check: a stray name must not stop the listing.
  into.fPrefix.append(dir);
  if (!dir.empty() && !IsDirectorySeparator(dir.back())) into.fPrefix.push_back('/');
  std::string& names = into.fNames;
  std::vector<TimedListing::File>& files = into.fFiles;
  while (const struct dirent* entry = ::readdir(handle)) {
    const std::string_view name = entry->d_name;
    if (!EndsWithIgnoreCase(name, extension)) continue;
    const bool regular = entry->d_type == DT_REG;
    if (!regular && entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) continue;
    files.push_back(TimedListing::File{entry->d_ino, static_cast<uint32_t>(names.size()),
                                       static_cast<uint32_t>(name.size()), 0, regular});
    names.append(name).push_back('\0');
  }
  // The times in the order of the inode numbers: neighbouring inodes share
  // the kernel's caches, which a large directory's hashed enumeration order
  // would not.
  std::sort(
      files.begin(), files.end(),
      [](const TimedListing::File& a, const TimedListing::File& b) { return a.inode < b.inode; });
  const int dirFd = ::dirfd(handle);
  size_t kept = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    TimedListing::File file = files[i];
    const char* name = names.data() + file.nameOffset;
    // The time is read by name within the open directory: no path lookup.
    struct stat st {};
    if (::fstatat(dirFd, name, &st, 0) != 0) {
      // A file taken away since the listing is simply no longer there.
      if (!file.listedRegular || errno == ENOENT) continue;
      const int error = errno;
      const std::string path = into.fPrefix + name;
      into.Clear();
      RaiseFileError("Cannot read the time of file", path, error);
    }
    if (!S_ISREG(st.st_mode)) continue;
    file.modifiedUnixMillis =
        static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    files[kept++] = file;
  }
  files.resize(kept);
}

std::vector<std::string> ListSubdirectories(const std::string& dir) {
  std::vector<std::string> dirs;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec)) dirs.push_back(it->path().string());
  }
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

std::vector<std::string> ReadSubdirectories(const std::string& dir) {
  std::vector<std::string> dirs;
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) {
    if (errno == ENOENT) return dirs;
    RaiseFileError("Cannot list directory", dir, errno);
  }
  struct Closer {
    DIR* handle;
    ~Closer() { ::closedir(handle); }
  } closer{handle};
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(handle);
    if (entry == nullptr) {
      if (errno != 0) RaiseFileError("Cannot list directory", dir, errno);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string full = dir + "/" + std::string(name);
    if (entry->d_type == DT_DIR || (entry->d_type != DT_REG && DirectoryExists(full))) {
      dirs.push_back(full);
    }
  }
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

int64_t FileModifiedUnixMillis(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) RaiseFileError("Cannot read the time of file", path, errno);
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                      static_cast<int64_t>(st.st_size),
                      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

namespace {

MoveOutcome MoveFailure(const std::string& from, int error) {
  if (error == EEXIST) return MoveOutcome{MoveOutcome::kTargetExists, std::string()};
  struct stat st {};
  if (error == ENOENT && ::lstat(from.c_str(), &st) != 0 && errno == ENOENT) {
    return MoveOutcome{MoveOutcome::kSourceMissing, std::string()};
  }
  return MoveOutcome{MoveOutcome::kFailed, ErrnoText(error)};
}

}  // namespace

MoveOutcome RenameNoReplace(const std::string& from, const std::string& to) {
  int result = static_cast<int>(
      ::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
  if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
    // The file system cannot rename without replacing: a hard link refuses an
    // existing target just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return MoveFailure(from, errno);
    result = ::unlink(from.c_str());
    if (result != 0) {
      const int error = errno;
      ::unlink(to.c_str());
      return MoveOutcome{MoveOutcome::kFailed, ErrnoText(error)};
    }
  }
  if (result != 0) return MoveFailure(from, errno);
  return MoveOutcome{MoveOutcome::kMoved, std::string()};
}

MoveOutcome MoveFileNoReplace(const std::string& from, const std::string& to) {
  MoveOutcome outcome = RenameNoReplace(from, to);
  if (!outcome) return outcome;
  SyncDirectory(DirectoryOf(to));
  SyncDirectory(DirectoryOf(from));
  return outcome;
}

bool MoveFileReplace(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  SyncDirectory(DirectoryOf(to));
  SyncDirectory(DirectoryOf(from));
  return true;
}

bool DeleteFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return false;
  SyncDirectory(DirectoryOf(path));
  return true;
}

std::unique_ptr<OwnerLock> OwnerLock::TryTake(const std::string& path, std::string& aHolder) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) RaiseFileError("Cannot open file", path, errno);
  // flock belongs to this open of the file, not to the process: a second copy
  // of the library in the same process is refused as another process is.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error != EWOULDBLOCK) {
      ::close(fd);
      RaiseFileError("Cannot lock file", path, error);
    }
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    aHolder = HolderOf(std::string_view(text, n > 0 ? static_cast<size_t>(n) : 0));
    return nullptr;
  }
  // The process id is for people and for a refused opening's message; the
  // lock itself is what counts, so a failure to record it is not fatal.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) (void)WriteAll(fd, pid);
  return std::unique_ptr<OwnerLock>(new OwnerLock(path, fd));
}

OwnerLock::~OwnerLock() { ::close(static_cast<int>(fHandle)); }

std::string MakeScratchDirectory(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + prefix + "XXXXXX";
  // mkdtemp makes the directory with mode 0700 under a name nobody had.
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw Error("Cannot make a scratch directory \"" + pattern + "\": " + std::strerror(errno));
  }
  return pattern;
}

}  // namespace qx
