// Z reports, the closures of fiscal days with their totals. The till report
// reads a till's running or closed report with its totals per VAT kind; the
// day closing compares them with the till's own, and the X report refreshes
// them. The same object builds the daily closure request that the day
// closing queues and submits it when the pusher delivers it. The server
// report makes the RT server print its own Z report.
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

enum tkEPSRTZReportType : int {
  rt_current,     // the running report of the current day
  rt_historical,  // a closed report, asked for by number
};

// Makes the server print its own Z report.
class kEPSRTServer_ServerZReport : public kEPSRTServer_Api {
 public:
  explicit kEPSRTServer_ServerZReport(kEPSRTServer& aServer);

  // Not allowed: the server's report is printed, not read. Raises.
  bool Get() override;

  // Prints the report and reads the number and amount the server answers.
  // False (fields unchanged) when the exchange fails; a reply lacking either
  // value, or one that does not convert, raises.
  bool Print();

  int32_t ZRepNumber() const { return fZRepNumber; }
  void SetZRepNumber(int32_t aValue) { fZRepNumber = aValue; }
  Currency DailyAmount() const { return fDailyAmount; }
  void SetDailyAmount(Currency aValue) { fDailyAmount = aValue; }

 private:
  int32_t fZRepNumber = 0;
  Currency fDailyAmount;
};

// One VAT line of a till report.
class kEPSRTServer_VATAmount {
 public:
  // The server's VAT id of the line.
  int32_t Index() const { return fIndex; }
  void SetIndex(int32_t aValue) { fIndex = aValue; }
  // "N1" to "N6" for the exempt kinds, else the rate in hundredths of a
  // percent point, at least four digits ("2200"): the VAT map's codes.
  const std::string& Code() const { return fCode; }
  void SetCode(std::string aValue) { fCode = std::move(aValue); }
  // The rate in percent; 0 for the exempt kinds.
  Currency Rate() const { return fRate; }
  void SetRate(Currency aValue) { fRate = aValue; }
  Currency SalesAmount() const { return fSalesAmount; }
  void SetSalesAmount(Currency aValue) { fSalesAmount = aValue; }
  Currency RefundAmount() const { return fRefundAmount; }
  void SetRefundAmount(Currency aValue) { fRefundAmount = aValue; }
  Currency VoidAmount() const { return fVoidAmount; }
  void SetVoidAmount(Currency aValue) { fVoidAmount = aValue; }

 private:
  int32_t fIndex = 0;
  std::string fCode;
  Currency fRate;
  Currency fSalesAmount;
  Currency fRefundAmount;
  Currency fVoidAmount;
};

using kEPSRTServer_VATAmountList = std::vector<std::unique_ptr<kEPSRTServer_VATAmount>>;

// A till's Z report, and the daily closure request.
class kEPSRTServer_TillZReport : public kEPSRTServer_Api {
 public:
  explicit kEPSRTServer_TillZReport(kEPSRTServer& aServer);

  // Not allowed: a report is asked for a till. Raises.
  bool Get() override;

  // The till's closed report number |zRepNumber|.
  bool Get(const std::string& aTillId, int32_t zRepNumber);
  // The till's running report; the request carries ZRepNumber(), the number
  // of the report read last (0 before any).
  bool GetCurrent(const std::string& aTillid);
  // Both: False (every field but ReportType unchanged) when the exchange
  // fails. A reply lacking tillId, zRepNumber, dailyAmount or vatCount, or a
  // value that does not convert, raises; what was read before it stays.

  // The daily closure request for the till; no server contact.
  static std::string GetMessage(const std::string& aTillid);
  // Submits a daily closure request as it is. Only what the exchange itself
  // reads is read from the reply.
  bool Print(std::string_view aXml);

  // Sums over the VAT lines, exact.
  Currency SalesAmount() const { return SumVATAmounts(kSales); }
  Currency RefundAmount() const { return SumVATAmounts(kRefund); }
  Currency VoidAmount() const { return SumVATAmounts(kVoid); }

  tkEPSRTZReportType ReportType() const { return fReportType; }
  void SetReportType(tkEPSRTZReportType aValue) { fReportType = aValue; }
  const std::string& TillId() const { return fTillId; }
  void SetTillId(std::string aValue) { fTillId = std::move(aValue); }
  int32_t ZRepNumber() const { return fZRepNumber; }
  void SetZRepNumber(int32_t aValue) { fZRepNumber = aValue; }
  TDate ZRepDate() const { return fZRepDate; }
  void SetZRepDate(TDate aValue) { fZRepDate = aValue; }
  int32_t RecNumber() const { return fRecNumber; }
  void SetRecNumber(int32_t aValue) { fRecNumber = aValue; }
  Currency DailyAmount() const { return fDailyAmount; }
  void SetDailyAmount(Currency aValue) { fDailyAmount = aValue; }
  int32_t VATCount() const { return fVATCount; }
  void SetVATCount(int32_t aValue) { fVATCount = aValue; }
  kEPSRTServer_VATAmountList& VATAmounts() { return fVATAmounts; }
  const kEPSRTServer_VATAmountList& VATAmounts() const { return fVATAmounts; }

 private:
  enum AmountKind { kSales, kRefund, kVoid };

  // Reads a till report reply into the object.
  bool ReadReport();
  // One VAT line from the name="value" pairs a vatCount entry holds as text.
  static std::unique_ptr<kEPSRTServer_VATAmount> ReadVATAmount(XmlElement aEntry);
  Currency SumVATAmounts(AmountKind aKind) const;

  tkEPSRTZReportType fReportType = rt_current;
  std::string fTillId;
  int32_t fZRepNumber = 0;
  TDate fZRepDate = 0;
  int32_t fRecNumber = 0;
  Currency fDailyAmount;
  int32_t fVATCount = 0;
  kEPSRTServer_VATAmountList fVATAmounts;
};

}  // namespace qx
