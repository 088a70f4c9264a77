// The running fiscal counters of one till for one fiscal day, and the small
// XML file ("counters file") that keeps them across restarts. The till manager
// holds two: the actual day's, saved after every change, and the previous
// (last closed) day's, from which a new day can be opened locally.
#pragma once

#include <string>

#include "platform/currency.h"
#include "platform/datetime.h"

namespace qx {

enum tkRTSCountersType { ctPrevious, ctActual };
enum tkRTSCountersDataSource { dsServer, dsLocal };

class kRTSCounters {
 public:
  kRTSCounters() = default;

  // Clears every value of the day: DataSource back to dsServer, serial
  // numbers and both fingerprints empty, FirstUpdated and LastUpdated now,
  // LastZRepDate, the numbers and the amounts zero. Only the record's
  // identity, FullFileName and CounterType, stays.
  void Clear();
  // Clear, then TillSerialNumber := aTillId.
  bool New(const std::string& aTillId);
  // FullFileName := aFileName; reads the file. False (and cleared) when the
  // file is missing or any value is missing, empty or unreadable. A file that
  // is not well-formed XML raises the parser's error.
  bool Load(const std::string& aFileName);
  // Writes the counters file at FullFileName atomically and durably; raises on failure.
  bool Save();

  static std::string CountersTypeToString(tkRTSCountersType aCountersType);
  static tkRTSCountersType StringToCountersType(const std::string& aValue);
  static std::string CountersDataSourceToString(tkRTSCountersDataSource aCountersDataSource);
  static tkRTSCountersDataSource StringToCountersDataSource(const std::string& aValue);

  const std::string& FullFileName() const { return fFullFileName; }
  void SetFullFileName(const std::string& v) { fFullFileName = v; }
  tkRTSCountersType CounterType() const { return fCounterType; }
  void SetCounterType(tkRTSCountersType v) { fCounterType = v; }
  tkRTSCountersDataSource DataSource() const { return fDataSource; }
  void SetDataSource(tkRTSCountersDataSource v) { fDataSource = v; }
  const std::string& ServerSerialNumber() const { return fServerSerialNumber; }
  void SetServerSerialNumber(const std::string& v) { fServerSerialNumber = v; }
  const std::string& TillSerialNumber() const { return fTillSerialNumber; }
  void SetTillSerialNumber(const std::string& v) { fTillSerialNumber = v; }
  TDateTime FirstUpdated() const { return fFirstUpdated; }
  void SetFirstUpdated(TDateTime v) { fFirstUpdated = v; }
  TDateTime LastUpdated() const { return fLastUpdated; }
  void SetLastUpdated(TDateTime v) { fLastUpdated = v; }
  TDateTime LastZRepDate() const { return fLastZRepDate; }
  void SetLastZRepDate(TDateTime v) { fLastZRepDate = v; }
  const std::string& FirstFingerPrint() const { return fFirstFingerPrint; }
  void SetFirstFingerPrint(const std::string& v) { fFirstFingerPrint = v; }
  const std::string& LastFingerPrint() const { return fLastFingerPrint; }
  void SetLastFingerPrint(const std::string& v) { fLastFingerPrint = v; }
  int32_t CurrentnRec() const { return fCurrentnRec; }
  void SetCurrentnRec(int32_t v) { fCurrentnRec = v; }
  int32_t CurrentzRep() const { return fCurrentzRep; }
  void SetCurrentzRep(int32_t v) { fCurrentzRep = v; }
  Currency DailyTotal() const { return fDailyTotal; }
  void SetDailyTotal(Currency v) { fDailyTotal = v; }
  Currency DailySales() const { return fDailySales; }
  void SetDailySales(Currency v) { fDailySales = v; }
  Currency DailyRefunds() const { return fDailyRefunds; }
  void SetDailyRefunds(Currency v) { fDailyRefunds = v; }
  Currency DailyVoids() const { return fDailyVoids; }
  void SetDailyVoids(Currency v) { fDailyVoids = v; }

 private:
  bool ReadFromXml(const std::string& aFileName);
  void WriteToXml(const std::string& aFileName) const;

  std::string fFullFileName;
  tkRTSCountersType fCounterType = ctPrevious;
  tkRTSCountersDataSource fDataSource = dsServer;
  std::string fServerSerialNumber;
  std::string fTillSerialNumber;
  TDateTime fFirstUpdated = 0;
  TDateTime fLastUpdated = 0;
  TDateTime fLastZRepDate = 0;
  std::string fFirstFingerPrint;
  std::string fLastFingerPrint;
  int32_t fCurrentnRec = 0;
  int32_t fCurrentzRep = 0;
  Currency fDailyTotal;
  Currency fDailySales;
  Currency fDailyRefunds;
  Currency fDailyVoids;
};

// The counters file's date forms, shared with the tests. Written: the value as
// local time, "YYYY-MM-DDThh:mm:ss.fff" and the local offset ("+02:00") or "Z".
// Read: the same layout, offset optional, converted to UTC; false when the
// text does not have that layout or names no existing date and time.
std::string CountersDateToText(TDateTime aLocal);
bool CountersTextToDate(const std::string& aText, TDateTime& aUtc);

}  // namespace qx
