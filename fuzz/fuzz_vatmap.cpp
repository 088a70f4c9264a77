// The VAT map cache reader: Deserialize of arbitrary text. It must return
// true or raise qx::Error; malformed text leaves the table as it was. A table
// that reads must write out a text that reads back to the same table.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace {

void Require(bool aCondition, const char* aWhat) {
  if (aCondition) return;
  std::fprintf(stderr, "invariant broken: %s\n", aWhat);
  std::abort();
}

constexpr const char* kStartingTable =
    "<VATMap><VAT><Index>1</Index><Code>2200</Code><Rate>22</Rate></VAT>"
    "<VAT><Index>0</Index><Code>N4</Code><Rate>0</Rate></VAT></VATMap>";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  qx::kEPSRTServer client;
  qx::kEPSRTServer_VATMap& map = client.VATMap();
  map.Deserialize(kStartingTable);
  try {
    Require(map.Deserialize(text), "Deserialize answers true or raises");
  } catch (const qx::Error&) {
    Require(map.Serialize() == kStartingTable, "a refused text leaves the table unchanged");
    return 0;
  }
  const std::string written = map.Serialize();
  qx::kEPSRTServer other;
  Require(other.VATMap().Deserialize(written), "a written table reads back");
  Require(other.VATMap().Serialize() == written, "a written table round-trips");
  for (const auto& vat : map.VATs()) {
    Require(map.GetVATbyIndex(vat->Index()) != nullptr, "every department is found by index");
  }
  return 0;
}
