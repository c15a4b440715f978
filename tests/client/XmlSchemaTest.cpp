#include <gtest/gtest.h>

#include "client/Strings.h"
#include "client/XmlSchema.h"
#include "tests/client/TestData.h"

namespace Voxlet {
namespace {

std::vector<StringBuffer> AttributeValues(const XmlElementList& list, const StringBuffer& name) {
  std::vector<StringBuffer> values;
  for (const auto* e : list) values.push_back(XmlSchema::GetAttribute(e, name));
  return values;
}

TEST(XmlSchemaBuild, ReceiverDescriptionPrintsWithItsNamespaces) {
  XmlDocumentPtr doc = XmlSchema::NewDoc(u"rdf:RDF");
  ASSERT_TRUE(doc);
  auto* description = XmlSchema::CreateElement(doc->Root(), u"rdf:Description");
  ASSERT_TRUE(XmlSchema::SetAttribute(description, u"rdf:about", u"urn:com.vantrel.voxlet:receiver"));
  XmlSchema::CreateElement(description, u"voxlet:make", u"Receiver & <Hardware>");
  XmlSchema::CreateElement(description, u"dc:title", u"1.2.3");

  const std::string text = XmlSchema::PrintDocUtf8(*doc);
  EXPECT_NE(text.find("<?xml version=\"1.0\" encoding=\"UTF-8\""), std::string::npos) << text;
  EXPECT_NE(text.find("xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""), std::string::npos) << text;
  EXPECT_NE(text.find("xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\""), std::string::npos) << text;
  EXPECT_NE(text.find("Receiver &amp; &lt;Hardware&gt;"), std::string::npos) << text;
  // rdf is declared once, on the root, not again on each rdf element.
  EXPECT_EQ(text.find("xmlns:rdf", text.find("xmlns:rdf") + 1), std::string::npos) << text;

  // What was printed parses back to the same names and values.
  XmlDocumentPtr again = XmlSchema::ParseUtf8(text);
  ASSERT_TRUE(again);
  auto* d = XmlSchema::FindElement(again->Root(), u"rdf:Description");
  ASSERT_TRUE(d);
  EXPECT_EQ(XmlSchema::GetAttribute(d, u"rdf:about"), u"urn:com.vantrel.voxlet:receiver");
  EXPECT_EQ(XmlSchema::GetTextContent(XmlSchema::FindElement(d, u"voxlet:make")), u"Receiver & <Hardware>");
  EXPECT_EQ(XmlSchema::GetTextContent(XmlSchema::FindElement(d, u"dc:title")), u"1.2.3");
  EXPECT_EQ(XmlSchema::FindElement(d, u"voxlet:title"), nullptr);  // same local name, other namespace
}

TEST(XmlSchemaBuild, UnprefixedDocumentForScanResults) {
  XmlDocumentPtr doc = XmlSchema::NewDoc(u"rf");
  ASSERT_TRUE(doc);
  XmlSchema::SetAttribute(doc->Root(), u"channels", u"16");
  for (int ch = 11; ch <= 13; ++ch) {
    auto* e = XmlSchema::CreateElement(doc->Root(), u"ch");
    XmlSchema::SetAttribute(e, u"id", FormatInteger(ch));
  }
  const XmlElementList children = XmlSchema::GetAllChildElements(doc->Root());
  EXPECT_EQ(AttributeValues(children, u"id"), (std::vector<StringBuffer>{u"11", u"12", u"13"}));
  EXPECT_EQ(XmlSchema::GetAttribute(doc->Root(), u"channels"), u"16");
  EXPECT_EQ(XmlSchema::GetAttribute(doc->Root(), u"missing"), u"");
  EXPECT_FALSE(XmlSchema::HasAttribute(doc->Root(), u"missing"));
}

TEST(XmlSchemaBuild, UnknownPrefixesAndBadNamesFail) {
  EXPECT_EQ(XmlSchema::NewDoc(u"nope:root"), nullptr);
  EXPECT_EQ(XmlSchema::NewDoc(u"1bad"), nullptr);
  XmlDocumentPtr doc = XmlSchema::NewDoc(u"root");
  EXPECT_EQ(XmlSchema::CreateElement(doc->Root(), u"nope:child"), nullptr);
  EXPECT_EQ(XmlSchema::CreateElement(doc->Root(), u"bad name"), nullptr);
  EXPECT_FALSE(XmlSchema::SetAttribute(doc->Root(), u"nope:a", u"v"));
  EXPECT_EQ(XmlSchema::CreateElement(doc->Dom(), u"second-root"), nullptr);
  EXPECT_EQ(XmlSchema::CreateElement(nullptr, u"x"), nullptr);
}

TEST(XmlSchemaText, SetTextContentReplacesChildren) {
  XmlDocumentPtr doc = XmlSchema::ParseUtf8("<a><b/>old<c>x</c></a>");
  ASSERT_TRUE(doc);
  XmlSchema::SetTextContent(doc->Root(), u"new");
  EXPECT_TRUE(XmlSchema::GetAllChildElements(doc->Root()).empty());
  EXPECT_EQ(XmlSchema::GetTextContent(doc->Root()), u"new");
  EXPECT_EQ(XmlSchema::GetTextContent(nullptr), u"");
}

TEST(XmlSchemaSort, NotificationsInXmlIdOrder) {
  XmlDocumentPtr doc = XmlSchema::ParseUtf8(ReadTestData("runtime-notifications.xml"));
  ASSERT_TRUE(doc);
  auto* notifications = XmlSchema::FindElement(doc->Root(), u"voxlet:notifications");
  XmlElementList list = XmlSchema::GetAllChildElements(notifications);
  ASSERT_EQ(list.size(), 11u);
  EXPECT_EQ(XmlSchema::GetAttribute(list.front(), u"xml:id"), u"n0004");
  XmlSchema::SortElementsByAttributeValue(list, u"xml:id");
  std::vector<StringBuffer> expected;
  for (int i = 1; i <= 11; ++i) expected.push_back(i < 10 ? u"n000" + FormatInteger(i) : u"n00" + FormatInteger(i));
  EXPECT_EQ(AttributeValues(list, u"xml:id"), expected);
  // The kind of the first one after sorting: the network-name update.
  EXPECT_EQ(XmlSchema::GetAttribute(list.front(), u"voxlet:kind"),
            VocabularyTerm(u"notifications/networkname/updated"));
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
