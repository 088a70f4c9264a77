// Files and directories: the join rule, atomic writes, text lines with
// byte-order marks, listings, times and moves.
// Built for Linux and, under Wine, for Windows: each system's implementation
// of the store's file operations must keep the same rules.
#include "platform/files.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#undef DeleteFile

#include "platform/win/wide.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdint>
#include <filesystem>

#include "platform/error.h"

namespace qx {
namespace {

// Sets a file's modification time to |unixMillis| plus |extraNanos|.
void SetModified(const std::string& path, int64_t unixMillis, int64_t extraNanos = 0) {
#ifdef _WIN32
  // 100-nanosecond ticks since 1601.
  const int64_t ticks = unixMillis * 10000 + extraNanos / 100 + 116444736000000000LL;
  const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
  CloseHandle(file);
#else
  const struct timespec times[2] = {
      {0, UTIME_OMIT}, {unixMillis / 1000, (unixMillis % 1000) * 1000000 + extraNanos}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
#endif
}

// The permission bits of a path; the store keeps them private on POSIX
// systems (Windows has access lists instead, checked by the Wine day).
void ExpectPrivateMode(const std::string& path, unsigned mode) {
#ifdef _WIN32
  (void)path;
  (void)mode;
#else
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, mode) << path;
#endif
}

// A fresh scratch directory, removed with its content afterwards.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeScratchDirectory("qx_files_"); }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

TEST(JoinPathTest, EdgeCases) {
  EXPECT_EQ(JoinPath("", "T01"), "T01");
  EXPECT_EQ(JoinPath("/var/lib/QX_SRT_DB", ""), "/var/lib/QX_SRT_DB");
  EXPECT_EQ(JoinPath("/var/lib/QX_SRT_DB", "T01"), "/var/lib/QX_SRT_DB/T01");
  EXPECT_EQ(JoinPath("/var/lib/QX_SRT_DB/", "T01"), "/var/lib/QX_SRT_DB/T01");
  EXPECT_EQ(JoinPath("root\\", "T01"), "root\\T01");
  EXPECT_EQ(JoinPath("C:", "T01"), "C:T01");
  EXPECT_EQ(JoinPath("/data", "/abs/name"), "/abs/name");
  EXPECT_EQ(JoinPath("/data", "\\name"), "\\name");
  EXPECT_EQ(JoinPath("", ""), "");
}

TEST(JoinPathTest, InvalidCharactersInEitherPart) {
  for (const std::string& bad :
       {std::string("a\x01"), std::string("a\tb"), std::string("a\"b"), std::string("a<b"),
        std::string("a>b"), std::string("a|b"), std::string("a\0b", 3)}) {
    for (const auto& [dir, name] : {std::pair{bad, std::string("x")}, {std::string("d"), bad}}) {
      try {
        JoinPath(dir, name);
        ADD_FAILURE() << "accepted " << dir << " + " << name;
      } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "Invalid characters in path");
      }
    }
  }
  EXPECT_NO_THROW(CheckPathCharacters("T01 :*?\xC3\xA8"));
}

TEST_F(FilesTest, ForceDirectoriesCreatesParentsPrivately) {
  const std::string deep = Path("a/b/c/");
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(DirectoryExists(Path("a/b/c")));
  EXPECT_TRUE(ForceDirectories(deep));  // already there
  ExpectPrivateMode(Path("a/b"), 0700u);
  WriteFileAtomic(Path("file"), "x");
  // The first folder that could not be made is named with the system's cause.
  std::string failure;
  EXPECT_FALSE(ForceDirectories(Path("file/sub/deeper"), &failure));
  const std::string named = "Cannot create folder \"" + Path("file") + "\": ";
  EXPECT_EQ(failure.rfind(named, 0), 0u) << failure;
  EXPECT_GT(failure.size(), named.size());
  EXPECT_FALSE(ForceDirectories(""));
}

// Names that are one folder to Windows though they differ as till ids, and
// what each system says of them.
TEST_F(FilesTest, FolderNamesFollowTheSystemsRules) {
  struct Case {
    const char* name;
    const char* windowsProblem;  // empty: a folder of its own
  };
  const Case cases[] = {
      {"T01", ""},
      {"T.01", ""},
      {"CONSOLE", ""},
      {"COM10", ""},
      {"LPT", ""},
      {"T01.", "it ends in a dot"},
      {"T01 ", "it ends in a space"},
      {"T01:x", "it holds ':', '*' or '?'"},
      {"T*", "it holds ':', '*' or '?'"},
      {"con", "it is the name of a device"},
      {"NUL.txt", "it is the name of a device"},
      {"Com1", "it is the name of a device"},
      {"LPT9.log", "it is the name of a device"},
      {"AUX .x", "it is the name of a device"},
      {"COM\xC2\xB9", "it is the name of a device"},
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    EXPECT_EQ(FolderNameProblem(c.name), c.windowsProblem) << c.name;
#else
    EXPECT_EQ(FolderNameProblem(c.name), "") << c.name;
#endif
  }
  // The stored spelling of an entry: Windows finds "t01" as "T01".
  ASSERT_TRUE(ForceDirectories(Path("T01")));
  EXPECT_EQ(StoredName(Path("T01")), "T01");
  EXPECT_EQ(StoredName(Path("T02")), "");
#ifdef _WIN32
  EXPECT_EQ(StoredName(Path("t01")), "T01");
#else
  EXPECT_EQ(StoredName(Path("t01")), "");
#endif
}

// A data root may sit deep enough that a till's files pass the classic
// Windows path limit of 260 characters.
TEST_F(FilesTest, AStoreBeyondTheClassicPathLimitWorks) {
  std::string dir = Path("deep");
  while (dir.size() < 300) dir += "/" + std::string(40, 'd');
  ASSERT_TRUE(ForceDirectories(dir + "/Queue"));
  const std::string queued = dir + "/Queue/T01-0001-0001.srtd";
  WriteFileNoReplace(queued, "receipt");
  WriteFileAtomic(dir + "/QX_counters.actual.srtc", "counters");
  WriteFileAtomic(dir + "/QX_counters.actual.srtc", "counters 2");
  EXPECT_EQ(ReadFileBytes(dir + "/QX_counters.actual.srtc"), "counters 2");
  EXPECT_EQ(ListFiles(dir + "/Queue", ".srtd"), (std::vector<std::string>{queued}));
  EXPECT_GT(FileModifiedUnixMillis(queued), 0);
  EXPECT_EQ(ListSubdirectories(dir), (std::vector<std::string>{dir + "/Queue"}));
  ASSERT_TRUE(ForceDirectories(dir + "/Processed"));
  EXPECT_EQ(MoveFileNoReplace(queued, dir + "/Processed/T01-0001-0001.srtd").kind,
            MoveOutcome::kMoved);
  EXPECT_TRUE(SyncDirectory(dir + "/Processed"));
  EXPECT_EQ(StoredName(dir + "/Processed"), "Processed");
  EXPECT_TRUE(DeleteFile(dir + "/Processed/T01-0001-0001.srtd"));
  EXPECT_TRUE(ListFiles(dir + "/Processed", ".srtd").empty());
#ifdef _WIN32
  // Wine has no classic limit; the form of the long paths given to Windows.
  const std::string tail = std::string(260, 'd');
  EXPECT_EQ(win::WidePath("C:/QX/T01"), L"C:/QX/T01");
  EXPECT_EQ(win::WidePath("C:/QX/" + tail), L"\\\\?\\C:\\QX\\" + win::Wide(tail));
  EXPECT_EQ(win::WidePath("\\\\shop\\data/" + tail), L"\\\\?\\UNC\\shop\\data\\" + win::Wide(tail));
#endif
}

TEST_F(FilesTest, WriteAtomicReplacesAndLeavesNoTemporary) {
  const std::string target = Path("QX_counters.actual.srtc");
  WriteFileAtomic(target, "first");
  WriteFileAtomic(target, std::string("second\0binary", 13));
  EXPECT_EQ(ReadFileBytes(target), std::string("second\0binary", 13));
  EXPECT_EQ(Entries(), std::vector<std::string>{"QX_counters.actual.srtc"});
  ExpectPrivateMode(target, 0600u);
  EXPECT_TRUE(FileExists(target));
  EXPECT_FALSE(DirectoryExists(target));
}

TEST_F(FilesTest, FailedWriteNamesTheFileAndChangesNothing) {
  // The target is a directory: the final rename fails after the data was written.
  ASSERT_TRUE(ForceDirectories(Path("busy.srtd")));
  try {
    WriteFileAtomic(Path("busy.srtd"), "data");
    ADD_FAILURE() << "write over a directory succeeded";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("busy.srtd"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(DirectoryExists(Path("busy.srtd")));
  EXPECT_EQ(Entries(), std::vector<std::string>{"busy.srtd"});
  EXPECT_THROW(WriteFileAtomic(Path("missing/x.srtd"), "data"), Error);
  EXPECT_THROW(ReadFileBytes(Path("missing.srtd")), Error);
}

TEST_F(FilesTest, TextLinesAreCrLfWithoutMarkAndReadBackAnyWay) {
  WriteTextLinesAtomic(Path("headers.srth"), {"SHOP", "", "caff\xC3\xA8"});
  EXPECT_EQ(ReadFileBytes(Path("headers.srth")), "SHOP\r\n\r\ncaff\xC3\xA8\r\n");
  EXPECT_EQ(ReadTextLines(Path("headers.srth")),
            (std::vector<std::string>{"SHOP", "", "caff\xC3\xA8"}));
  WriteTextLinesAtomic(Path("empty.srth"), {});
  EXPECT_EQ(ReadFileBytes(Path("empty.srth")), "");
  EXPECT_TRUE(ReadTextLines(Path("empty.srth")).empty());

  WriteFileAtomic(Path("mixed"), "a\nb\r\nc\rd");
  EXPECT_EQ(ReadTextLines(Path("mixed")), (std::vector<std::string>{"a", "b", "c", "d"}));
  WriteFileAtomic(Path("bom8"), "\xEF\xBB\xBFx\r\ny\r\n");
  EXPECT_EQ(ReadTextLines(Path("bom8")), (std::vector<std::string>{"x", "y"}));
  WriteFileAtomic(Path("bom16le"), std::string("\xFF\xFEx\0\r\0\n\0\xE8\0", 10));
  EXPECT_EQ(ReadTextLines(Path("bom16le")), (std::vector<std::string>{"x", "\xC3\xA8"}));
  WriteFileAtomic(Path("bom16be"), std::string("\xFE\xFF\0x\0\n\0\xE8", 8));
  EXPECT_EQ(ReadTextLines(Path("bom16be")), (std::vector<std::string>{"x", "\xC3\xA8"}));
}

TEST_F(FilesTest, ListFilesMatchesExtensionCaseInsensitivelyAndSkipsDirectories) {
  WriteFileAtomic(Path("0001.srtd"), "a");
  WriteFileAtomic(Path("0002.SRTD"), "b");
  WriteFileAtomic(Path("note.txt"), "c");
  WriteFileAtomic(Path("srtd"), "d");
  ASSERT_TRUE(ForceDirectories(Path("sub.srtd")));
  WriteFileAtomic(Path("sub.srtd/0003.srtd"), "e");
  std::vector<std::string> files = ListFiles(dir_, ".srtd");
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{Path("0001.srtd"), Path("0002.SRTD")}));
  EXPECT_EQ(ListFiles(dir_ + "/", ".txt"), std::vector<std::string>{Path("note.txt")});
  try {
    ListFiles(Path("nowhere"), ".srtd");
    ADD_FAILURE() << "listing a missing directory succeeded";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "The specified path was not found");
  }
}

TEST_F(FilesTest, ListFilesWithTimesGivesEachFileItsModificationTime) {
  WriteFileAtomic(Path("0001.srtd"), "a");
  WriteFileAtomic(Path("0002.SRTD"), "b");
  WriteFileAtomic(Path("note.txt"), "c");
  ASSERT_TRUE(ForceDirectories(Path("sub.srtd")));
  SetModified(Path("0002.SRTD"), 1720000000005);
  TimedListing listing;
  ListFilesWithTimes(dir_, ".srtd", listing);
  std::vector<TimedListing::File> files = listing.Files();
  std::sort(files.begin(), files.end(),
            [&](const auto& a, const auto& b) { return listing.Name(a) < listing.Name(b); });
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(listing.Path(files[0]), Path("0001.srtd"));
  EXPECT_EQ(listing.Name(files[0]), "0001.srtd");
  EXPECT_EQ(files[0].modifiedUnixMillis, FileModifiedUnixMillis(Path("0001.srtd")));
  EXPECT_EQ(listing.Path(files[1]), Path("0002.SRTD"));
  EXPECT_EQ(files[1].modifiedUnixMillis, 1720000000005);
  EXPECT_THROW(ListFilesWithTimes(Path("nowhere"), ".srtd", listing), Error);
  EXPECT_TRUE(listing.Files().empty());
}

TEST_F(FilesTest, ModificationTimeToTheMillisecond) {
  WriteFileAtomic(Path("t"), "x");
  SetModified(Path("t"), 1720000000987, 654300);
  EXPECT_EQ(FileModifiedUnixMillis(Path("t")), 1720000000987);
  EXPECT_THROW(FileModifiedUnixMillis(Path("none")), Error);
}

TEST_F(FilesTest, MovesAndDeletes) {
  ASSERT_TRUE(ForceDirectories(Path("Processed")));
  WriteFileAtomic(Path("a.srtd"), "A");
  WriteFileAtomic(Path("Processed/a.srtd"), "old");
  // A name clash, a source that is gone and a move that fails are told apart.
  EXPECT_EQ(MoveFileNoReplace(Path("a.srtd"), Path("Processed/a.srtd")).kind,
            MoveOutcome::kTargetExists);
  const MoveOutcome noDirectory = RenameNoReplace(Path("a.srtd"), Path("none/a.srtd"));
  EXPECT_EQ(noDirectory.kind, MoveOutcome::kFailed);
  EXPECT_FALSE(noDirectory.cause.empty());
  EXPECT_EQ(ReadFileBytes(Path("a.srtd")), "A");
  EXPECT_EQ(ReadFileBytes(Path("Processed/a.srtd")), "old");
  EXPECT_TRUE(MoveFileNoReplace(Path("a.srtd"), Path("Processed/b.srtd")));
  EXPECT_FALSE(FileExists(Path("a.srtd")));
  EXPECT_EQ(ReadFileBytes(Path("Processed/b.srtd")), "A");
  EXPECT_EQ(MoveFileNoReplace(Path("gone"), Path("x")).kind, MoveOutcome::kSourceMissing);
  // The unsynced rename follows the same rules.
  WriteFileAtomic(Path("c.srtd"), "C");
  EXPECT_FALSE(RenameNoReplace(Path("c.srtd"), Path("Processed/b.srtd")));
  EXPECT_EQ(ReadFileBytes(Path("Processed/b.srtd")), "A");
  EXPECT_TRUE(RenameNoReplace(Path("c.srtd"), Path("Processed/c.srtd")));
  EXPECT_TRUE(SyncDirectory(Path("Processed")));
  EXPECT_FALSE(FileExists(Path("c.srtd")));
  EXPECT_FALSE(SyncDirectory(Path("gone")));
  EXPECT_TRUE(MoveFileReplace(Path("Processed/b.srtd"), Path("Processed/a.srtd")));
  EXPECT_EQ(ReadFileBytes(Path("Processed/a.srtd")), "A");
  EXPECT_FALSE(MoveFileReplace(Path("gone"), Path("x")));
  EXPECT_TRUE(DeleteFile(Path("Processed/a.srtd")));
  EXPECT_FALSE(DeleteFile(Path("Processed/a.srtd")));
  EXPECT_EQ(ExtractFileName("/var/lib/QX_SRT_DB/T01/Queue/0001.srtd"), "0001.srtd");
  EXPECT_EQ(ExtractFileName("plain"), "plain");
}

}  // namespace
}  // namespace qx
