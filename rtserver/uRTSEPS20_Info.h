// What the RT server says about itself (the "serverInfo" status report) and
// the receipt header lines every receipt of the till shows (direct command
// 3216, one request per line). The day opening reads the header lines, the
// till manager caches them, and receipt signing returns them to the host.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/datetime.h"
#include "rtserver/uRTSEPS20.h"

namespace qx {

class kEPSRTServer_Info : public kEPSRTServer_Api {
 public:
  // At most this many header lines are asked for.
  static constexpr int kMaxHeaderLines = 16;
  // Width of a header line inside its reply, after the two leading characters.
  static constexpr size_t kHeaderLineWidth = 40;

  explicit kEPSRTServer_Info(kEPSRTServer& aServer);

  // Asks for the server information. False (nothing changed) when the
  // exchange fails; a reply whose numeric or date element is missing or does
  // not convert raises, the fields read before it keeping their new values.
  bool Get() override;

  const std::string& RTType() const { return fRTType; }
  void SetRTType(std::string aValue) { fRTType = std::move(aValue); }
  const std::string& SerialNumber() const { return fSerialNumber; }
  void SetSerialNumber(std::string aValue) { fSerialNumber = std::move(aValue); }
  bool DailyOpen() const { return fDailyOpen; }
  void SetDailyOpen(bool aValue) { fDailyOpen = aValue; }
  const std::string& MainStatus() const { return fMainStatus; }
  void SetMainStatus(std::string aValue) { fMainStatus = std::move(aValue); }
  const std::string& SubStatus() const { return fSubStatus; }
  void SetSubStatus(std::string aValue) { fSubStatus = std::move(aValue); }
  bool NoWorkingPeriod() const { return fNoWorkingPeriod; }
  void SetNoWorkingPeriod(bool aValue) { fNoWorkingPeriod = aValue; }
  int32_t ZRepNumber() const { return fZRepNumber; }
  void SetZRepNumber(int32_t aValue) { fZRepNumber = aValue; }
  int32_t FileToSend() const { return fFileToSend; }
  void SetFileToSend(int32_t aValue) { fFileToSend = aValue; }
  int32_t OldFileToSend() const { return fOldFileToSend; }
  void SetOldFileToSend(int32_t aValue) { fOldFileToSend = aValue; }
  int32_t FileRejected() const { return fFileRejected; }
  void SetFileRejected(int32_t aValue) { fFileRejected = aValue; }
  TDate ExpiryCD() const { return fExpiryCD; }
  void SetExpiryCD(TDate aValue) { fExpiryCD = aValue; }
  TDate ExpiryCA() const { return fExpiryCA; }
  void SetExpiryCA(TDate aValue) { fExpiryCA = aValue; }
  bool TrainingMode() const { return fTrainingMode; }
  void SetTrainingMode(bool aValue) { fTrainingMode = aValue; }

  // The receipt header lines in line order. Other owners (the header cache)
  // replace the content directly.
  std::vector<std::string>& Headers() { return fHeaders; }
  const std::vector<std::string>& Headers() const { return fHeaders; }

 private:
  friend class kEPSRTServer;  // GetServerHeaders

  // Re-reads the header lines: line 1, 2, ... until a blank line, a reply
  // without line data, or line 16. False when an exchange failed; the lines
  // read before it stay.
  bool GetHeaders();
  // Reads the line of the last reply; empty when the reply holds none.
  std::string ReadHeaderLine() const;

  std::string fRTType;
  std::string fSerialNumber;
  bool fDailyOpen = false;
  std::string fMainStatus;
  std::string fSubStatus;
  bool fNoWorkingPeriod = false;
  int32_t fZRepNumber = 0;
  int32_t fFileToSend = 0;
  int32_t fOldFileToSend = 0;
  int32_t fFileRejected = 0;
  TDate fExpiryCD = 0;
  TDate fExpiryCA = 0;
  bool fTrainingMode = false;
  std::vector<std::string> fHeaders;
};

}  // namespace qx
