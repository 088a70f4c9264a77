// The tills the RT server knows: the till map (each till's day state and
// running totals) and the day tokens. A token is the fixed-layout text the
// server returns when it opens a till's fiscal day; the day opening takes it
// as the first link of the day's fingerprint chain and seeds the till's
// counters from the serial number, date, Z-report number, next document
// number and running amount packed into it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/currency.h"
#include "platform/datetime.h"
#include "rtserver/uRTSEPS20.h"

namespace qx {

enum tkEPSRTServer_TillStatus : int {
  EPSts_Closed,
  EPSts_Open,
  EPSts_Closing,
  EPSts_ClosedWithZRepToSend,
  EPSts_Unknown,
};

// One till of the server's till map.
class kEPSRTServer_Till {
 public:
  // "0" to "3" give the four known states; any other text EPSts_Unknown.
  static tkEPSRTServer_TillStatus StringToTillStatus(std::string_view aTillStatus);
  // "Closed", "Open", "Closing", "ClosedWithZRepToSend" or "Unknown".
  static std::string TillStatusToString(tkEPSRTServer_TillStatus aTillStatus);

  const std::string& Id() const { return fId; }
  void SetId(std::string aValue) { fId = std::move(aValue); }
  bool DailyOpen() const { return fDailyOpen; }
  void SetDailyOpen(bool aValue) { fDailyOpen = aValue; }
  tkEPSRTServer_TillStatus TillStatus() const { return fTillStatus; }
  void SetTillStatus(tkEPSRTServer_TillStatus aValue) { fTillStatus = aValue; }
  int32_t ZRepNumber() const { return fZRepNumber; }
  void SetZRepNumber(int32_t aValue) { fZRepNumber = aValue; }
  int32_t RecNumber() const { return fRecNumber; }
  void SetRecNumber(int32_t aValue) { fRecNumber = aValue; }
  Currency DailyAmount() const { return fDailyAmount; }
  void SetDailyAmount(Currency aValue) { fDailyAmount = aValue; }

 private:
  std::string fId;
  bool fDailyOpen = false;
  tkEPSRTServer_TillStatus fTillStatus = EPSts_Closed;
  int32_t fZRepNumber = 0;
  int32_t fRecNumber = 0;
  Currency fDailyAmount;
};

using kEPSRTServer_TillList = std::vector<std::unique_ptr<kEPSRTServer_Till>>;

class kEPSRTServer_TillMap : public kEPSRTServer_Api {
 public:
  explicit kEPSRTServer_TillMap(kEPSRTServer& aServer);

  // Replaces the map by the server's. False (map unchanged) when the exchange
  // fails. A reply without tillCount, or a till entry whose numbers do not
  // convert, raises; the tills read before it stay in the map.
  bool Get() override;

  // The first till whose id equals |aTillId| exactly; nullptr when none. The
  // till stays owned by the map.
  kEPSRTServer_Till* GetTill(std::string_view aTillId) const;

  int32_t TillCount() const { return fTillCount; }
  void SetTillCount(int32_t aValue) { fTillCount = aValue; }
  kEPSRTServer_TillList& Tills() { return fTills; }
  const kEPSRTServer_TillList& Tills() const { return fTills; }

 private:
  // One till from the name="value" pairs that a till entry holds as text.
  static std::unique_ptr<kEPSRTServer_Till> ReadTill(XmlElement aEntry);

  int32_t fTillCount = 0;
  kEPSRTServer_TillList fTills;
};

// A till's day token and the values read from its fixed slices.
class kEPSRTServer_Token {
 public:
  // Token layout, 1-based character positions.
  static constexpr size_t kSerialFirst = 1, kSerialLength = 11;
  static constexpr size_t kYearFirst = 25, kMonthFirst = 29, kDayFirst = 31;
  static constexpr size_t kZRepFirst = 33, kZRepLength = 4;
  static constexpr size_t kNextDocumentFirst = 37, kNextDocumentLength = 4;
  static constexpr size_t kAmountFirst = 41, kAmountLength = 9;

  // Stores |Value| as the token and reads its slices, in order: serial
  // number, date, Z-report number, next document number, amount (hundredths).
  // A slice that is short or not all digits, or a date that does not exist,
  // raises the conversion error; what was assigned before it (at least the
  // token text) keeps its new value.
  void ApplyToken(const std::string& Value);

  const std::string& TillId() const { return fTillId; }
  void SetTillId(std::string aValue) { fTillId = std::move(aValue); }
  const std::string& Token() const { return fToken; }
  void SetToken(const std::string& aValue) { ApplyToken(aValue); }
  const std::string& ServerSerialNumber() const { return fServerSerialNumber; }
  void SetServerSerialNumber(std::string aValue) { fServerSerialNumber = std::move(aValue); }
  TDateTime ServerDate() const { return fServerDate; }
  void SetServerDate(TDateTime aValue) { fServerDate = aValue; }
  int32_t ZRepNumber() const { return fZRepNumber; }
  void SetZRepNumber(int32_t aValue) { fZRepNumber = aValue; }
  int32_t NextDocumentNumber() const { return fNextDocumentNumber; }
  void SetNextDocumentNumber(int32_t aValue) { fNextDocumentNumber = aValue; }
  Currency DailyAmount() const { return fDailyAmount; }
  void SetDailyAmount(Currency aValue) { fDailyAmount = aValue; }

 private:
  std::string fTillId;
  std::string fToken;
  std::string fServerSerialNumber;
  TDateTime fServerDate = 0;
  int32_t fZRepNumber = 0;
  int32_t fNextDocumentNumber = 0;
  Currency fDailyAmount;
};

using kEPSRTServer_TokenList = std::vector<std::unique_ptr<kEPSRTServer_Token>>;

// The day tokens, at most one per till id; never emptied while the client lives.
class kEPSRTServer_TokenMap : public kEPSRTServer_Api {
 public:
  explicit kEPSRTServer_TokenMap(kEPSRTServer& aServer);

  // Not allowed: a token is asked for a till. Raises.
  bool Get() override;

  // Asks the server to open the till's day and keeps the token it returns.
  // False (tokens unchanged) when the exchange fails. A reply without token,
  // or a token that does not read, raises.
  bool CreateToken(const std::string& aTillId);

  // The token of the till whose id equals |aTillId| exactly; nullptr when
  // none. It stays owned by the map and shows later tokens of that till.
  kEPSRTServer_Token* GetToken(std::string_view aTillId) const;

  const kEPSRTServer_TokenList& Tokens() const { return fTokens; }

 private:
  // Replaces the till's token in place, or adds a new entry once its text has
  // been read.
  void StoreToken(const std::string& aTillId, const std::string& aToken);

  kEPSRTServer_TokenList fTokens;
};

}  // namespace qx
