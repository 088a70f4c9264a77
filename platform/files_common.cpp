// The part of the files service that is the same on every system: the path
// rules, the text-file form of the data store (CR LF lines, byte-order marks)
// and the listing's naming. The system calls live in each system's own file.
#include <string>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"

namespace qx {
namespace {

bool IsDirectorySeparator(char c) { return c == '/' || c == '\\'; }

// UTF-16 bytes (after the byte-order mark) to UTF-8.
std::string Utf16BytesToUtf8(std::string_view bytes, bool bigEndian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
    const auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
    units += static_cast<char16_t>((hi << 8) | lo);
  }
  return Utf16ToUtf8(units);
}

}  // namespace

std::string OwnerLock::HolderOf(std::string_view aRecorded) {
  while (!aRecorded.empty() && (aRecorded.back() == '\n' || aRecorded.back() == '\r')) {
    aRecorded.remove_suffix(1);
  }
  if (aRecorded.empty() || aRecorded.find_first_not_of("0123456789") != std::string_view::npos) {
    return "unknown";
  }
  return std::string(aRecorded);
}

void CheckPathCharacters(std::string_view path) {
  for (char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '"' || c == '<' || c == '>' || c == '|') {
      throw Error("Invalid characters in path");
    }
  }
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  CheckPathCharacters(dir);
  CheckPathCharacters(name);
  if (dir.empty()) return std::string(name);
  if (name.empty()) return std::string(dir);
  if (IsDirectorySeparator(name.front())) return std::string(name);
  const char last = dir.back();
  if (IsDirectorySeparator(last) || last == ':') return std::string(dir) + std::string(name);
  return std::string(dir) + "/" + std::string(name);
}

namespace {

// The bytes of a text file of |lines|, each ended by CR LF.
std::string TextLinesBytes(const std::vector<std::string>& lines) {
  std::string bytes;
  size_t size = 0;
  for (const auto& line : lines) size += line.size() + 2;
  bytes.reserve(size);
  for (const auto& line : lines) {
    bytes += line;
    bytes += "\r\n";
  }
  return bytes;
}

}  // namespace

void WriteTextLinesAtomic(const std::string& path, const std::vector<std::string>& lines) {
  WriteFileAtomic(path, TextLinesBytes(lines));
}

void WriteTextLinesNoReplace(const std::string& path, const std::vector<std::string>& lines) {
  WriteFileNoReplace(path, TextLinesBytes(lines));
}

std::vector<std::string> ReadTextLines(const std::string& path) {
  std::string bytes = ReadFileBytes(path);
  std::string text;
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    text = bytes.substr(3);
  } else if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0) {
    text = Utf16BytesToUtf8(std::string_view(bytes).substr(2), false);
  } else if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFE\xFF") == 0) {
    text = Utf16BytesToUtf8(std::string_view(bytes).substr(2), true);
  } else {
    text = std::move(bytes);
  }
  std::vector<std::string> lines;
  AppendLines(text, lines);
  return lines;
}

std::string TimedListing::Path(const File& aFile) const {
  std::string path;
  path.reserve(fPrefix.size() + aFile.nameLength);
  path.append(fPrefix).append(Name(aFile));
  return path;
}

void TimedListing::Clear() {
  fPrefix.clear();
  fNames.clear();
  fFiles.clear();
}

std::string ExtractFileName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string::npos ? path : path.substr(slash + 1));
}

}  // namespace qx
