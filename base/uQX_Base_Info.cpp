// Version information: the string-table reader and the version string.
#include "base/uQX_Base_Info.h"

#include "base/uQX_Base.h"
#include "platform/locale.h"
#include "platform/strings.h"

namespace qx {

namespace {

std::string UpperAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// Characters |first|..|first|+|count|-1 (counted from 1, in UTF-16 units) as
// a whole number, or 1 when they are not one.
int NumberAt(const std::u16string& text, size_t first, size_t count) {
  const std::u16string part = first - 1 < text.size() ? text.substr(first - 1, count) : u"";
  int32_t value = 0;
  return TryStrToInt(Utf16ToUtf8(part), value) ? value : 1;
}

}  // namespace

void tQX_ApplicationInfo::Load() { Load(LoadLibraryString); }

void tQX_ApplicationInfo::Load(const tQX_StringLoader& loader) {
  tQX_ApplicationHistory* open = nullptr;
  int missing = 0;
  for (int32_t id = kFirstVersionStringId; missing < kMissingIdsToStop; ++id) {
    const std::string line = TruncateUtf16(loader(id), kStringBufferSize - 1);
    if (line.empty()) {
      ++missing;
      continue;
    }
    missing = 0;
    ProcessLine(line, open);
  }
}

void tQX_ApplicationInfo::ProcessLine(const std::string& line, tQX_ApplicationHistory*& open) {
  const std::string key = UpperAscii(GetField(line, 1, '=', false));
  const std::string value = GetField(line, 2, '=', true);
  if (key == "$APPDESCRIPTION") {
    fDescription = value;
  } else if (key == "$COPYRIGHT") {
    fCopyright = value;
  } else if (key == "$VERSION") {
    fVersion = value;
    auto entry = std::make_unique<tQX_ApplicationHistory>();
    entry->SetVersion(value);
    open = entry.get();
    fHistory.push_back(std::move(entry));
  } else if (open == nullptr) {
    return;  // history keys before the first version are ignored
  } else if (key == "$AUTHOR") {
    open->SetAuthor(value);
  } else if (key == "$RELEASEDATE") {
    const std::u16string text = Utf8ToUtf16(value);
    const TDate date = EncodeDate(NumberAt(text, 7, 4), NumberAt(text, 4, 2), NumberAt(text, 1, 2));
    open->SetReleaseDate(date);
    fReleaseDate = date;
  } else if (key == "$PTEXT" || key == "$TEXT") {
    open->Text().push_back(value);
  }
}

std::string tQX_ApplicationInfo::BuildVersionString() const {
  return "[" + fVersion + " - " + FormatShortDate(fReleaseDate) + "]";
}

std::string FormatShortDate(TDate date) {
  const DateTimeParts parts = DecodeDateTime(date);
  return LocaleShortDate(parts.year, parts.month, parts.day);
}

}  // namespace qx
