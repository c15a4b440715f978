// The documents sent for clickers, byte for byte where the software service reads them as text.
#include <gtest/gtest.h>

#include "bridge/ClickerDocuments.h"
#include "client/XmlSchema.h"

namespace {
std::string Utf8(const Voxlet::StringBuffer& text) { return Voxlet::UTF16to8(text); }
}  // namespace

// Braces and apostrophes are pattern syntax to the formatter that fills the document, not to the
// answer or the question id.
TEST(ClickerDocuments, SubmissionIsTheExactDocumentWithTheAnswerEscapedAndPatternsLeftAlone) {
  const Voxlet::StringBuffer answer = u"a<b & \"c\" it's {1} \\[x^{2}\\]";
  const Voxlet::StringBuffer text = Bridge::SubmissionText(u"2026-12-08T09:00:00.000Z", u"2", u"q{0}", answer);
  EXPECT_EQ(Utf8(text),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
            "<voxlet:submission voxlet:submitted=\"2026-12-08T09:00:00.000Z\" "
            "xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\" xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
            "<voxlet:response voxlet:computermarks=\"2\" voxlet:submitted=\"2026-12-08T09:00:00.000Z\" "
            "voxlet:teachermarks=\"\" voxlet:questionid=\"q{0}\">a&lt;b &amp; &quot;c&quot; it&apos;s {1} \\[x^{2}\\]"
            "</voxlet:response></voxlet:submission>");
  Voxlet::XmlDocumentPtr document = Voxlet::XmlSchema::Parse(text);
  ASSERT_TRUE(document);
  const xercesc::DOMElement* response = Voxlet::XmlSchema::FindElement(document->Root(), u"voxlet:response");
  EXPECT_EQ(Voxlet::XmlSchema::GetTextContent(response), answer);
  EXPECT_EQ(Voxlet::XmlSchema::GetAttribute(response, u"voxlet:questionid"), u"q{0}");
}

TEST(ClickerDocuments, EmptySubmissionAndRaisedHand) {
  EXPECT_EQ(Utf8(Bridge::EmptySubmissionText(u"2026-12-08T09:00:00.000Z", u"s-1001")),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
            "<voxlet:submission xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\" "
            "xmlns:xlink=\"http://www.w3.org/1999/xlink\" voxlet:bonusmarks=\"\" voxlet:marks=\"\" "
            "voxlet:studentid=\"s-1001\" voxlet:submitted=\"2026-12-08T09:00:00.000Z\"></voxlet:submission>");
  EXPECT_EQ(Utf8(Bridge::RaisedHandText(u"2026-12-08T09:00:00.000Z", u"s-1001", true)),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
            "<voxlet:raisedhand xmlns:voxlet = \"http://schemas.vantrel.org/2008/voxlet/\" "
            "voxlet:time=\"2026-12-08T09:00:00.000Z\" voxlet:studentid=\"s-1001\" voxlet:value=\"true\"/>");
  // A student id with markup in it does not break the document.
  EXPECT_TRUE(Voxlet::XmlSchema::Parse(Bridge::RaisedHandText(u"t", u"a\"<b>", false)));
}

TEST(ClickerDocuments, SubmitPathEncodesBothIds) {
  EXPECT_EQ(Utf8(Bridge::SubmitPath(u"quiz 1&x=2", u"class/1")),
            "/voxlet/builtins/teachers/submit?assessment=quiz%201%26x%3D2&class=class%2F1");
}
