// Server replies: the first byte of the input picks a request of the server
// client, the rest is what the "server" answers (pieces separated by form
// feeds for requests that make several exchanges). Every request must end
// with a result or a qx::Error; any other exception, a crash, a leak or
// undefined behaviour is a finding. Invariants checked on top:
//  - a false result leaves a failure text in LastError;
//  - the VAT map is complete (6 to 15 departments, round-trips through its
//    cache text) after a successful read and empty after any failure.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/error.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_VATMap.h"
#include "support/replay_http.h"

namespace {

using qx::kEPSRTServer;

void Require(bool aCondition, const char* aWhat) {
  if (aCondition) return;
  std::fprintf(stderr, "invariant broken: %s\n", aWhat);
  std::abort();
}

void CheckVATMap(kEPSRTServer& aClient, bool aOk) {
  const auto& vats = aClient.VATMap().VATs();
  if (!aOk) {
    Require(vats.empty(), "a failed VAT map read leaves the table empty");
    return;
  }
  Require(vats.size() >= 6 && vats.size() <= 15, "a VAT map holds 6 to 15 departments");
  Require(vats.back()->Code() == "N6", "the exempt departments close the table");
  const std::string text = aClient.VATMap().Serialize();
  kEPSRTServer other;
  Require(other.VATMap().Deserialize(text), "the cache text reads back");
  Require(other.VATMap().Serialize() == text, "the cache text round-trips");
}

bool Run(kEPSRTServer& aClient, uint8_t aOperation) {
  switch (aOperation % 11) {
    case 0:
      return aClient.SendRequest(qx::fpServer, "<createReport><serverInfo/></createReport>");
    case 1:
      return aClient.GetServerInfo();
    case 2:
      return aClient.GetServerHeaders();
    case 3:
      return aClient.GetTillMap();
    case 4:
      return aClient.CreateToken("T01");
    case 5:
      return aClient.GetDateTime();
    case 6:
      return aClient.GetZRepNumber();
    case 7:
      return aClient.GetVATMap();
    case 8:
      return aClient.PrintServerZReport();
    case 9:
      return aClient.GetTillCurrentZReport("T01");
    default:
      return aClient.GetTillHistoricZReport("T01", 12);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  if (aSize == 0) return 0;
  const uint8_t operation = aData[0];
  qx::fuzz::SetReplies(qx::fuzz::SplitPieces(aData + 1, aSize - 1));

  kEPSRTServer client;
  client.Setup("http://127.0.0.1", 1, "", "");
  bool ok = false;
  try {
    ok = Run(client, operation);
    if (!ok) Require(!client.LastError().empty(), "a failure leaves LastError");
  } catch (const qx::Error&) {
    ok = false;
  }
  if (operation % 11 == 7) {
    CheckVATMap(client, ok);
    Require(qx::fuzz::ExchangeCount() <= 9, "the VAT map takes at most nine exchanges");
  }
  return 0;
}
