#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/XmlSchema.h"
#include "content/ReceiverUtilities.h"
#include "tests/protocol/LogCapture.h"
#include "text/StringBuffer.h"

namespace {

// An assessment document with nine questions (q1 to q9) and the given submissions.
Voxlet::XmlDocumentPtr ResultsDocument(const std::string& submissions) {
  std::string questions;
  for (int i = 1; i <= 9; ++i) {
    const std::string n = std::to_string(i);
    questions += "<voxlet:question xml:id=\"q" + n + "\" voxlet:questionnumber=\"" + n + "\"/>";
  }
  return Voxlet::XmlSchema::ParseUtf8(
      "<voxlet:assessment xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\"><voxlet:questions>" + questions +
      "</voxlet:questions><voxlet:submissions>" + submissions + "</voxlet:submissions></voxlet:assessment>");
}

std::string Submission(const std::string& student, const std::string& score, const std::string& responses = "") {
  return "<voxlet:submission voxlet:studentid=\"" + student + "\" voxlet:score=\"" + score + "\">" + responses +
         "</voxlet:submission>";
}

std::string Response(int question, const std::string& correct) {
  return "<voxlet:response voxlet:questionid=\"q" + std::to_string(question) + "\" voxlet:correct=\"" + correct +
         "\"/>";
}

Voxlet::XmlElementList Questions(const Voxlet::XmlDocumentPtr& document, size_t count) {
  Voxlet::XmlElementList all =
      Voxlet::XmlSchema::GetAllChildElements(Voxlet::XmlSchema::FindElement(document->Root(), u"voxlet:questions"));
  all.resize(std::min(count, all.size()));
  return all;
}

std::string Package(const Voxlet::XmlDocumentPtr& document, const std::string& student, size_t questionCount,
                    unsigned short address = 0x0102) {
  return Voxlet::UTF16to8(ReceiverUtilities::PackageStudentSubmissions(address, Voxlet::UTF8to16(student),
                                                                       Questions(document, questionCount), document));
}

// The score as whole percent and tenths, held to what a byte holds; the address as its two bytes.
TEST(StudentResultsTest, ScoreBecomesWholePercentAndTenthsHeldToAByte) {
  const std::pair<const char*, const char*> cases[] = {
      {"0.8765", "1,2,27,57,7,0,0"}, {"1", "1,2,27,64,0,0,0"},     {"nan", "1,2,27,0,0,0,0"},
      {"0.0004", "1,2,27,0,0,0,0"},  {"0.0005", "1,2,27,0,1,0,0"}, {"3", "1,2,27,ff,0,0,0"},
      {"2.55", "1,2,27,ff,0,0,0"},   {"1e300", "1,2,27,ff,0,0,0"}, {"-0.5", "1,2,27,0,0,0,0"},
      {"most", "1,2,27,0,0,0,0"},    {"inf", "1,2,27,ff,0,0,0"},   {"-nan", "1,2,27,0,0,0,0"},
  };
  for (const auto& [score, packaged] : cases)
    EXPECT_EQ(Package(ResultsDocument(Submission("a", score)), "a", 0), packaged) << score;
  const auto document = ResultsDocument(Submission("a", "0"));
  EXPECT_EQ(Package(document, "a", 0, 0xABCD), "ab,cd,27,0,0,0,0");
  EXPECT_EQ(Package(document, "a", 0, 0x00FF), "0,ff,27,0,0,0,0");
}

TEST(StudentResultsTest, OnlyTheStudentsOwnResponsesCountAsBitsInQuestionOrder) {
  const auto document =
      ResultsDocument(Submission("other", "1", Response(1, "correct") + Response(2, "correct")) +
                      Submission("s", "0.25", Response(2, "correct") + Response(3, "Correct") + Response(4, "")));
  EXPECT_EQ(Package(document, "s", 4), "1,2,27,19,0,0,4,2");
  // Grades go least significant bit first, eight to a byte, a byte only for a started eight.
  const auto nine = ResultsDocument(Submission(
      "s", "1", Response(1, "correct") + Response(2, "correct") + Response(8, "correct") + Response(9, "correct")));
  EXPECT_EQ(Package(nine, "s", 9), "1,2,27,64,0,0,9,83,1");
  EXPECT_EQ(Package(nine, "s", 8), "1,2,27,64,0,0,8,83");
}

// A missing submission (or document) gives zero score and grades, an empty question list no
// grade bytes, and a lone question carries its number as offset.
TEST(StudentResultsTest, MissingSubmissionEmptyListAndLoneQuestion) {
  const auto document = ResultsDocument(Submission("other", "1", Response(1, "correct")));
  EXPECT_EQ(Package(document, "s", 9), "1,2,27,0,0,0,9,0,0");
  EXPECT_EQ(
      Voxlet::UTF16to8(ReceiverUtilities::PackageStudentSubmissions(0x0102, u"s", Questions(document, 2), nullptr)),
      "1,2,27,0,0,0,2,0");
  EXPECT_EQ(Package(document, "other", 0), "1,2,27,64,0,0,0");

  const auto fifth = ResultsDocument(Submission("s", "1", Response(5, "correct")));
  EXPECT_EQ(
      Voxlet::UTF16to8(ReceiverUtilities::PackageStudentSubmissions(0x0102, u"s", {Questions(fifth, 9)[4]}, fifth)),
      "1,2,27,64,0,4,1,1");
}

TEST(StudentResultsTest, IdentifiersWithQuotesAreMatchedAsValues) {
  const auto document =
      ResultsDocument(Submission("o&apos;brien &quot;jr&quot;", "1", Response(1, "correct")) + Submission("x", "0.5"));
  EXPECT_EQ(Package(document, "o'brien \"jr\"", 1), "1,2,27,64,0,0,1,1");
  EXPECT_EQ(Package(document, "x' or '1'='1", 1), "1,2,27,0,0,0,1,0");
}

// A question answered twice is graded incorrect, and logged; a student's responses count across
// two submissions of theirs, the score from the first.
TEST(StudentResultsTest, AQuestionAnsweredTwiceIsIncorrect) {
  LogCapture log;
  const auto document =
      ResultsDocument(Submission("a", "1", Response(1, "correct") + Response(3, "correct") + Response(3, "correct")) +
                      Submission("b", "0.5", Response(1, "opinion") + Response(5, "correct")) +
                      Submission("b", "0.7", Response(5, "correct")));
  EXPECT_EQ(Package(document, "a", 6), "1,2,27,64,0,0,6,1");
  EXPECT_EQ(Package(document, "b", 6), "1,2,27,32,0,0,6,1");
  EXPECT_EQ(log.Count("Packaging student submissions for student a ..."), 1u);
  EXPECT_GE(log.Count("Error packaging students' responses: Multiple responses found from the same student for the "
                      "same question. Setting to incorrect"),
            1u);
}

}  // namespace
