#include <gtest/gtest.h>

#include "content/ReceiverUtilities.h"
#include "tests/content/AssessmentFixture.h"
#include "text/StringBuffer.h"

// The tests' view of the one look-up that question packaging does not use.
class ReceiverUtilitiesProbe {
 public:
  static std::string ShortAnswer(const ContentTest::Assessment& assessment, size_t question) {
    return Voxlet::UTF16to8(
        ReceiverUtilities::FindCorrectShortAnswer(assessment.questions.at(question), assessment.graph));
  }
};

namespace {

using ContentTest::Answer;
using ContentTest::Assessment;

// The exact matches of the best answer: the most points (the earlier of a tie), scored answers
// only; -2 is below the starting -1 while unparsable points read as 0, which beats it.
TEST(ShortAnswerTest, TakesTheExactMatchesOfTheBestAnswer) {
  Assessment assessment;
  assessment.Add(
      {"questionformat#short-answer", "", {{"1", "Lyon", "exactmatches"}, {"2", "Paris", "exactmatches"}}, {}});
  assessment.Add(
      {"questionformat#short-answer", "", {{"1", "first", "exactmatches"}, {"1", "second", "exactmatches"}}, {}});
  assessment.Add({"questionformat#short-answer", "", {{std::nullopt, "unscored", "exactmatches"}}, {}});
  assessment.Add({"questionformat#short-answer", "", {{"1", "choice", "choicevalue"}}, {}});
  assessment.Add(
      {"questionformat#short-answer", "", {{"-2", "low", "exactmatches"}, {"many", "zero", "exactmatches"}}, {}});
  ASSERT_TRUE(assessment.Build());
  const char* expected[] = {"Paris", "first", "", "", "zero"};
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(ReceiverUtilitiesProbe::ShortAnswer(assessment, i), expected[i]) << i;
}

}  // namespace
