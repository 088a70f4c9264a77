// Files and directories of the data store through the wide-character Windows
// API. A file is replaced atomically and durably: written to a temporary name
// in the same directory, flushed with FlushFileBuffers, then moved over the
// target with MoveFileExW and MOVEFILE_WRITE_THROUGH, which returns only once
// the move is on disk (NTFS has no separate directory flush).
// clang-format off
#include <windows.h>  // first: the other system headers need its types
#include <sddl.h>
// clang-format on
// The service's own DeleteFile, not the system's macro of that name.
#undef DeleteFile

#include "platform/files.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "platform/error.h"
#include "platform/strings.h"
#include "platform/win/filetime.h"
#include "platform/win/wide.h"

namespace qx {
namespace {

using win::kUnixEpochTicks;
using win::TicksOf;
using win::UnixMillisOf;

[[noreturn]] void RaiseFileError(const std::string& what, const std::string& path, DWORD error) {
  throw Error(what + " \"" + path + "\": " + win::SystemErrorText(error));
}

bool IsDirectorySeparator(char c) { return c == '/' || c == '\\'; }

size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

DWORD AttributesOf(const std::string& path) {
  return GetFileAttributesW(win::WidePath(path).c_str());
}

// A name in the same directory that no listing picks up: a leading dot and
// the ending ".tmp".
std::string TemporaryNameFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = LastSeparator(path);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::string temp = "." + name + "." + std::to_string(GetCurrentProcessId()) + "." +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
  return slash == std::string::npos ? temp : path.substr(0, slash + 1) + temp;
}

bool WriteAll(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), piece, &written, nullptr) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

// Another program that holds one of our files open for a moment without
// letting it be deleted (a virus scanner, an indexer, a sync tool) makes a
// rename or an open fail with a sharing violation or an access denial that
// passes once it lets go. Such a refusal is waited out with a short, growing
// pause up to a bounded total; what still fails then keeps its own cause in
// GetLastError, so a caller reports an I/O failure, never a name clash.
constexpr DWORD kBusyFirstPauseMillis = 10;
constexpr DWORD kBusyLongestPauseMillis = 250;
constexpr ULONGLONG kBusyTotalMillis = 3000;

bool RefusedWhileBusy(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_ACCESS_DENIED;
}

// Runs |attempt| (true on success, the cause in GetLastError otherwise) again
// while another program holds the file; returns its last result with the last
// cause left in GetLastError.
template <typename Attempt>
bool RetryWhileBusy(Attempt&& attempt) {
  const ULONGLONG start = GetTickCount64();
  DWORD pause = kBusyFirstPauseMillis;
  for (;;) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (!RefusedWhileBusy(error) || GetTickCount64() - start >= kBusyTotalMillis) {
      SetLastError(error);
      return false;
    }
    Sleep(pause);
    pause = std::min(pause * 2, kBusyLongestPauseMillis);
  }
}

// CreateFileW through the wait above; INVALID_HANDLE_VALUE with the cause in
// GetLastError when it fails.
HANDLE OpenWaitingWhileBusy(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                            DWORD flags) {
  HANDLE file = INVALID_HANDLE_VALUE;
  RetryWhileBusy([&] {
    file = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    return file != INVALID_HANDLE_VALUE;
  });
  return file;
}

bool Move(const std::string& from, const std::string& to, DWORD flags) {
  const std::wstring wideFrom = win::WidePath(from);
  const std::wstring wideTo = win::WidePath(to);
  return RetryWhileBusy([&] {
    return MoveFileExW(wideFrom.c_str(), wideTo.c_str(), flags | MOVEFILE_WRITE_THROUGH) != 0;
  });
}

// Calls |onFile| with the name and find data of each entry of |dir| whose
// name ends with |extension|. Raises like ListFiles.
template <typename OnFile>
void EnumerateDirectory(const std::string& dir, std::string_view extension, OnFile&& onFile) {
  const std::string pattern =
      dir.empty() ? "*" : (IsDirectorySeparator(dir.back()) ? dir + "*" : dir + "/*");
  WIN32_FIND_DATAW data{};
  HANDLE find = FindFirstFileExW(win::WidePath(pattern).c_str(), FindExInfoBasic, &data,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;  // an empty directory
    if (error == ERROR_PATH_NOT_FOUND || error == ERROR_DIRECTORY || error == ERROR_INVALID_NAME) {
      throw Error("The specified path was not found");
    }
    RaiseFileError("Cannot list directory", dir, error);
  }
  struct Closer {
    HANDLE handle;
    ~Closer() { FindClose(handle); }
  } closer{find};
  do {
    const std::string name = win::Narrow(data.cFileName);
    if (name == "." || name == "..") continue;
    if (!EndsWithIgnoreCase(name, extension)) continue;
    onFile(name, data);
  } while (FindNextFileW(find, &data));
}

bool IsRegular(const WIN32_FIND_DATAW& data) {
  return (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace

// Moves with MOVEFILE_WRITE_THROUGH are durable when they return; there is
// nothing left to flush in a directory.
bool SyncDirectory(const std::string& dir) { return DirectoryExists(dir); }

std::string SyncDirectoryCause(const std::string& dir) {
  return DirectoryExists(dir) ? std::string() : win::SystemErrorText(ERROR_PATH_NOT_FOUND);
}

bool FileExists(const std::string& path) {
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

namespace {

// The rights of a directory the library makes, the counterpart of mode 0700:
// full control for the account running the till, the system and the
// administrators, inherited by everything made below it, and nothing taken
// from the folders above. Empty (the folder's default rights) where the
// account cannot be read, so that a till still works.
struct OwnerOnlyRights {
  struct Free {
    void operator()(void* memory) const { LocalFree(memory); }
  };
  std::unique_ptr<void, Free> descriptor;
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};

  OwnerOnlyRights(const OwnerOnlyRights&) = delete;
  OwnerOnlyRights& operator=(const OwnerOnlyRights&) = delete;
  OwnerOnlyRights() {
    const std::wstring account = AccountSid();
    if (account.empty()) return;
    const std::wstring sddl = L"D:P(A;OICI;FA;;;" + account + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &made,
                                                              nullptr)) {
      return;
    }
    descriptor.reset(made);
    attributes.lpSecurityDescriptor = made;
  }

  SECURITY_ATTRIBUTES* get() { return descriptor ? &attributes : nullptr; }

  // The account of the calling thread (an impersonated one included) as text.
  static std::wstring AccountSid() {
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      return std::wstring();
    }
    win::Handle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size ? size : 1]);
    LPWSTR text = nullptr;
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.get(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &text)) {
      return std::wstring();
    }
    std::wstring sid(text);
    LocalFree(text);
    return sid;
  }
};

}  // namespace

bool ForceDirectories(const std::string& path, std::string* failure) {
  if (path.empty()) return false;
  std::string trimmed = path;
  while (trimmed.size() > 1 && IsDirectorySeparator(trimmed.back())) trimmed.pop_back();
  if (DirectoryExists(trimmed)) return true;
  const auto fail = [&](DWORD error) {
    if (failure) {
      *failure = "Cannot create folder \"" + trimmed + "\": " + win::SystemErrorText(error);
    }
    return false;
  };
  // A drive ("C:") or a share root exists or does not; it cannot be made.
  if (trimmed.size() == 2 && trimmed[1] == ':') return fail(ERROR_PATH_NOT_FOUND);
  const size_t slash = LastSeparator(trimmed);
  if (slash != std::string::npos && slash > 0) {
    if (!ForceDirectories(trimmed.substr(0, slash), failure)) return false;
  }
  OwnerOnlyRights rights;
  if (CreateDirectoryW(win::WidePath(trimmed).c_str(), rights.get())) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS && DirectoryExists(trimmed)) return true;
  return fail(error == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : error);
}

namespace {

// The names the system keeps for devices, in every folder: "CON" or
// "con.txt" opens the console, not a file.
bool IsDeviceName(std::string_view name) {
  std::string stem(name.substr(0, name.find('.')));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (stem == device) return true;
  }
  if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0)) {
    return stem[3] >= '0' && stem[3] <= '9';
  }
  // COM and LPT with a superscript 1, 2 or 3 (UTF-8 C2 B9, C2 B2, C2 B3).
  if (stem.size() == 5 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0)) {
    const auto hi = static_cast<unsigned char>(stem[3]);
    const auto lo = static_cast<unsigned char>(stem[4]);
    return hi == 0xC2 && (lo == 0xB9 || lo == 0xB2 || lo == 0xB3);
  }
  return false;
}

}  // namespace

std::string FolderNameProblem(std::string_view name) {
  if (name.empty()) return std::string();
  if (name.find_first_of(":*?") != std::string_view::npos) {
    return "it holds ':', '*' or '?'";
  }
  if (name.back() == '.') return "it ends in a dot";
  if (name.back() == ' ') return "it ends in a space";
  if (IsDeviceName(name)) return "it is the name of a device";
  return std::string();
}

std::string StoredName(const std::string& path) {
  // Wildcards would match other entries; no stored name holds one.
  if (path.find_first_of("*?") != std::string::npos) return std::string();
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(win::WidePath(path).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return std::string();
  FindClose(search);
  return win::Narrow(found.cFileName);
}

namespace {

// Writes the bytes to a new temporary file beside |path|, flushed to disk;
// returns its name. Raises naming |path| when it cannot.
std::string WriteTemporary(const std::string& path, std::string_view bytes) {
  const std::string temp = TemporaryNameFor(path);
  const std::wstring wideTemp = win::WidePath(temp);
  // Others may read it meanwhile, but not write it.
  win::Handle file(OpenWaitingWhileBusy(wideTemp, GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL));
  if (!file.valid()) RaiseFileError("Cannot create file", path, GetLastError());
  const auto fail = [&](const char* what, DWORD error) {
    file.Close();
    ::DeleteFileW(wideTemp.c_str());
    RaiseFileError(what, path, error);
  };
  if (!WriteAll(file.get(), bytes)) fail("Cannot write file", GetLastError());
  if (!FlushFileBuffers(file.get())) fail("Cannot flush file", GetLastError());
  if (!file.Close()) fail("Cannot write file", GetLastError());
  return temp;
}

}  // namespace

void WriteFileAtomic(const std::string& path, std::string_view bytes) {
  const std::string temp = WriteTemporary(path, bytes);
  if (!Move(temp, path, MOVEFILE_REPLACE_EXISTING)) {
    const DWORD error = GetLastError();
    ::DeleteFileW(win::WidePath(temp).c_str());
    RaiseFileError("Cannot replace file", path, error);
  }
}

void WriteFileNoReplace(const std::string& path, std::string_view bytes) {
  const std::string temp = WriteTemporary(path, bytes);
  if (!Move(temp, path, 0)) {
    const DWORD error = GetLastError();
    ::DeleteFileW(win::WidePath(temp).c_str());
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
      throw Error("File already exists \"" + path + "\"");
    }
    RaiseFileError("Cannot create file", path, error);
  }
}

std::string ReadFileBytes(const std::string& path) {
  win::Handle file(OpenWaitingWhileBusy(win::WidePath(path), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
  if (!file.valid()) RaiseFileError("Cannot open file", path, GetLastError());
  std::string bytes;
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) {
      RaiseFileError("Cannot read file", path, GetLastError());
    }
    if (read == 0) break;
    bytes.append(buffer, read);
  }
  return bytes;
}

std::vector<std::string> ListFiles(const std::string& dir, std::string_view extension) {
  std::vector<std::string> files;
  EnumerateDirectory(dir, extension, [&](const std::string& name, const WIN32_FIND_DATAW& data) {
    if (!IsRegular(data)) return;
    // Joined without the character check: a stray name must not stop the listing.
    files.push_back(dir.empty() || IsDirectorySeparator(dir.back()) ? dir + name
                                                                    : dir + "/" + name);
  });
  return files;
}

void ListFilesWithTimes(const std::string& dir, std::string_view extension, TimedListing& into) {
  into.Clear();
  into.fPrefix.append(dir);
  if (!dir.empty() && !IsDirectorySeparator(dir.back())) into.fPrefix.push_back('/');
  try {
    // The enumeration itself carries each file's time: no lookup by name.
    EnumerateDirectory(dir, extension, [&](const std::string& name, const WIN32_FIND_DATAW& data) {
      if (!IsRegular(data)) return;
      into.fFiles.push_back(TimedListing::File{0, static_cast<uint32_t>(into.fNames.size()),
                                               static_cast<uint32_t>(name.size()),
                                               UnixMillisOf(data.ftLastWriteTime), true});
      into.fNames.append(name).push_back('\0');
    });
  } catch (...) {
    into.Clear();
    throw;
  }
}

std::vector<std::string> ReadSubdirectories(const std::string& dir) {
  if (!DirectoryExists(dir)) return {};
  std::vector<std::string> dirs;
  EnumerateDirectory(dir, "", [&](const std::string& name, const WIN32_FIND_DATAW& data) {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return;
    dirs.push_back(dir.empty() || IsDirectorySeparator(dir.back()) ? dir + name : dir + "/" + name);
  });
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

std::vector<std::string> ListSubdirectories(const std::string& dir) {
  std::vector<std::string> dirs;
  try {
    EnumerateDirectory(dir, "", [&](const std::string& name, const WIN32_FIND_DATAW& data) {
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return;
      dirs.push_back(dir.empty() || IsDirectorySeparator(dir.back()) ? dir + name
                                                                     : dir + "/" + name);
    });
  } catch (const Error&) {
    return {};
  }
  std::sort(dirs.begin(), dirs.end());
  return dirs;
}

int64_t FileModifiedUnixMillis(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(win::WidePath(path).c_str(), GetFileExInfoStandard, &data)) {
    RaiseFileError("Cannot read the time of file", path, GetLastError());
  }
  return UnixMillisOf(data.ftLastWriteTime);
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  win::Handle file(CreateFileW(win::WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  return FileIdentity{
      info.dwVolumeSerialNumber,
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
      static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow),
      (TicksOf(info.ftLastWriteTime) - kUnixEpochTicks) * 100};
}

// Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
MoveOutcome RenameNoReplace(const std::string& from, const std::string& to) {
  if (Move(from, to, 0)) return MoveOutcome{MoveOutcome::kMoved, std::string()};
  const DWORD error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
    return MoveOutcome{MoveOutcome::kTargetExists, std::string()};
  }
  if (error == ERROR_FILE_NOT_FOUND && AttributesOf(from) == INVALID_FILE_ATTRIBUTES &&
      GetLastError() == ERROR_FILE_NOT_FOUND) {
    return MoveOutcome{MoveOutcome::kSourceMissing, std::string()};
  }
  return MoveOutcome{MoveOutcome::kFailed, win::SystemErrorText(error)};
}

MoveOutcome MoveFileNoReplace(const std::string& from, const std::string& to) {
  return RenameNoReplace(from, to);
}

bool MoveFileReplace(const std::string& from, const std::string& to) {
  return Move(from, to, MOVEFILE_REPLACE_EXISTING);
}

bool DeleteFile(const std::string& path) {
  const std::wstring widePath = win::WidePath(path);
  return RetryWhileBusy([&] { return ::DeleteFileW(widePath.c_str()) != 0; });
}

namespace {
// The byte locked: far beyond the recorded process id, which others must
// still be able to read while the lock is held.
constexpr DWORD kOwnerLockOffset = 0x7fffffff;
}  // namespace

std::unique_ptr<OwnerLock> OwnerLock::TryTake(const std::string& path, std::string& aHolder) {
  HANDLE file = CreateFileW(win::WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) RaiseFileError("Cannot open file", path, GetLastError());
  OVERLAPPED at{};
  at.Offset = kOwnerLockOffset;
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
      CloseHandle(file);
      RaiseFileError("Cannot lock file", path, error);
    }
    char text[32] = {};
    DWORD read = 0;
    const bool ok = ReadFile(file, text, sizeof text - 1, &read, nullptr) != 0;
    CloseHandle(file);
    aHolder = HolderOf(std::string_view(text, ok ? read : 0));
    return nullptr;
  }
  // The process id is for people and for a refused opening's message; the
  // lock itself is what counts.
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
  DWORD written = 0;
  if (SetEndOfFile(file)) {
    WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
  }
  return std::unique_ptr<OwnerLock>(new OwnerLock(path, reinterpret_cast<intptr_t>(file)));
}

OwnerLock::~OwnerLock() { CloseHandle(reinterpret_cast<HANDLE>(fHandle)); }

std::string MakeScratchDirectory(const std::string& prefix) {
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) {
    throw Error("Cannot find the folder for temporary files: " +
                win::SystemErrorText(GetLastError()));
  }
  std::string base = win::Narrow(std::wstring_view(temp, length));
  std::replace(base.begin(), base.end(), '\\', '/');
  if (!base.empty() && base.back() != '/') base += '/';
  // CreateDirectoryW fails on a name that exists, so the first name it makes
  // is ours alone; the folder inherits the user's temporary folder's rights.
  const uint64_t seed = (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ GetTickCount64();
  DWORD error = ERROR_ALREADY_EXISTS;
  for (uint64_t attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
    const std::string path = base + prefix + std::to_string(seed + attempt * 7919);
    if (CreateDirectoryW(win::WidePath(path).c_str(), nullptr)) return path;
    error = GetLastError();
  }
  throw Error("Cannot make a scratch directory in \"" + base +
              "\": " + win::SystemErrorText(error));
}

}  // namespace qx
