// Marking, the results table and the submissions block of the served assessment document. (What
// the service packs for the clickers from that document is in the lesson replay transcript.)
#include <gtest/gtest.h>

#include "tools/service-sim/Results.h"
#include "tools/service-sim/SimText.h"

using namespace ServiceSim;

namespace {

QuestionKey Question(const std::string& id, const std::string& format, std::vector<AnswerOption> options,
                     double points = 1) {
  QuestionKey q;
  q.id = id;
  q.format = format;
  q.points = points;
  q.options = std::move(options);
  return q;
}

AnswerOption Choice(double points, const std::string& value) {
  AnswerOption o;
  o.points = points;
  o.choiceValue = value;
  return o;
}

AnswerOption Text(double points, const std::string& value) {
  AnswerOption o;
  o.points = points;
  o.exactMatches = value;
  return o;
}

AnswerOption Range(double low, std::optional<double> high = std::nullopt) {
  AnswerOption o;
  o.points = 1;
  o.minimum = low;
  o.maximum = high;
  return o;
}

Verdict Mark(const QuestionKey& q, const std::string& answer) { return GradeAnswer(q, answer).verdict; }

TEST(ToolsResults, AnswersAreMarkedByTheirFormat) {
  const QuestionKey choice = Question("q1", "choice", {Choice(0, "A"), Choice(1, "C")}, 2);
  EXPECT_EQ(GradeAnswer(choice, "C").earned, 2);     // the question's points
  EXPECT_EQ(Mark(choice, "A"), Verdict::Incorrect);  // listed, but worth nothing
  EXPECT_EQ(Mark(choice, "B"), Verdict::Incorrect);
  EXPECT_EQ(Mark(choice, ""), Verdict::Incorrect);

  const QuestionKey selection = Question("q", "selection", {Choice(1, "A C")});
  EXPECT_EQ(Mark(selection, "C A"), Verdict::Correct);
  EXPECT_EQ(Mark(selection, "A"), Verdict::Incorrect);
  const QuestionKey ordering = Question("q", "ordering", {Choice(1, "Z X Y")});
  EXPECT_EQ(Mark(ordering, "Z X Y"), Verdict::Correct);
  EXPECT_EQ(Mark(ordering, "X Y Z"), Verdict::Incorrect);

  const QuestionKey decimal = Question("q", "decimal", {Range(3.5)});
  EXPECT_EQ(Mark(decimal, "3.5"), Verdict::Correct);
  EXPECT_EQ(Mark(decimal, "7/2"), Verdict::Correct);
  EXPECT_EQ(Mark(decimal, "3.50"), Verdict::Correct);
  EXPECT_EQ(Mark(decimal, "3.6"), Verdict::Incorrect);
  EXPECT_EQ(Mark(decimal, "-"), Verdict::Incorrect);
  EXPECT_EQ(Mark(Question("q", "fractional", {Range(0.7, 0.8)}), "3/4"), Verdict::Correct);
  EXPECT_EQ(Mark(Question("q", "fraction", {Text(1, "3/4")}), "0.75"), Verdict::Correct);
  EXPECT_EQ(Mark(Question("q", "fraction", {Text(1, "3/4")}), "1/0"), Verdict::Incorrect);

  const QuestionKey shortAnswer = Question("q", "short-answer", {Text(1, "Paris|Lutetia")});
  EXPECT_EQ(Mark(shortAnswer, "paris"), Verdict::Correct);
  EXPECT_EQ(Mark(shortAnswer, " Lutetia "), Verdict::Correct);
  EXPECT_EQ(Mark(shortAnswer, "Lyon"), Verdict::Incorrect);
  const QuestionKey math = Question("q", "math", {Text(1, "\\[x^{2}+1\\]")});
  EXPECT_EQ(Mark(math, "\\[x^{2} + 1\\]"), Verdict::Correct);
  EXPECT_EQ(Mark(Question("q", "text", {}), "anything"), Verdict::Opinion);
  EXPECT_EQ(GradeAnswer(Question("q", "text", {}), "anything").earned, 0);
}

TEST(ToolsResults, TheTableCountsAnswersSpreadsThemAndScoresEachStudent) {
  AssessmentKey key;
  key.questions = {Question("q1", "choice", {Choice(1, "C")}), Question("q2", "text", {}),
                   Question("q3", "decimal", {Range(3.5)}, 2)};
  key.questions[0].number = 1;
  key.questions[1].number = 2;
  key.questions[2].number = 3;
  const std::vector<Student> roster = {{"1", "s-1", "Ann"}, {"2", "s-2", "Bob"}, {"3", "s-3", "Cy"}, {"4", "s-4", ""}};
  const std::vector<RecordedAnswer> answers = {
      {"s-1", "q1", "A"},       {"s-1", "q1", "C"},  // changed its mind: the later answer counts
      {"s-1", "q2", "Because"}, {"s-1", "q3", "3.5"}, {"s-2", "q1", "B"},
      {"s-2", "q3", "4"},       {"s-3", "", ""},  // ended its session without answering
      {"s-9", "q1", "C"},                         // not on the roster
      {"s-2", "q7", "?"},                         // no such question
  };
  const ResultsTable table = ComputeResults("class-1", "quiz", key, roster, answers);
  ASSERT_EQ(table.questions.size(), 3u);
  EXPECT_EQ(table.questions[0].answered, 3);
  ASSERT_EQ(table.questions[0].spread.size(), 2u);
  EXPECT_EQ(table.questions[0].spread[0].answer, "C");
  EXPECT_EQ(table.questions[0].spread[0].count, 2);
  EXPECT_EQ(table.questions[0].spread[0].verdict, Verdict::Correct);
  EXPECT_EQ(table.questions[0].spread[1].answer, "B");
  EXPECT_EQ(table.questions[1].answered, 1);
  EXPECT_EQ(table.questions[2].answered, 2);

  ASSERT_EQ(table.students.size(), 5u);
  EXPECT_EQ(table.students[4].id, "s-9");
  EXPECT_EQ(table.Submitted(), 4);
  // Possible points: q1 (1) and q3 (2); the opinion question marks nothing.
  EXPECT_EQ(table.students[0].Score(), 1.0);
  EXPECT_EQ(table.students[1].Score(), 0.0);
  EXPECT_TRUE(table.students[2].submitted);
  EXPECT_EQ(table.students[2].Score(), 0.0);
  EXPECT_FALSE(table.students[3].submitted);
  EXPECT_NEAR(*table.students[4].Score(), 1.0 / 3.0, 1e-12);

  const std::string text = FormatResults(table);
  EXPECT_NE(text.find("Results of assessment quiz in class class-1: 4 student(s) submitted, 4 on the roster"),
            std::string::npos)
      << text;
  EXPECT_NE(
      text.find("Question 1 q1 (choice, 1 point): 3 answered\n         2  C  (correct)\n         1  B  (incorrect)"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("s-1 (1 Ann): q1=C(+) q2=Because q3=3.5(+)  score 3/3 = 100.0%"), std::string::npos) << text;
  EXPECT_NE(text.find("s-3 (3 Cy): (no answers)  score 0/3 = 0.0%"), std::string::npos) << text;
  EXPECT_NE(text.find("s-4 (4): no submission"), std::string::npos) << text;

  // Without a marked question there is no score: the document says "nan".
  AssessmentKey opinions;
  opinions.questions = {Question("q1", "text", {})};
  const ResultsTable unscored = ComputeResults("c", "a", opinions, {}, {{"s-1", "q1", "x < y"}});
  EXPECT_FALSE(unscored.students[0].Score());
  EXPECT_EQ(SubmissionsXml(unscored),
            "<voxlet:submissions xmlns:voxlet=\"" + kVocabulary +
                "\"><voxlet:submission voxlet:studentid=\"s-1\" voxlet:score=\"nan\"><voxlet:response "
                "voxlet:questionid=\"q1\" voxlet:correct=\"opinion\" voxlet:points=\"0\">x &lt; y</voxlet:response>"
                "</voxlet:submission></voxlet:submissions>");
}

TEST(ToolsResults, TheSubmissionsBlockIsReplacedOrAdded) {
  const ResultsTable empty;
  const std::string block = SubmissionsXml(empty);
  EXPECT_EQ(WithSubmissions("<voxlet:assessment><voxlet:submissions/></voxlet:assessment>", empty),
            "<voxlet:assessment>" + block + "</voxlet:assessment>");
  EXPECT_EQ(WithSubmissions("<voxlet:assessment><voxlet:submissions><voxlet:submission voxlet:studentid=\"old\"/>"
                            "</voxlet:submissions><x/></voxlet:assessment>",
                            empty),
            "<voxlet:assessment>" + block + "<x/></voxlet:assessment>");
  EXPECT_EQ(WithSubmissions("<voxlet:assessment><q/></voxlet:assessment>", empty),
            "<voxlet:assessment><q/>" + block + "</voxlet:assessment>");
}

}  // namespace
