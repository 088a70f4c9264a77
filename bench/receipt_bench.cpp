// CPU cost of signing one receipt, without file I/O: the till manager's path
// from the host text to the queue text (parse the host receipt, render it into
// the wrapper, load the wrapped text, convert and seal, render the queue
// text), for the worked receipt and for receipts of 100 and 1,000 sales lines.
// Its floor is what any strict reading of the same host XML costs: a
// well-formedness check by expat, then pugixml parsing and rendering it.
// Figure and floor alternate operation by operation inside one benchmark, so
// that both meet the same machine: measured minutes apart they drift with it.
#include <benchmark/benchmark.h>
#include <expat.h>

#include <chrono>
#include <functional>
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

// The floor: expat's strict check, then pugixml's parse and render.
bool StrictParseRender(const std::string& aText) {
  XML_Parser parser = XML_ParserCreateNS("UTF-8", '\x01');
  const bool wellFormed =
      XML_Parse(parser, aText.data(), static_cast<int>(aText.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  pugi::xml_document document;
  if (!wellFormed || !document.load_buffer(aText.data(), aText.size())) return false;
  StringWriter writer;
  document.save(writer, "", pugi::format_raw | pugi::format_no_declaration);
  benchmark::DoNotOptimize(writer.fText);
  return true;
}

// Signs host receipts as the till manager does, without the files.
class Signer {
 public:
  Signer() { fServer.VATMap().Deserialize(VATMapText()); }

  void Sign(const std::string& aHost) {
    kEPSRTServer_Receipt& receipt = fServer.Receipt();
    receipt.SetTillid("T01");
    receipt.SetTokenId(fLink);
    receipt.SetZRepNumber(12);
    receipt.SetNRecNumber(fNumber++ % 9000);
    receipt.SetDailyAmount(Currency::FromUnits(100));
    std::string wrapped;
    {
      XmlDocument hostReceipt;
      hostReceipt.LoadXml(aHost);
      wrapped = "<createReceipt><receipt>" + hostReceipt.Text() + "</receipt></createReceipt>";
    }
    receipt.XmlReceipt().LoadXml(wrapped);
    receipt.Process("0");
    const std::string queueText = receipt.CleanXMLReceipt();
    benchmark::DoNotOptimize(queueText.data());
    fLink = receipt.TokenId();
  }

 private:
  kEPSRTServer fServer;
  std::string fLink = "TOKEN-OF-THE-DAY";
  int32_t fNumber = 0;
};

// Runs |aFigure| and |aFloor| alternately, each once per iteration, the one
// first and then the other; the counters "figure" and "floor" are the mean
// seconds of one of each.
void Alternate(benchmark::State& aState, const std::function<void()>& aFigure,
               const std::function<void()>& aFloor) {
  using Clock = std::chrono::steady_clock;
  Clock::duration figure{};
  Clock::duration floor{};
  bool figureFirst = true;
  for (auto _ : aState) {
    for (int step = 0; step < 2; ++step) {
      const bool isFigure = (step == 0) == figureFirst;
      const Clock::time_point start = Clock::now();
      (isFigure ? aFigure : aFloor)();
      (isFigure ? figure : floor) += Clock::now() - start;
    }
    figureFirst = !figureFirst;
  }
  const double iterations = static_cast<double>(aState.iterations());
  aState.counters["figure"] = std::chrono::duration<double>(figure).count() / iterations;
  aState.counters["floor"] = std::chrono::duration<double>(floor).count() / iterations;
}

// Target 2: the worked receipt against the strict parse and render of it.
void BM_SignCPU(benchmark::State& aState) {
  const std::string host = WorkedReceipt();
  Signer signer;
  Alternate(
      aState, [&] { signer.Sign(host); },
      [&] {
        if (!StrictParseRender(host)) aState.SkipWithError("parse failed");
      });
}
BENCHMARK(BM_SignCPU);

// Target 3: a receipt of 1,000 lines against one of 100.
void BM_SignLines(benchmark::State& aState) {
  const std::string large = HostReceipt(1000);
  const std::string small = HostReceipt(100);
  Signer signer;
  Alternate(
      aState, [&] { signer.Sign(large); }, [&] { signer.Sign(small); });
}
BENCHMARK(BM_SignLines);

}  // namespace
}  // namespace qx::bench
