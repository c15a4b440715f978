#include <gtest/gtest.h>

#include "client/Strings.h"
#include "client/XmlSchema.h"

namespace Voxlet {
namespace {

std::vector<StringBuffer> AttributeValues(const XmlElementList& list, const StringBuffer& name) {
  std::vector<StringBuffer> values;
  for (const auto* e : list) values.push_back(XmlSchema::GetAttribute(e, name));
  return values;
}

// (Printing is Xerces's serializer: an unprefixed document built and printed is the scan results'
// test in tests/protocol's ChannelScanTest, printing with namespaces pinned by the receiver's hello.)
TEST(XmlSchemaBuild, MissingAttributesAndNodesReadAsEmpty) {
  XmlDocumentPtr doc = XmlSchema::NewDoc(u"root");
  ASSERT_TRUE(doc);
  EXPECT_EQ(XmlSchema::GetAttribute(doc->Root(), u"missing"), u"");
  EXPECT_FALSE(XmlSchema::HasAttribute(doc->Root(), u"missing"));
  EXPECT_EQ(XmlSchema::GetTextContent(nullptr), u"");
}

TEST(XmlSchemaSort, NumbersInNumericOrderStably) {
  XmlDocumentPtr doc = XmlSchema::ParseUtf8(
      "<q xmlns:voxlet='http://schemas.vantrel.org/2008/voxlet/'>"
      "<e voxlet:questionnumber='10' n='a'/><e voxlet:questionnumber='2' n='b'/><e n='c'/>"
      "<e voxlet:questionnumber='2' n='d'/><e voxlet:questionnumber='x' n='e'/><e voxlet:questionnumber='1' n='f'/>"
      "</q>");
  ASSERT_TRUE(doc);
  XmlElementList list = XmlSchema::GetAllChildElements(doc->Root());
  XmlSchema::SortElementsByAttributeValue(list, u"voxlet:questionnumber");
  // Numbers first (1, 2, 2, 10 with the two 2s in document order), then "" and "x".
  EXPECT_EQ(AttributeValues(list, u"n"), (std::vector<StringBuffer>{u"f", u"b", u"d", u"a", u"c", u"e"}));
}

TEST(XmlSchemaParse, MalformedBodiesAreFailedParses) {
  for (const char* bad : {"", "   ", "<a>", "<a></b>", "<a x='1' x='2'/>", "<a>&undefined;</a>", "<a/><b/>", "<p:a/>",
                          "\xff\xfe<", "<a>\x01</a>", "not xml at all"})
    EXPECT_EQ(XmlSchema::ParseUtf8(bad), nullptr) << bad;
  EXPECT_EQ(XmlSchema::Parse(u"<a><b></a>"), nullptr);
}

TEST(XmlSchemaParse, Utf16TextWhateverItsDeclarationSays) {
  XmlDocumentPtr doc = XmlSchema::Parse(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?><a v='\u00E9\U0001F600'/>");
  ASSERT_TRUE(doc);
  EXPECT_EQ(XmlSchema::GetAttribute(doc->Root(), u"v"), u"\u00E9\U0001F600");
}

TEST(XmlSchemaParse, DoctypesAreRefusedSoNoEntityIsEverResolved) {
  // External entity (XXE): would read a local file.
  EXPECT_EQ(XmlSchema::ParseUtf8("<?xml version='1.0'?><!DOCTYPE a [<!ENTITY x SYSTEM 'file:///etc/passwd'>]>"
                                 "<a>&x;</a>"),
            nullptr);
  // External DTD.
  EXPECT_EQ(XmlSchema::ParseUtf8("<!DOCTYPE a SYSTEM 'http://127.0.0.1:1/evil.dtd'><a/>"), nullptr);
  // Entity expansion bomb.
  EXPECT_EQ(XmlSchema::ParseUtf8("<!DOCTYPE a [<!ENTITY l0 'xxxxxxxxxx'><!ENTITY l1 '&l0;&l0;&l0;&l0;&l0;'>"
                                 "<!ENTITY l2 '&l1;&l1;&l1;&l1;&l1;'>]><a>&l2;</a>"),
            nullptr);
  // Even a harmless internal subset: the service never sends one.
  EXPECT_EQ(XmlSchema::ParseUtf8("<!DOCTYPE a><a/>"), nullptr);
  // The predefined entities and character references still work.
  XmlDocumentPtr doc = XmlSchema::ParseUtf8("<a>&lt;&amp;&#x41;</a>");
  ASSERT_TRUE(doc);
  EXPECT_EQ(XmlSchema::GetTextContent(doc->Root()), u"<&A");
}

}  // namespace
}  // namespace Voxlet
