#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "tests/service/TestFiles.h"

namespace Voxlet {
namespace {

// Prefixed paths select elements in document order, non-elements left out; without prefixes
// they name elements in no namespace.
TEST(XPathOnSamples, NamespacedPathsSelectElementsInDocumentOrder) {
  const XmlDocumentPtr activated = XmlSchema::ParseUtf8(ReadFile(OVANTA_CLIENT_TEST_DATA "/activated.xml"));
  const XmlDocumentPtr assessment = XmlSchema::ParseUtf8(ReadFile(OVANTA_CLIENT_TEST_DATA "/assessment.xml"));
  ASSERT_TRUE(activated && assessment);
  const XmlElementList questions = XPathExpression(u"/voxlet:assessment/voxlet:questions/*").Evaluate(*assessment);
  ASSERT_EQ(questions.size(), 6u);
  for (size_t i = 0; i < questions.size(); ++i)
    EXPECT_EQ(XmlSchema::GetAttribute(questions[i], u"xml:id"), u"q" + FormatInteger(static_cast<int64_t>(i + 1)));
  EXPECT_TRUE(XPathExpression(u"//@voxlet:points").Evaluate(*assessment).empty());
  EXPECT_TRUE(XPathExpression(u"/activated/classref").Evaluate(*activated).empty());
  EXPECT_EQ(
      XPathExpression(u"/voxlet:activated/voxlet:assessmentrefs/voxlet:assessmentref").Evaluate(*activated).size(), 2u);
}

// (The running assessment found by fn:string-length is the activated-status tests' to check.)
TEST(XPathFunctions, StringLengthCountsCharacters) {
  // Not UTF-16 units; and the context node's string value without an argument.
  XmlDocumentPtr doc = XmlSchema::Parse(u"<r><e>\U0001F600ab</e><e>abcd</e></r>");
  EXPECT_EQ(XPathExpression(u"/r/e[fn:string-length(.) = 3]").Evaluate(*doc).size(), 1u);
  EXPECT_EQ(XPathExpression(u"/r/e[fn:string-length() = 4]").Evaluate(*doc).size(), 1u);
}

TEST(XPathVariables, ValuesWithQuotesAreValuesNotSyntax) {
  XmlDocumentPtr doc = XmlSchema::ParseUtf8(
      "<r><s id=\"it's\"/><s id='say &quot;hi&quot;'/><s id=\"both ' and &quot;\"/><s id=\"x' or '1'='1\"/></r>");
  ASSERT_TRUE(doc);
  const XPathExpression byId(u"/r/s[@id = $id]");
  for (const char16_t* id : {u"it's", u"say \"hi\"", u"both ' and \""}) {
    XPathVariables vars;
    vars.Set(u"id", id);
    const XmlElementList found = byId.Evaluate(*doc, vars);
    ASSERT_EQ(found.size(), 1u) << UTF16to8(id);
    EXPECT_EQ(XmlSchema::GetAttribute(found[0], u"id"), id);
  }
  // An injection attempt matches only the element that literally carries that text.
  XPathVariables vars;
  vars.Set(u"id", u"x' or '1'='1");
  EXPECT_EQ(byId.Evaluate(*doc, vars).size(), 1u);
}

bool AllIn(const XmlElementList& elements, const XmlDocument& doc) {
  return std::all_of(elements.begin(), elements.end(),
                     [&](xercesc::DOMElement* e) { return e->getOwnerDocument() == doc.Dom(); });
}

// Each document has its mirror: a second document and a document made where a released one was
// get their own elements.
TEST(XPathMirrors, ADocumentNeverUsesAnothersMirror) {
  const XPathExpression byId(u"/r/e[@id = $id]");
  XPathVariables vars;
  vars.Set(u"id", u"2");
  XmlDocumentPtr a = XmlSchema::ParseUtf8("<r><e id='1'/><e id='2'/></r>");
  XmlDocumentPtr b = XmlSchema::ParseUtf8("<r><e id='2'/><e id='2'/><e id='3'/></r>");
  ASSERT_TRUE(a && b);
  const XmlElementList inA = byId.Evaluate(*a, vars);
  const XmlElementList inB = byId.Evaluate(*b, vars);
  ASSERT_EQ(inA.size(), 1u);
  ASSERT_EQ(inB.size(), 2u);
  EXPECT_TRUE(AllIn(inA, *a));
  EXPECT_TRUE(AllIn(inB, *b));
  EXPECT_EQ(byId.Evaluate(*a, vars), inA);  // a's mirror again, after b's was built

  // Documents made and released in turn, often at the addresses of the ones before.
  for (int i = 1; i <= 20; ++i) {
    a = XmlSchema::ParseUtf8("<r>" + std::string(static_cast<size_t>(i), 'x') + "<e id='2'/></r>");
    ASSERT_TRUE(a);
    const XmlElementList found = byId.Evaluate(*a, vars);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(AllIn(found, *a));
  }
}

TEST(XPathThreads, SeveralThreadsEvaluateOverOneDocument) {
  const XmlDocumentPtr doc = XmlSchema::ParseUtf8(ReadFile(OVANTA_CLIENT_TEST_DATA "/assessment.xml"));
  ASSERT_TRUE(doc);
  const XPathExpression e(u"/voxlet:assessment/voxlet:questions/voxlet:question[@xml:id = $id]");
  std::vector<size_t> counts(4, 0);
  {
    std::vector<std::jthread> threads;
    for (size_t t = 0; t < counts.size(); ++t) {
      threads.emplace_back([&, t] {
        for (int i = 1; i <= 6 * 10; ++i) {
          XPathVariables vars;
          vars.Set(u"id", u"q" + FormatInteger(1 + i % 6));
          counts[t] += e.Evaluate(*doc, vars).size();
        }
      });
    }
  }
  for (size_t c : counts) EXPECT_EQ(c, 60u);
}

}  // namespace
}  // namespace Voxlet
