// XML document service: parsing, navigation by name and namespace, values,
// attributes, markup and document text.
#include "platform/xml.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "platform/error.h"
#include "platform/files.h"

namespace qx {
namespace {

constexpr char kEnvelopeNs[] = "http://schemas.xmlsoap.org/soap/envelope/";

XmlElement Root(XmlDocument& doc, std::string_view text) {
  doc.LoadXml(text);
  return doc.DocumentElement();
}

std::string ErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

// --- parsing and output ---------------------------------------------------

TEST(XmlParseTest, DropsWhiteSpaceOnlyTextAndRendersCompactMarkup) {
  XmlDocument doc;
  XmlElement root =
      Root(doc, "<?xml version=\"1.0\"?>\n<a x=\"1\">\n  <b/>\n  <c> t </c>\n  <d></d>\n</a>");
  EXPECT_EQ(root.ChildNodes().Count(), 3u);
  // No declaration, no indentation, empty elements as <name/>, text kept as is.
  EXPECT_EQ(root.Xml(), "<a x=\"1\"><b/><c> t </c><d/></a>");
}

TEST(XmlParseTest, MalformedTextRaisesWithDescriptionLineAndColumnAndEmptiesDocument) {
  XmlDocument doc;
  doc.LoadXml("<ok/>");
  const std::string message = ErrorOf([&] { doc.LoadXml("<a>\n<b></a>"); });
  EXPECT_EQ(message, "XML parse error: mismatched tag at line 2, column 6");
  EXPECT_TRUE(doc.DocumentElement().IsNull());
  EXPECT_EQ(doc.Text(), "");
}

TEST(XmlParseTest, RejectsTextThatIsNotOneDocument) {
  XmlDocument doc;
  for (const char* text :
       {"", "   ", "plain", "<a/><b/>", "<a/>tail", "<a>", "<a b=1/>", "<?xml version=\"1.0\"?>",
        "x<a/>", "<a/><?xml version=\"1.0\"?>", "<a/><!DOCTYPE a>"}) {
    EXPECT_THROW(doc.LoadXml(text), Error) << text;
    EXPECT_TRUE(doc.DocumentElement().IsNull()) << text;
  }
}

// Texts a lenient parser would take and quietly change; each is refused with
// what is wrong and where.
TEST(XmlParseTest, RefusesWhatIsNotWellFormedXmlWithNamespaces) {
  std::string bomb = "<!DOCTYPE bomb [<!ENTITY e0 \"ha\">";
  for (int i = 1; i <= 30; ++i) {
    bomb += "<!ENTITY e" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) bomb += "&e" + std::to_string(i - 1) + ";";
    bomb += "\">";
  }
  bomb += "]><bomb>&e30;</bomb>";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"<a unitPrice=\"1.00\" unitPrice=\"100.00\"/>", "duplicate attribute"},
      {"<a xmlns:p=\"urn:p\" xmlns:q=\"urn:p\" p:x=\"1\" q:x=\"2\"/>", "duplicate attribute"},
      {"<a>&nbsp;</a>", "undefined entity"},
      {"<!DOCTYPE a SYSTEM \"a.dtd\"><a>&nbsp;</a>", "undefined entity 'nbsp'"},
      {bomb, "entity declaration 'e0' not accepted"},
      {"<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>", "entity declaration"},
      {"<a>\x01</a>", "not well-formed"},
      {"<a>&#1;</a>", "reference to invalid character number"},
      {"<a>\xEF\xBF\xBE</a>", "not well-formed"},
      {"<a v=\"\xEF\xBF\xBF\"/>", "not well-formed"},
      {"<a v=\"<\"/>", "not well-formed"},
      {"<x:a/>", "unbound prefix"},
      // A NUL byte inside the text, not its end: the parser sees it and stops there.
      {std::string("<a>\n<b c=\"1\"\x00/></a>", 19), "invalid token) at line 2, column 9"},
  };
  for (const auto& [text, expected] : cases) {
    XmlDocument doc;
    doc.LoadXml("<ok/>");
    const std::string message = ErrorOf([&doc, &text = text] { doc.LoadXml(text); });
    EXPECT_NE(message.find(expected), std::string::npos) << text << ": " << message;
    EXPECT_NE(message.find(", column "), std::string::npos) << message;
    EXPECT_TRUE(doc.DocumentElement().IsNull()) << text;
  }
}

TEST(XmlParseTest, WrittenValuesAlwaysParseAgain) {
  XmlDocument doc;
  doc.LoadXml("<a/>");
  XmlElement root = doc.DocumentElement();
  root.SetAttribute("v", "x\x01y\xEF\xBF\xBEz\r\n\tw");
  root.AppendChild("b").SetValue(std::string_view("p\x1Fq\0cut", 7));
  XmlDocument again;
  again.LoadXml(doc.Text());
  EXPECT_EQ(again.DocumentElement().AttributeText("v"), "x\xEF\xBF\xBDy\xEF\xBF\xBDz\r\n\tw");
  EXPECT_EQ(again.DocumentElement().ChildNodes().First().Text(), "p\xEF\xBF\xBDq");
}

TEST(XmlParseTest, DocumentTypeCommentsAndInstructionsAreAcceptedAndKept) {
  XmlDocument doc;
  doc.LoadXml("<!DOCTYPE a SYSTEM \"a.dtd\"><!-- top --><a><!-- note --><?app x?><b/></a>");
  const XmlElement root = doc.DocumentElement();
  EXPECT_EQ(root.ChildNodes().Count(), 3u);
  EXPECT_EQ(root.ChildNodes().First().NodeName(), "#comment");
  EXPECT_EQ(root.Xml(), "<a><!-- note --><?app x?><b/></a>");
  EXPECT_EQ(root.ChildNodes().FindByName("b").NodeName(), "b");
}

TEST(XmlParseTest, PredefinedEntitiesAndCharacterReferencesAreExpanded) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<r a=\"&quot;x&quot;\">&lt;&amp;&gt;&#233;&#x20AC;</r>");
  EXPECT_EQ(root.Text(), "<&>\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(root.AttributeText("a"), "\"x\"");
  EXPECT_EQ(root.Xml(), "<r a=\"&quot;x&quot;\">&lt;&amp;&gt;\xC3\xA9\xE2\x82\xAC</r>");
}

TEST(XmlDocumentTextTest, DeclarationOnlyWhenParsedTextHadOne) {
  XmlDocument doc;
  doc.LoadXml("<RTSCounters/>");
  EXPECT_EQ(doc.Text(), "<RTSCounters/>\r\n");
  doc.LoadXml("<?xml version=\"1.0\" encoding=\"utf-8\"?><a><b>1</b></a>");
  EXPECT_EQ(doc.Text(), "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<a><b>1</b></a>\r\n");
  EXPECT_EQ(doc.DocumentElement().Xml(), "<a><b>1</b></a>");
}

TEST(XmlDocumentTextTest, LinesSplitAtLineBreaksAndJoinWithCrLf) {
  XmlDocument doc;
  doc.LoadXml("<?xml version=\"1.0\"?><a><b>x\ny</b></a>");
  const std::vector<std::string> lines = doc.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "<?xml version=\"1.0\"?>");
  EXPECT_EQ(lines[1], "<a><b>x");
  EXPECT_EQ(lines[2], "y</b></a>");
  EXPECT_EQ(doc.Text(), "<?xml version=\"1.0\"?>\r\n<a><b>x\r\ny</b></a>\r\n");
}

TEST(XmlDocumentTextTest, ClearAndFreshDocumentAreEmpty) {
  XmlDocument doc;
  EXPECT_TRUE(doc.DocumentElement().IsNull());
  EXPECT_EQ(doc.Text(), "");
  doc.LoadXml("<a/>");
  doc.Clear();
  EXPECT_TRUE(doc.DocumentElement().IsNull());
  EXPECT_TRUE(doc.Lines().empty());
}

TEST(XmlDocumentTextTest, SaveAndLoadFileRoundTrip) {
  char dir[] = "/tmp/qx_xml_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/c.srtc";
  XmlDocument doc;
  doc.LoadXml("<RTSCounters/>");
  doc.DocumentElement().AppendChild("DailyTotal").SetValue("12.50");
  doc.SaveToFile(path);
  EXPECT_EQ(ReadFileBytes(path), "<RTSCounters><DailyTotal>12.50</DailyTotal></RTSCounters>\r\n");
  XmlDocument again;
  again.LoadFromFile(path);
  EXPECT_EQ(again.DocumentElement().ChildNodes().FindByName("DailyTotal").Text(), "12.50");
  EXPECT_THROW(again.LoadFromFile(path + ".missing"), Error);
  DeleteFile(path);
  rmdir(dir);
}

// --- find by name and namespaces ------------------------------------------

TEST(XmlFindTest, LocalNameFindsPrefixedChildInParentNamespace) {
  XmlDocument doc;
  XmlElement env = Root(doc, std::string("<soapenv:Envelope xmlns:soapenv=\"") + kEnvelopeNs +
                                 "\" xmlns:o=\"urn:other\"><o:Body/><soapenv:Body>"
                                 "<response success=\"true\"/></soapenv:Body></soapenv:Envelope>");
  EXPECT_EQ(env.NamespaceUri(), kEnvelopeNs);
  const XmlElement body = env.ChildNodes().FindByName("Body");
  ASSERT_FALSE(body.IsNull());
  EXPECT_EQ(body.NodeName(), "soapenv:Body");  // o:Body is in another namespace
  EXPECT_EQ(body.LocalName(), "Body");
  EXPECT_FALSE(env.ChildNodes().FindByName("soapenv:Body").IsNull());
  // The response child is in no namespace: the one-argument form misses it,
  // an explicit empty namespace lets it count.
  EXPECT_TRUE(body.ChildNodes().FindByName("response").IsNull());
  EXPECT_FALSE(body.ChildNodes().FindByName("response", "").IsNull());
}

TEST(XmlFindTest, NamespaceNamesCompareCaseInsensitively) {
  XmlDocument doc;
  XmlElement root =
      Root(doc, "<p:r xmlns:p=\"URN:Example\"><q:c xmlns:q=\"urn:example\">v</q:c></p:r>");
  EXPECT_EQ(root.ChildNodes().FindByName("c").Text(), "v");
  EXPECT_EQ(root.ChildNodes().FindByName("c", "urn:EXAMPLE").Text(), "v");
  EXPECT_TRUE(root.ChildNodes().FindByName("c", "urn:other").IsNull());
}

TEST(XmlFindTest, DefaultNamespaceIsInheritedAndParentWithoutNamespaceTakesAll) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<r xmlns=\"urn:a\"><x:b xmlns:x=\"urn:b\"/><b>in</b></r>");
  EXPECT_EQ(root.ChildNodes().FindByName("b").Text(), "in");
  XmlDocument plain;
  XmlElement top = Root(plain, "<r><x:b xmlns:x=\"urn:b\">first</x:b><b>second</b></r>");
  EXPECT_EQ(top.ChildNodes().FindByName("b").Text(), "first");
}

TEST(XmlFindTest, NoMatchGivesEmptyResultAndCreatesNothing) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<r><a/></r>");
  EXPECT_TRUE(root.ChildNodes().FindByName("missing").IsNull());
  EXPECT_TRUE(root.ChildNodes().FindByName("missing", "").IsNull());
  EXPECT_EQ(root.Xml(), "<r><a/></r>");
}

TEST(XmlFindTest, ChildListHoldsTextNodesAndIndexesDirectly) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<r>x<a/>y<![CDATA[z]]></r>");
  const XmlNodeList list = root.ChildNodes();
  ASSERT_EQ(list.Count(), 4u);
  EXPECT_EQ(list.First().NodeName(), "#text");
  EXPECT_TRUE(list.Item(0).IsText());
  EXPECT_EQ(list.Item(1).NodeName(), "a");
  EXPECT_EQ(list.Item(2).GetValue(), "y");
  EXPECT_EQ(list.Item(3).GetValue(), "z");
  EXPECT_TRUE(list.Item(4).IsNull());
  EXPECT_TRUE(XmlNodeList().First().IsNull());
}

// --- values ------------------------------------------------------------------

TEST(XmlValueTest, ReadsTextOrNullForEmpty) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<r><a>12</a><b/><c></c><d><![CDATA[<raw>]]></d></r>");
  const XmlNodeList list = root.ChildNodes();
  EXPECT_EQ(list.FindByName("a").GetValue(), "12");
  EXPECT_EQ(list.FindByName("b").GetValue(), std::nullopt);
  EXPECT_EQ(list.FindByName("c").GetValue(), std::nullopt);
  EXPECT_EQ(list.FindByName("d").GetValue(), "<raw>");
  EXPECT_EQ(list.FindByName("b").Text(), "");
}

TEST(XmlValueTest, ReadFailsUnlessSingleTextNode) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<r><a><x/></a><b>t<x/></b><c>t<![CDATA[u]]></c></r>");
  const XmlNodeList list = root.ChildNodes();
  for (const char* name : {"a", "b", "c"}) {
    const std::string message = ErrorOf([&] { list.FindByName(name).GetValue(); });
    EXPECT_EQ(message, std::string("Element \"") + name + "\" does not contain a single text node");
  }
  EXPECT_THROW(root.GetValue(), Error);
  EXPECT_THROW(XmlElement().GetValue(), Error);
}

TEST(XmlValueTest, WriteReplacesContent) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<r><a><x/>old</a></r>");
  XmlElement a = root.ChildNodes().First();
  a.SetValue("1 < 2 & 3");
  EXPECT_EQ(a.Xml(), "<a>1 &lt; 2 &amp; 3</a>");
  a.SetValue(int64_t{-42});
  EXPECT_EQ(a.Text(), "-42");
  a.SetValue(Currency::FromRaw(125000));
  EXPECT_EQ(a.Text(), FormatLocale(Currency::FromRaw(125000)));
  a.SetValue("");
  EXPECT_EQ(a.GetValue(), std::nullopt);
  EXPECT_EQ(a.Xml(), "<a/>");
}

// --- attributes, building, insertion ---------------------------------------

TEST(XmlAttributeTest, AbsentReadsNullAndOutputKeepsFirstSetOrder) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<Result/>");
  EXPECT_EQ(root.GetAttribute("b"), std::nullopt);
  root.SetAttribute("b", "1");
  root.SetAttribute("a", "2");
  root.SetAttribute("c", "say \"hi\"");
  root.SetAttribute("b", "3");  // replaced in place
  EXPECT_EQ(root.GetAttribute("b"), "3");
  EXPECT_EQ(root.GetAttribute("a"), "2");
  EXPECT_EQ(root.Xml(), "<Result b=\"3\" a=\"2\" c=\"say &quot;hi&quot;\"/>");
  root.SetAttribute("empty", "");
  EXPECT_EQ(root.GetAttribute("empty"), "");
}

TEST(XmlBuildTest, AppendAndInsertElements) {
  XmlDocument doc;
  XmlElement root = Root(doc, "<receipt><printerFiscalReceipt/></receipt>");
  XmlElement fiscal = root.AppendChild("fiscalInformation");
  fiscal.SetAttribute("recNumber", "0005");
  XmlElement hash = doc.CreateElement("hash");
  hash.SetValue("abc");
  XmlElement placed = root.InsertBefore(hash, root.ChildNodes().First());
  EXPECT_EQ(placed.NodeName(), "hash");
  root.InsertChildBefore("first", placed);
  root.InsertChildBefore("last", XmlElement());
  EXPECT_EQ(root.Xml(),
            "<receipt><first/><hash>abc</hash><printerFiscalReceipt/>"
            "<fiscalInformation recNumber=\"0005\"/><last/></receipt>");
  // Moving a node inside the same document.
  root.InsertBefore(root.ChildNodes().Item(4), root.ChildNodes().First());
  EXPECT_EQ(root.ChildNodes().First().NodeName(), "last");
  EXPECT_EQ(root.ChildNodes().Count(), 5u);
}

// --- robustness --------------------------------------------------------------

TEST(XmlFuzzTest, RandomAndMutatedInputNeverCrashes) {
  std::mt19937 random(20240601);
  const std::string seed =
      "<?xml version=\"1.0\"?><!DOCTYPE a><s:a xmlns:s=\"urn:s\" k=\"v\">"
      "<s:b>1.50</s:b><![CDATA[c]]>&amp;<!--n--><c/></s:a>";
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    if (round % 2 == 0) {
      text.resize(random() % 200);
      for (char& c : text) c = static_cast<char>(random() % 256);
    } else {
      text = seed;
      for (int k = 0, edits = 1 + random() % 5; k < edits; ++k) {
        text[random() % text.size()] = "<>&;\"'/=![]x\0 "[random() % 15];
      }
    }
    XmlDocument doc;
    try {
      doc.LoadXml(text);
    } catch (const Error&) {
      continue;
    }
    XmlElement root = doc.DocumentElement();
    ASSERT_FALSE(root.IsNull());
    // What was accepted renders to text that is accepted again.
    XmlDocument again;
    ASSERT_NO_THROW(again.LoadXml(doc.Text())) << text;
    for (size_t i = 0; i < root.ChildNodes().Count(); ++i) {
      try {
        (void)root.ChildNodes().Item(i).GetValue();
      } catch (const Error&) {
      }
    }
    (void)root.ChildNodes().FindByName("b");
  }
}

}  // namespace
}  // namespace qx
