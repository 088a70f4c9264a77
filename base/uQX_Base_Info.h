// The library's version information: description, copyright and release
// history, read from the string table compiled into the library.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/datetime.h"

namespace qx {

// Ids of the library's own version lines.
constexpr int32_t kFirstVersionStringId = 10000;
constexpr int32_t kLastVersionStringId = 10010;

// The string of the library's table with that id; empty when there is none.
std::string LoadLibraryString(int32_t id);

// Looks a string up by id; empty means missing.
using tQX_StringLoader = std::function<std::string(int32_t id)>;

// One release of the history.
class tQX_ApplicationHistory {
 public:
  const std::string& Version() const { return fVersion; }
  void SetVersion(std::string value) { fVersion = std::move(value); }
  TDate ReleaseDate() const { return fReleaseDate; }
  void SetReleaseDate(TDate value) { fReleaseDate = value; }
  const std::string& Author() const { return fAuthor; }
  void SetAuthor(std::string value) { fAuthor = std::move(value); }
  const std::vector<std::string>& Text() const { return fText; }
  std::vector<std::string>& Text() { return fText; }

 private:
  std::string fVersion;
  TDate fReleaseDate = 0;
  std::string fAuthor;
  std::vector<std::string> fText;
};

class tQX_ApplicationInfo {
 public:
  // Strings are read into a buffer of this many characters, the last one
  // being the terminator.
  static constexpr size_t kStringBufferSize = 1024;
  // Loading ends after this many missing ids in a row.
  static constexpr int kMissingIdsToStop = 11;

  // Reads the library's own table.
  void Load();
  // Reads the table |loader| gives, from id 10000 upwards: "$KEY=value" lines
  // set the description, copyright, version and release date and build the
  // history. Raises "Invalid argument to date encode" for a release date that
  // does not exist.
  void Load(const tQX_StringLoader& loader);

  // "[" + version + " - " + release date in the locale's short date form + "]".
  std::string BuildVersionString() const;
  std::string VersionString() const { return BuildVersionString(); }

  const std::string& Description() const { return fDescription; }
  void SetDescription(std::string value) { fDescription = std::move(value); }
  const std::string& Copyright() const { return fCopyright; }
  void SetCopyright(std::string value) { fCopyright = std::move(value); }
  const std::string& Version() const { return fVersion; }
  void SetVersion(std::string value) { fVersion = std::move(value); }
  TDate ReleaseDate() const { return fReleaseDate; }
  void SetReleaseDate(TDate value) { fReleaseDate = value; }
  const std::vector<std::unique_ptr<tQX_ApplicationHistory>>& History() const { return fHistory; }
  std::vector<std::unique_ptr<tQX_ApplicationHistory>>& History() { return fHistory; }

 private:
  void ProcessLine(const std::string& line, tQX_ApplicationHistory*& open);

  std::string fDescription;
  std::string fCopyright;
  std::string fVersion;
  TDate fReleaseDate = 0;
  std::vector<std::unique_ptr<tQX_ApplicationHistory>> fHistory;
};

// The short date form of the user's locale (LC_ALL, else LC_TIME, else LANG).
std::string FormatShortDate(TDate date);

}  // namespace qx
