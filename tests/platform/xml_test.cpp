// XML document service: parsing, navigation, values, attributes and output.
#include "platform/xml.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace qx {
namespace {

TEST(XmlDocumentTest, ParsesAndRendersMarkupWithoutDeclaration) {
  XmlDocument doc;
  doc.LoadXml("<?xml version=\"1.0\"?>\n<a x=\"1\">\n  <b/>\n  <c>t</c>\n</a>");
  EXPECT_EQ(doc.DocumentElement().Xml(), "<a x=\"1\"><b/><c>t</c></a>");
}

TEST(XmlDocumentTest, MalformedTextRaises) {
  XmlDocument doc;
  EXPECT_THROW(doc.LoadXml("<a><b></a>"), Error);
  EXPECT_TRUE(doc.DocumentElement().IsNull());
}

}  // namespace
}  // namespace qx
