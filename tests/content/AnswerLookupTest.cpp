// Looking a question's description up in the assessment's graph: an element names its terms by
// its own resource id only, and an answer's node is read under the kind its triple gives it.
#include <gtest/gtest.h>

#include "client/Namespaces.h"
#include "content/AnswerLookup.h"
#include "tests/content/AssessmentFixture.h"

namespace {

using ContentTest::Assessment;
using ContentTest::Question;

std::vector<std::string> Utf8(const std::vector<Voxlet::StringBuffer>& texts) {
  std::vector<std::string> out;
  for (const Voxlet::StringBuffer& text : texts) out.push_back(Voxlet::UTF16to8(text));
  return out;
}

// A child without a resource id adds no value: the choices after it keep their own, and none
// is borrowed from another question (the graph's first choice value is q1's "X").
TEST(AnswerLookup, AChoiceWithoutResourceIdAddsNoValueAndShiftsNoOther) {
  Assessment assessment;
  assessment.Add({"questionformat#choice", "", {}, {"X", "Y"}});
  Question second{"questionformat#choice", "", {}, {"A", "B", "C", "D"}};
  second.choicesWithoutId = {1};
  assessment.Add(second);
  ASSERT_TRUE(assessment.Build());
  const Voxlet::RDF::Graph* graph = assessment.graph.get();
  EXPECT_EQ(Utf8(Content::ChoiceValues(graph, assessment.questions[0])), (std::vector<std::string>{"X", "Y"}));
  EXPECT_EQ(Utf8(Content::ChoiceValues(graph, assessment.questions[1])), (std::vector<std::string>{"A", "C", "D"}));
  EXPECT_TRUE(Content::ChoiceValues(nullptr, assessment.questions[1]).empty());
}

// A question without a resource id has no format, label style or answers of its own, even
// though other questions have them.
TEST(AnswerLookup, AQuestionWithoutResourceIdTakesNoOtherQuestionsDescription) {
  Assessment assessment;
  assessment.Add({"questionformat#decimal", "choicelabelstyle#upper-alpha", {{"1", "3.5", "minimumvalue"}}, {}});
  Question unnamed{"questionformat#choice", "", {{"1", "A"}}, {"A", "B"}};
  unnamed.elementWithoutId = true;
  assessment.Add(unnamed);
  ASSERT_TRUE(assessment.Build());
  const Voxlet::RDF::Graph* graph = assessment.graph.get();
  EXPECT_EQ(Voxlet::UTF16to8(Content::ElementObjectOf(graph, assessment.questions[0], u"questionformat").value_or(u"")),
            Voxlet::UTF16to8(Voxlet::VocabularyTerm(u"questionformat#decimal")));
  EXPECT_FALSE(Content::ElementObjectOf(graph, assessment.questions[1], u"questionformat"));
  EXPECT_FALSE(Content::ElementObjectOf(graph, assessment.questions[1], u"choicelabelstyle"));
  EXPECT_FALSE(Content::ObjectOf(graph, {}, Voxlet::RDF::NodeKind::Any, u"questionformat"));
  const Content::BestAnswer none = Content::FindBestAnswer(graph, assessment.questions[1], u"minimumvalue", false);
  EXPECT_LT(none.points, 0.0);
  EXPECT_TRUE(none.value.empty());
}

// Answers described as resources of their own are read like blank-node ones.
TEST(AnswerLookup, AnAnswerNodeIsReadUnderTheKindOfItsTriple) {
  for (const bool asResources : {false, true}) {
    SCOPED_TRACE(asResources ? "resources" : "blank nodes");
    Assessment assessment;
    Question question{"questionformat#choice", "", {{"1", "A"}, {"2", "C"}, {std::nullopt, "B"}}, {"A", "B", "C"}};
    question.answersAsResources = asResources;
    assessment.Add(question);
    ASSERT_TRUE(assessment.Build());
    const Content::BestAnswer best =
        Content::FindBestAnswer(assessment.graph.get(), assessment.questions[0], u"choicevalue", true);
    EXPECT_EQ(best.points, 2.0);
    EXPECT_EQ(Voxlet::UTF16to8(best.value), "C");
  }
}

}  // namespace
