// The counters file: reading and writing of kRTSCounters, its text forms of
// dates and amounts, and the string forms of its two enumerations.
#include "manager/uRTServerManager_Counters.h"

#include <cstdio>
#include <optional>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/strings.h"
#include "platform/xml.h"

namespace qx {

namespace {

// A day amount as stored: two decimals (12.50), or the four a sum of weighed
// lines may carry (5.0625). The day's figures are the exact sums of the sealed
// receipt amounts; rounding them here would make the next receipt's daily
// amount, the closing and the verifier disagree after a restart. The reader
// keeps up to four decimals, so files written either way read back unchanged.
std::string FormatStoredMoney(Currency aAmount) {
  return aAmount.RoundTo2() == aAmount ? FormatTwoDecimals(aAmount) : FormatFiscal(aAmount);
}

constexpr int64_t kMillisPerDay = 86400000;

// Reads exactly |count| decimal digits at |pos|.
bool ReadDigits(const std::string& text, size_t& pos, size_t count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return true;
}

bool Expect(const std::string& text, size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

// The text of the root's child |name|, or nullopt when the element is
// missing, empty or holds anything but text.
std::optional<std::string> ChildText(const XmlElement& root, const char* name) {
  const XmlElement child = root.ChildNodes().FindByName(name);
  if (child.IsNull() || child.IsText()) return std::nullopt;
  try {
    return child.GetValue();
  } catch (const Error&) {
    return std::nullopt;
  }
}

}  // namespace

std::string CountersDateToText(TDateTime aLocal) {
  const DateTimeParts p = DecodeDateTime(aLocal);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond);
  std::string text = buf;
  const int offset = LocalOffsetMinutes(aLocal);
  if (offset == 0) return text + "Z";
  const int magnitude = offset < 0 ? -offset : offset;
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", offset < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text + buf;
}

bool CountersTextToDate(const std::string& aText, TDateTime& aUtc) {
  size_t pos = 0;
  DateTimeParts p;
  if (!ReadDigits(aText, pos, 4, p.year) || !Expect(aText, pos, '-') ||
      !ReadDigits(aText, pos, 2, p.month) || !Expect(aText, pos, '-') ||
      !ReadDigits(aText, pos, 2, p.day) || !Expect(aText, pos, 'T') ||
      !ReadDigits(aText, pos, 2, p.hour) || !Expect(aText, pos, ':') ||
      !ReadDigits(aText, pos, 2, p.minute) || !Expect(aText, pos, ':') ||
      !ReadDigits(aText, pos, 2, p.second)) {
    return false;
  }
  if (pos < aText.size() && aText[pos] == '.') {
    ++pos;
    if (!ReadDigits(aText, pos, 3, p.millisecond)) return false;
  }
  int offsetMinutes = 0;
  if (pos < aText.size()) {
    const char sign = aText[pos++];
    if (sign == 'Z') {
      // UTC already.
    } else if (sign == '+' || sign == '-') {
      int hours = 0, minutes = 0;
      if (!ReadDigits(aText, pos, 2, hours) || !Expect(aText, pos, ':') ||
          !ReadDigits(aText, pos, 2, minutes) || minutes > 59) {
        return false;
      }
      offsetMinutes = (hours * 60 + minutes) * (sign == '-' ? -1 : 1);
    } else {
      return false;
    }
  }
  if (pos != aText.size()) return false;

  // Validate the stated date and time as they stand, then shift by the offset
  // on whole calendar days and milliseconds so no rounding creeps in.
  TDateTime check;
  if (!TryEncodeDate(p.year, p.month, p.day, check) || p.hour > 23 || p.minute > 59 ||
      p.second > 59) {
    return false;
  }
  int64_t millis = DaysFromCivil(p.year, p.month, p.day) * kMillisPerDay +
                   ((p.hour * 60 + p.minute) * 60 + p.second) * 1000LL + p.millisecond -
                   offsetMinutes * 60000LL;
  int64_t days = millis / kMillisPerDay;
  int64_t rest = millis % kMillisPerDay;
  if (rest < 0) {
    rest += kMillisPerDay;
    --days;
  }
  DateTimeParts utc;
  CivilFromDays(days, utc.year, utc.month, utc.day);
  utc.hour = static_cast<int>(rest / 3600000);
  utc.minute = static_cast<int>(rest / 60000 % 60);
  utc.second = static_cast<int>(rest / 1000 % 60);
  utc.millisecond = static_cast<int>(rest % 1000);
  try {
    aUtc = EncodeDateTime(utc);
  } catch (const Error&) {
    return false;
  }
  return true;
}

// A cleared record holds nothing of the day it held before: a starting link
// or data source left behind would let a failed read pass for a day's start.
void kRTSCounters::Clear() {
  fDataSource = dsServer;
  fFirstFingerPrint.clear();
  fServerSerialNumber.clear();
  fTillSerialNumber.clear();
  fLastFingerPrint.clear();
  fFirstUpdated = Now();
  fLastUpdated = fFirstUpdated;
  fLastZRepDate = 0;
  fCurrentnRec = 0;
  fCurrentzRep = 0;
  fDailyTotal = Currency();
  fDailySales = Currency();
  fDailyRefunds = Currency();
  fDailyVoids = Currency();
}

bool kRTSCounters::New(const std::string& aTillId) {
  Clear();
  fTillSerialNumber = aTillId;
  return true;
}

bool kRTSCounters::Load(const std::string& aFileName) {
  fFullFileName = aFileName;
  bool loaded = false;
  try {
    loaded = FileExists(aFileName) && ReadFromXml(aFileName);
  } catch (const Error& e) {
    // A bare parse error would leave support guessing which file is meant,
    // and whether the host's receipt is at fault.
    throw Error("Counters file \"" + aFileName + "\" is damaged (" + e.what() +
                "): keep a copy of the till directory and have support repair the file from "
                "its journal copy and the stored receipts (qxtill verify)");
  }
  if (!loaded) Clear();
  return loaded;
}

bool kRTSCounters::Save() {
  WriteToXml(fFullFileName);
  return true;
}

std::string kRTSCounters::CountersTypeToString(tkRTSCountersType aCountersType) {
  return aCountersType == ctPrevious ? "previous" : "actual";
}

tkRTSCountersType kRTSCounters::StringToCountersType(const std::string& aValue) {
  return aValue == "previous" ? ctPrevious : ctActual;
}

std::string kRTSCounters::CountersDataSourceToString(tkRTSCountersDataSource aCountersDataSource) {
  return aCountersDataSource == dsServer ? "server" : "local";
}

tkRTSCountersDataSource kRTSCounters::StringToCountersDataSource(const std::string& aValue) {
  return aValue == "server" ? dsServer : dsLocal;
}

// Every field is assigned as soon as its element has been read, and the first
// element that is missing or unreadable ends the read.
bool kRTSCounters::ReadFromXml(const std::string& aFileName) {
  XmlDocument doc;
  doc.LoadFromFile(aFileName);  // a parse error is the caller's to see
  const XmlElement root = doc.DocumentElement();
  if (root.IsNull()) return false;

  auto text = [&](const char* name, std::string& out) {
    std::optional<std::string> v = ChildText(root, name);
    if (!v) return false;
    out = *v;
    return true;
  };
  auto date = [&](const char* name, TDateTime& out) {
    std::string v;
    return text(name, v) && CountersTextToDate(v, out);
  };
  auto integer = [&](const char* name, int32_t& out) {
    std::string v;
    return text(name, v) && TryStrToInt(v, out);
  };
  auto money = [&](const char* name, Currency& out) {
    std::string v;
    if (!text(name, v)) return false;
    try {
      out = ParseCurrency(v);
    } catch (const Error&) {
      return false;
    }
    return true;
  };

  std::string dataSource;
  if (!text("DataSource", dataSource)) return false;
  fDataSource = StringToCountersDataSource(dataSource);
  return text("ServerSerialNumber", fServerSerialNumber) &&
         text("TillSerialNumber", fTillSerialNumber) && date("FirstUpdated", fFirstUpdated) &&
         date("LastUpdated", fLastUpdated) && date("LastZRepDate", fLastZRepDate) &&
         text("FirstFingerPrint", fFirstFingerPrint) && text("LastFingerPrint", fLastFingerPrint) &&
         integer("CurrentnRec", fCurrentnRec) && integer("CurrentzRep", fCurrentzRep) &&
         money("DailyTotal", fDailyTotal) && money("DailySales", fDailySales) &&
         money("DailyRefunds", fDailyRefunds) && money("DailyVoids", fDailyVoids);
}

void kRTSCounters::WriteToXml(const std::string& aFileName) const {
  XmlDocument doc;
  doc.LoadXml("<RTSCounters/>");
  XmlElement root = doc.DocumentElement();
  auto add = [&](const char* name, const std::string& value) {
    root.AppendChild(name).SetValue(std::string_view(value));
  };
  add("DataSource", CountersDataSourceToString(fDataSource));
  add("ServerSerialNumber", fServerSerialNumber);
  add("TillSerialNumber", fTillSerialNumber);
  add("FirstUpdated", CountersDateToText(fFirstUpdated));
  add("LastUpdated", CountersDateToText(fLastUpdated));
  add("LastZRepDate", CountersDateToText(fLastZRepDate));
  add("FirstFingerPrint", fFirstFingerPrint);
  add("LastFingerPrint", fLastFingerPrint);
  add("CurrentnRec", std::to_string(fCurrentnRec));
  add("CurrentzRep", std::to_string(fCurrentzRep));
  add("DailyTotal", FormatStoredMoney(fDailyTotal));
  add("DailySales", FormatStoredMoney(fDailySales));
  add("DailyRefunds", FormatStoredMoney(fDailyRefunds));
  add("DailyVoids", FormatStoredMoney(fDailyVoids));
  doc.SaveToFile(aFileName);
}

}  // namespace qx
