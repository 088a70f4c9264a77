// CPU cost of signing one receipt, without file I/O: the till manager's path
// from the host text to the queue text (parse the host receipt, render it into
// the wrapper, load the wrapped text, convert and seal, render the queue
// text), for the worked receipt and for receipts of 100 and 1,000 sales lines.
// Its floor is parsing and rendering the same host XML with pugixml alone.
#include <benchmark/benchmark.h>

#include <pugixml.hpp>
#include <string>

#include "bench/bench_support.h"
#include "platform/currency.h"
#include "platform/xml.h"
#include "rtserver/uRTSEPS20.h"
#include "rtserver/uRTSEPS20_Receipt.h"
#include "rtserver/uRTSEPS20_VATMap.h"

namespace qx::bench {
namespace {

// pugixml's own writer into a string, as a program using the library alone
// would render a document.
class StringWriter : public pugi::xml_writer {
 public:
  void write(const void* aData, size_t aSize) override {
    fText.append(static_cast<const char*>(aData), aSize);
  }
  std::string fText;
};

void BM_XmlParseRender(benchmark::State& aState) {
  const std::string text = WorkedReceipt();
  for (auto _ : aState) {
    pugi::xml_document document;
    if (!document.load_buffer(text.data(), text.size())) aState.SkipWithError("parse failed");
    StringWriter writer;
    document.save(writer, "", pugi::format_raw | pugi::format_no_declaration);
    benchmark::DoNotOptimize(writer.fText);
  }
}
BENCHMARK(BM_XmlParseRender);

// Arg 0: the worked receipt; otherwise a receipt of that many lines.
void BM_SignCPU(benchmark::State& aState) {
  const std::string host =
      aState.range(0) == 0 ? WorkedReceipt() : HostReceipt(static_cast<int>(aState.range(0)));
  kEPSRTServer server;
  server.VATMap().Deserialize(VATMapText());
  kEPSRTServer_Receipt& receipt = server.Receipt();
  std::string link = "TOKEN-OF-THE-DAY";
  int32_t number = 0;
  for (auto _ : aState) {
    receipt.SetTillid("T01");
    receipt.SetTokenId(link);
    receipt.SetZRepNumber(12);
    receipt.SetNRecNumber(number++);
    receipt.SetDailyAmount(Currency::FromUnits(100));
    std::string wrapped;
    {
      XmlDocument hostReceipt;
      hostReceipt.LoadXml(host);
      wrapped = "<createReceipt><receipt>" + hostReceipt.Text() + "</receipt></createReceipt>";
    }
    receipt.XmlReceipt().LoadXml(wrapped);
    receipt.Process("0");
    const std::string queueText = receipt.CleanXMLReceipt();
    benchmark::DoNotOptimize(queueText.data());
    link = receipt.TokenId();
  }
}
BENCHMARK(BM_SignCPU)->Arg(0)->Arg(100)->Arg(1000);

}  // namespace
}  // namespace qx::bench
