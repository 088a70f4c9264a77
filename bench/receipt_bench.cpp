// Cost of converting and sealing one receipt: the worked receipt and receipts
// of 100, 1,000 and 4,000 sales lines. The cost must grow linearly with the
// number of lines.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/currency.h"
#include "platform/files.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace qx {
namespace {

constexpr const char* kVATMap =
    "<VATMap>"
    "<VAT><Index>1</Index><Code>2200</Code><Rate>22</Rate></VAT>"
    "<VAT><Index>2</Index><Code>1000</Code><Rate>10</Rate></VAT>"
    "<VAT><Index>3</Index><Code>0400</Code><Rate>4</Rate></VAT>"
    "<VAT><Index>0</Index><Code>N4</Code><Rate>0</Rate></VAT>"
    "</VATMap>";

// A host receipt of |aLines| sales lines over four VAT departments: items with
// an item discount every tenth line, a void every fifteenth, a message every
// twentieth, then a receipt discount and two payments.
std::string HostReceipt(int aLines) {
  static const char* const kVATs[] = {"1", "2", "3", "0"};
  std::string text = "<printerFiscalReceipt><beginFiscalReceipt operator=\"1\"/>";
  for (int i = 0; i < aLines; ++i) {
    const std::string vat = kVATs[i % 4];
    if (i % 10 == 9) {
      text +=
          "<printRecItemAdjustment operator=\"1\" description=\"DISCOUNT\" "
          "adjustmentType=\"0\" amount=\"0.10\" justification=\"1\"/>";
    } else if (i % 15 == 14) {
      text +=
          "<printRecItemVoid operator=\"1\" description=\"VOID\" quantity=\"1\" "
          "unitPrice=\"0.50\" vatID=\"" +
          vat + "\" justification=\"1\"/>";
    } else if (i % 20 == 19) {
      text += "<printRecMessage operator=\"1\" messageType=\"4\" message=\"MESSAGE\"/>";
    } else {
      text += "<printRecItem operator=\"1\" description=\"ITEM " + std::to_string(i) +
              "\" quantity=\"" + (i % 3 == 0 ? "0.5" : "2") + "\" unitPrice=\"" +
              std::to_string(1 + i % 7) + ".35\" department=\"" + vat + "\" vatID=\"" + vat +
              "\" justification=\"1\"/>";
    }
  }
  text +=
      "<printRecSubtotalAdjustment operator=\"1\" description=\"RECEIPT DISCOUNT\" "
      "adjustmentType=\"1\" amount=\"1.25\" justification=\"1\"/>"
      "<printRecTotal operator=\"1\" description=\"CARD\" payment=\"50.00\" "
      "paymentType=\"2\" index=\"1\"/>"
      "<printRecTotal operator=\"1\" description=\"CASH\" payment=\"100000.00\" "
      "paymentType=\"0\" index=\"0\"/>"
      "<endFiscalReceipt operator=\"1\"/></printerFiscalReceipt>";
  return text;
}

// Times Process (conversion and seal). With |aWhole| the parse of the host
// text and the rendering of the queue text are timed as well: the till
// manager's whole path short of the file write.
void Convert(benchmark::State& aState, const std::string& aHostText, bool aWhole) {
  kEPSRTServer server;
  server.VATMap().Deserialize(kVATMap);
  kEPSRTServer_Receipt& receipt = server.Receipt();
  const std::string wrapped = "<createReceipt><receipt>" + aHostText + "</receipt></createReceipt>";
  for (auto _ : aState) {
    if (!aWhole) aState.PauseTiming();
    receipt.SetTillid("T01");
    receipt.SetTokenId("TOKEN-OF-THE-DAY");
    receipt.SetZRepNumber(12);
    receipt.SetNRecNumber(4);
    receipt.SetDailyAmount(Currency::FromUnits(100));
    receipt.XmlReceipt().LoadXml(wrapped);
    if (!aWhole) aState.ResumeTiming();
    receipt.Process("0");
    if (aWhole) benchmark::DoNotOptimize(receipt.CleanXMLReceipt());
  }
}

std::string WorkedReceipt() {
  return ReadFileBytes(std::string(QX_SOURCE_DIR) + "/tests/data/worked_receipt.xml");
}

void BM_ReceiptWorked(benchmark::State& aState) { Convert(aState, WorkedReceipt(), false); }
BENCHMARK(BM_ReceiptWorked);

void BM_ReceiptLines(benchmark::State& aState) {
  Convert(aState, HostReceipt(static_cast<int>(aState.range(0))), false);
  aState.SetComplexityN(aState.range(0));
}
BENCHMARK(BM_ReceiptLines)->Arg(100)->Arg(1000)->Arg(4000)->Complexity(benchmark::oN);

void BM_ReceiptWholePath(benchmark::State& aState) {
  if (aState.range(0) == 0) {
    Convert(aState, WorkedReceipt(), true);
  } else {
    Convert(aState, HostReceipt(static_cast<int>(aState.range(0))), true);
  }
}
BENCHMARK(BM_ReceiptWholePath)->Arg(0)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace qx
