// The till's VAT departments: the taxed departments 1 to 9 read from the RT
// server (direct command 4205, one request each) followed by six fixed exempt
// departments coded "N1" to "N6". Receipt lines book their amounts on them by
// index. The table turns into a one-line XML text and back, which the till
// manager caches so that it can sell while the server cannot be asked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/currency.h"
#include "rtserver/uRTSEPS20.h"

namespace qx {

// One VAT department.
class kEPSRTServer_VAT {
 public:
  kEPSRTServer_VAT() = default;
  kEPSRTServer_VAT(int32_t aIndex, std::string aCode, Currency aRate)
      : fIndex(aIndex), fCode(std::move(aCode)), fRate(aRate) {}

  // 1 to 9 for taxed departments; 0 and 10 to 14 for the exempt kinds.
  int32_t Index() const { return fIndex; }
  void SetIndex(int32_t aValue) { fIndex = aValue; }
  // The four-digit rate text in hundredths of a percent ("2200"), or "N1".."N6".
  const std::string& Code() const { return fCode; }
  void SetCode(std::string aValue) { fCode = std::move(aValue); }
  // The rate in percent (22 for 22 %); 0 for the exempt kinds.
  Currency Rate() const { return fRate; }
  void SetRate(Currency aValue) { fRate = aValue; }

 private:
  int32_t fIndex = 0;
  std::string fCode;
  Currency fRate;
};

using kEPSRTServer_VATList = std::vector<std::unique_ptr<kEPSRTServer_VAT>>;

class kEPSRTServer_VATMap : public kEPSRTServer_Api {
 public:
  explicit kEPSRTServer_VATMap(kEPSRTServer& aServer);

  // Rebuilds the table from the server: nine requests, then the exempt
  // departments. On a failed exchange, or a reply that cannot be read, the
  // table is left empty: a partial table is never kept.
  bool Get() override;

  // The first department with that index or code (code compared exactly);
  // nullptr when there is none. The entry stays owned by the table and lives
  // until the table is next emptied.
  kEPSRTServer_VAT* GetVATbyIndex(int32_t aVATIndex) const;
  kEPSRTServer_VAT* GetVATbyCode(std::string_view aVATCode) const;

  // "<VATMap><VAT><Index>1</Index><Code>2200</Code><Rate>22</Rate></VAT>...</VATMap>",
  // one line, no declaration; "<VATMap/>" for an empty table.
  std::string Serialize() const;
  // Replaces the table by the one in |aString| (children named "VAT" of the
  // document element, whatever that is named). Malformed text, or a VAT
  // element lacking or holding unconvertible Index, Code or Rate, raises and
  // leaves the table as it was.
  bool Deserialize(std::string_view aString);

  kEPSRTServer_VATList& VATs() { return fVATs; }
  const kEPSRTServer_VATList& VATs() const { return fVATs; }

 private:
  kEPSRTServer_VATList fVATs;
};

}  // namespace qx
