#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "client/Namespaces.h"
#include "content/ReceiverUtilities.h"
#include "tests/content/AssessmentFixture.h"
#include "text/StringBuffer.h"

namespace {

using ContentTest::Answer;
using ContentTest::Assessment;
using ContentTest::Question;

std::vector<std::optional<std::string>> Choices(std::initializer_list<const char*> values) {
  std::vector<std::optional<std::string>> choices;
  for (const char* value : values) choices.emplace_back(value);
  return choices;
}

std::vector<std::optional<std::string>> NumberedChoices(int count) {
  std::vector<std::optional<std::string>> choices;
  for (int i = 1; i <= count; ++i) choices.emplace_back("c" + std::to_string(i));
  return choices;
}

// Packages every question of the assessment and answers the text after the prefix.
class QuestionPackagingTest : public ::testing::Test {
 protected:
  // The first call parses the assessment as added so far.
  std::string Package(int start = 0, std::optional<int> count = {}) {
    if (!assessment.document) {
      EXPECT_TRUE(assessment.Build()) << "the test assessment does not parse";
    }
    return Voxlet::UTF16to8(ReceiverUtilities::PackageAssessmentQuestions(
        assessment.graph, assessment.questions, count.value_or(static_cast<int>(assessment.questions.size())),
        u"0,0,A,4,0,1,1", start, types));
  }
  Assessment assessment;
  std::vector<unsigned int> types;
};

TEST_F(QuestionPackagingTest, EachFormatHasItsTypeCodeAndChoiceCount) {
  const auto abc = Choices({"A", "B", "C"});
  const Answer bestB{"1", "B"};
  struct Row {
    std::string format, style, fields;
    unsigned int type;
  };
  const std::vector<Row> rows = {
      {"questionformat#choice", "choicelabelstyle#upper-alpha", ",32,2,0,0,0,0", 2},
      {"questionformat#choice", "choicelabelstyle#true-false", ",30,2,0,0,0,0", 0},
      {"questionformat#choice", "choicelabelstyle#yes-no", ",31,2,0,0,0,0", 1},
      {"questionformat#choice", "choicelabelstyle#lower-roman", ",30,2,0,0,0,0", 0},
      {"questionformat#choice", "", ",30,2,0,0,0,0", 0},
      {"questionformat#matching", "", ",33,0,0,0,0,0", 3},
      {"questionformat#short-answer", "", ",b,0,0,0,0,0", 11},
      {"questionformat#text", "", ",c,0,0,0,0,0", 12},
      {"questionformat#math", "", ",d,0,0,0,0,0", 13},
      {"questionformat#essay", "", ",0,0,0,0,0,0", 0},
      {"questionformat#Choice", "", ",0,0,0,0,0,0", 0},
      {"", "", ",0,0,0,0,0,0", 0},
  };
  std::string expected;
  std::vector<unsigned int> expectedTypes;
  for (const Row& row : rows) {
    assessment.Add({row.format, row.style, {bestB}, abc});
    expected += row.fields;
    expectedTypes.push_back(row.type);
  }
  EXPECT_EQ(Package(), "0,0,A,4,0,1,1" + expected);
  EXPECT_EQ(types, expectedTypes);
}

// Numeric formats carry no choice count, and their characters go as table codes.
TEST_F(QuestionPackagingTest, NumericFormatsCarryTableCodesAndNoChoiceCount) {
  const auto abc = Choices({"A", "B", "C"});
  assessment.Add({"questionformat#decimal", "", {{"1", "2", "minimumvalue"}}, abc});
  assessment.Add({"questionformat#fractional", "", {{"1", "1/2", "minimumvalue"}}, abc});
  assessment.Add({"questionformat#fraction", "", {{"1", "3/4", "minimumvalue"}}, abc});
  assessment.Add({"questionformat#decimal", "", {{"1", "-1.5", "minimumvalue"}}, {}});
  assessment.Add({"questionformat#decimal", "", {{"1", "1,5e", "minimumvalue"}}, {}});
  assessment.Add({"questionformat#decimal", "", {{"1", "1 2", "minimumvalue"}}, {}});
  EXPECT_EQ(Package(), "0,0,A,4,0,1,1,5,6,0,0,0,0,6,35,6,0,0,0,6,37,8,0,0,0,5,51,92,0,0,0,5,95,0,0,0,0,5,e5,6,0,0,0");
  EXPECT_EQ(types, (std::vector<unsigned int>{5, 6, 6, 5, 5, 5}));
}

TEST_F(QuestionPackagingTest, UpperAlphaMarksOnlyTheFirstTenChoices) {
  const auto eleven = NumberedChoices(11);
  assessment.Add({"questionformat#choice", "choicelabelstyle#upper-alpha", {{"1", "c10"}}, eleven});
  assessment.Add({"questionformat#choice", "choicelabelstyle#upper-alpha", {{"1", "c11"}}, eleven});
  assessment.Add({"questionformat#choice", "choicelabelstyle#true-false", {{"1", "c11"}}, eleven});
  assessment.Add({"questionformat#choice", "choicelabelstyle#upper-alpha", {{"1", "c1"}}, eleven});
  EXPECT_EQ(Package(), "0,0,A,4,0,1,1,b2,a,0,0,0,0,b2,0,0,0,0,0,b0,b,0,0,0,0,b2,1,0,0,0,0");
}

TEST_F(QuestionPackagingTest, ChoiceWithoutScoredAnswerMarksNothing) {
  const auto abc = Choices({"A", "B", "C"});
  assessment.Add({"questionformat#choice", "", {}, abc});
  assessment.Add({"questionformat#choice", "", {{"0", ""}}, abc});
  assessment.Add({"questionformat#choice", "", {{"1", "D"}}, abc});
  EXPECT_EQ(Package(), "0,0,A,4,0,1,1,30,0,0,0,0,0,30,0,0,0,0,0,30,0,0,0,0,0");
}

TEST_F(QuestionPackagingTest, ChoiceMatchesOnlyAChildWithExactlyOneValue) {
  assessment.Add({"questionformat#choice", "", {{"1", "B"}}, Choices({"A", "B", "B"})});
  assessment.AddRdf(
      "<rdf:Description rdf:about=\"urn:test:q1-2\"><voxlet:choicevalue>X</voxlet:choicevalue>"
      "</rdf:Description>\n");
  EXPECT_EQ(Package(), "0,0,A,4,0,1,1,30,3,0,0,0,0");
}

TEST_F(QuestionPackagingTest, OrderingTextBecomesPositionNibbles) {
  assessment.Add({"questionformat#ordering", "", {{"2", "Z X Y"}}, Choices({"X", "Y", "Z"})});
  assessment.Add({"questionformat#selection", "", {{"1", "Y Z"}}, Choices({"X", "Y", "Z"})});
  assessment.Add({"questionformat#ordering", "", {{"1", "B A"}}, {std::nullopt, "A", "B"}});
  EXPECT_EQ(Package(), "0,0,A,4,0,1,1,34,13,2,0,0,0,33,32,0,0,0,0,34,23,0,0,0,0");
  EXPECT_EQ(types, (std::vector<unsigned int>{4, 3, 4}));
}

// One question alone: how its best answer is picked and how its answer bytes are packed.
TEST(QuestionPackagingOneTest, BestAnswerAndAnswerBytes) {
  const auto abc = Choices({"A", "B", "C"});
  const struct {
    const char* what;
    Question question;
    const char* fields;
  } cases[] = {
      {"a tie: the best answer needs strictly more points, so the earlier wins",
       {"questionformat#choice", "", {{"1", "C"}, {"1", "A"}}, abc},
       ",30,3,0,0,0,0"},
      {"the highest points in any order",
       {"questionformat#choice", "", {{"0.5", "C"}, {"2", "A"}, {"1.5", "B"}}, abc},
       ",30,1,0,0,0,0"},
      {"choice answers need both points and value: the most points without a value, the next without points",
       {"questionformat#choice", "", {{"9", std::nullopt}, {std::nullopt, "C"}, {"1", "B"}}, abc},
       ",30,2,0,0,0,0"},
      {"a choice question without children marks nothing",
       {"questionformat#choice", "choicelabelstyle#true-false", {{"1", "A"}}, {}},
       ",0,0,0,0,0,0"},
      {"ordering stops at the first position outside 1..10; the two before stay packed",
       {"questionformat#ordering", "", {{"1", "B A K C"}}, {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K"}},
       ",b4,12,0,0,0,0"},
      {"ordering text that is no position ends the conversion",
       {"questionformat#ordering", "", {{"1", "B unknown A"}}, Choices({"A", "B"})},
       ",24,2,0,0,0,0"},
      {"decimal values after the tenth are ORed in from the first nibble on",
       {"questionformat#decimal", "", {{"1", "0123456789-/", "minimumvalue"}}, {}},
       ",5,75,76,98,ba,dc"},
      {"a better decimal answer without a value keeps the earlier value",
       {"questionformat#decimal",
        "",
        {{"1", "1", "minimumvalue"}, {"3", "2", "minimumvalue"}, {"5", std::nullopt, "minimumvalue"}},
        {}},
       ",5,6,0,0,0,0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Assessment assessment;
    assessment.Add(c.question);
    ASSERT_TRUE(assessment.Build());
    std::vector<unsigned int> types;
    EXPECT_EQ(Voxlet::UTF16to8(ReceiverUtilities::PackageAssessmentQuestions(assessment.graph, assessment.questions, 1,
                                                                             u"p", 0, types)),
              std::string("p") + c.fields);
  }
}

// Count and start select a batch of the questions; each batch's types are added to the list.
TEST_F(QuestionPackagingTest, CountAndStartSelectTheQuestions) {
  for (int i = 0; i < 4; ++i) assessment.Add({"questionformat#text", "", {}, {}});
  assessment.Add({"questionformat#math", "", {}, {}});
  EXPECT_EQ(Package(0, 3), "0,0,A,4,0,1,1,c,0,0,0,0,0,c,0,0,0,0,0,c,0,0,0,0,0");
  EXPECT_EQ(Package(3, 2), "0,0,A,4,0,1,1,c,0,0,0,0,0,d,0,0,0,0,0");
  EXPECT_EQ(types, (std::vector<unsigned int>{12, 12, 12, 12, 13}));
}

// No graph, an empty one, or a missing question element: zero fields.
TEST_F(QuestionPackagingTest, MissingDataGivesZeroFields) {
  assessment.Add({"questionformat#choice", "choicelabelstyle#upper-alpha", {{"1", "B"}}, Choices({"A", "B"})});
  ASSERT_TRUE(assessment.Build());
  const std::pair<std::shared_ptr<Voxlet::RDF::Graph>, Voxlet::XmlElementList> cases[] = {
      {std::make_shared<Voxlet::RDF::Graph>(), assessment.questions},
      {nullptr, assessment.questions},
      {assessment.graph, {nullptr}}};
  for (const auto& [graph, questions] : cases)
    EXPECT_EQ(Voxlet::UTF16to8(ReceiverUtilities::PackageAssessmentQuestions(graph, questions, 1, u"", 0, types)),
              ",0,0,0,0,0,0");
  EXPECT_EQ(types, (std::vector<unsigned int>{0, 0, 0}));
}

TEST(FeedbackIdTest, EachFeedbackTermHasItsIdentifierComparedWholeAndExactly) {
  const std::pair<Voxlet::StringBuffer, int> cases[] = {
      {Voxlet::VocabularyTerm(u"feedback#never"), 0},
      {Voxlet::VocabularyTerm(u"feedback#show-after-student-submission"), 1},
      {Voxlet::VocabularyTerm(u"feedback#show-after-assessment-deactivated"), 2},
      {Voxlet::VocabularyTerm(u"feedback#show-after-response-submission"), 3},
      {u"feedback#show-after-response-submission", 0},  // a relative term
      {Voxlet::VocabularyTerm(u"feedback#Show-After-Response-Submission"), 0},
      {Voxlet::VocabularyTerm(u"feedback#show-after-response-submission "), 0},
      {u"", 0},
  };
  for (const auto& [term, id] : cases)
    EXPECT_EQ(ReceiverUtilities::GetFeedbackIDFromFeedbackName(term), id) << Voxlet::UTF16to8(term);
}

}  // namespace
