// The XML document service on arbitrary text. LoadXml must accept or raise
// qx::Error. Accepted text must render, as a whole document and as the
// document element's markup, to text that the strict check accepts again and
// that renders the same a second time.
#include <expat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "platform/xml.h"

namespace {

void Require(bool aCondition, const char* aWhat) {
  if (aCondition) return;
  std::fprintf(stderr, "invariant broken: %s\n", aWhat);
  std::abort();
}

// expat on its own, namespaces on: the rendered text must be well-formed for
// every strict parser, not just for the library's own reading of it.
bool WellFormed(const std::string& aText) {
  XML_Parser parser = XML_ParserCreateNS("UTF-8", '\x01');
  const bool ok = XML_Parse(parser, aText.data(), static_cast<int>(aText.size()), 1) ==
                  XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  const std::string text(reinterpret_cast<const char*>(aData), aSize);
  qx::XmlDocument document;
  try {
    document.LoadXml(text);
  } catch (const qx::Error&) {
    Require(document.DocumentElement().IsNull(), "a refused text leaves the document empty");
    return 0;
  }
  const std::string rendered = document.Text();
  Require(WellFormed(rendered), "the rendered document is well-formed");
  Require(WellFormed(document.DocumentElement().Xml()), "the element's markup is well-formed");
  qx::XmlDocument again;
  try {
    again.LoadXml(rendered);
  } catch (const qx::Error&) {
    Require(false, "the rendered document is accepted again");
  }
  Require(again.Text() == rendered, "rendering is stable");
  return 0;
}
