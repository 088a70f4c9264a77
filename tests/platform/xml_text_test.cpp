// The document text against its lines: Text() is Lines() each followed by
// CR LF, whatever line breaks the markup holds and wherever the printer's
// output is cut into pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/xml.h"

namespace qx {
namespace {

std::string JoinedLines(const XmlDocument& doc) {
  std::string text;
  for (const std::string& line : doc.Lines()) text += line + "\r\n";
  return text;
}

TEST(XmlTextTest, LineBreaksAtEveryOffsetOfALongText) {
  // Texts long enough to be printed in several pieces, with CR LF, CR and LF
  // placed at every offset around the piece boundaries.
  for (const char* lineBreak : {"\r\n", "\r", "\n", "\n\n", "\r\r\n"}) {
    for (size_t length = 0; length < 5000; length += 7) {
      XmlDocument doc;
      doc.LoadXml("<a><b>x</b><c/></a>");
      XmlElement b = doc.DocumentElement().ChildNodes().FindByName("b");
      b.SetValue(std::string(length, 'y') + lineBreak + "z" + lineBreak);
      doc.DocumentElement().ChildNodes().FindByName("c").SetAttribute("v", "1");
      ASSERT_EQ(doc.Text(), JoinedLines(doc)) << "length " << length;
    }
  }
}

TEST(XmlTextTest, DeclarationAndDocumentTypeOnTheirOwnLines) {
  XmlDocument doc;
  doc.LoadXml("<?xml version=\"1.0\"?>\n<!DOCTYPE a>\n<a>one\ntwo\r\nthree\rfour</a>");
  EXPECT_EQ(doc.Text(), JoinedLines(doc));
  EXPECT_EQ(doc.Text().substr(0, 23), "<?xml version=\"1.0\"?>\r\n");
  XmlDocument empty;
  EXPECT_EQ(empty.Text(), "");
}

}  // namespace
}  // namespace qx
