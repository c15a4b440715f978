// Marking, the results table and the submissions block of the served assessment document. (The
// lesson's own answers marked and sent back to the clickers are the lesson replay transcript.)
#include <gtest/gtest.h>

#include "tools/service-sim/Results.h"
#include "tools/service-sim/SimText.h"

using namespace ServiceSim;

namespace {

// Options as "c:VALUE" (a choice worth 1), "c0:VALUE" (worth nothing), "t:TEXT" (exact
// matches), "r:LOW" or "r:LOW:HIGH" (a number range).
QuestionKey Question(const std::string& id, const std::string& format, const std::vector<std::string>& options,
                     double points = 1) {
  QuestionKey q;
  q.id = id;
  q.points = points;
  q.format = format;
  for (const std::string& option : options) {
    const size_t colon = option.find(':');
    const std::string kind = option.substr(0, colon), value = option.substr(colon + 1);
    AnswerOption o;
    o.points = kind == "c0" ? 0 : 1;
    if (kind[0] == 'c') o.choiceValue = value;
    if (kind == "t") o.exactMatches = value;
    if (kind == "r") {
      o.minimum = std::stod(value);
      if (value.find(':') != std::string::npos) o.maximum = std::stod(value.substr(value.find(':') + 1));
    }
    q.options.push_back(o);
  }
  return q;
}

TEST(ToolsResults, AnswersAreMarkedByTheirFormat) {
  const struct {
    QuestionKey question;
    std::vector<std::pair<std::string, Verdict>> answers;
  } cases[] = {
      {Question("q", "choice", {"c0:A", "c:C"}),
       {{"C", Verdict::Correct}, {"A", Verdict::Incorrect}, {"", Verdict::Incorrect}}},
      {Question("q", "selection", {"c:A C"}), {{"C A", Verdict::Correct}, {"A", Verdict::Incorrect}}},
      {Question("q", "ordering", {"c:Z X Y"}), {{"Z X Y", Verdict::Correct}, {"X Y Z", Verdict::Incorrect}}},
      {Question("q", "decimal", {"r:3.5"}),
       {{"3.5", Verdict::Correct},
        {"7/2", Verdict::Correct},
        {"3.50", Verdict::Correct},
        {"3.6", Verdict::Incorrect},
        {"-", Verdict::Incorrect}}},
      {Question("q", "fractional", {"r:0.7:0.8"}), {{"3/4", Verdict::Correct}}},
      {Question("q", "fraction", {"t:3/4"}), {{"0.75", Verdict::Correct}, {"1/0", Verdict::Incorrect}}},
      {Question("q", "short-answer", {"t:Paris|Lutetia"}),
       {{"paris", Verdict::Correct}, {" Lutetia ", Verdict::Correct}, {"Lyon", Verdict::Incorrect}}},
      {Question("q", "math", {"t:\\[x^{2}+1\\]"}), {{"\\[x^{2} + 1\\]", Verdict::Correct}}},
      {Question("q", "text", {}), {{"anything", Verdict::Opinion}}},
  };
  for (const auto& c : cases)
    for (const auto& [answer, verdict] : c.answers)
      EXPECT_EQ(GradeAnswer(c.question, answer).verdict, verdict) << c.question.format << " " << answer;
  EXPECT_EQ(GradeAnswer(Question("q", "choice", {"c:C"}, 2), "C").earned, 2);  // the question's points
  EXPECT_EQ(GradeAnswer(Question("q", "text", {}), "anything").earned, 0);
}

TEST(ToolsResults, TheTableCountsAnswersSpreadsThemAndScoresEachStudent) {
  AssessmentKey key;
  key.questions = {Question("q1", "choice", {"c:C"}), Question("q2", "text", {}),
                   Question("q3", "decimal", {"r:3.5"}, 2)};
  for (int n = 0; n < 3; ++n) key.questions[n].number = n + 1;
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
  EXPECT_EQ(table.questions[1].answered, 1);
  EXPECT_EQ(table.questions[2].answered, 2);
  ASSERT_EQ(table.students.size(), 5u);
  EXPECT_EQ(table.students[4].id, "s-9");
  EXPECT_EQ(table.Submitted(), 4);
  EXPECT_TRUE(table.students[2].submitted);
  EXPECT_FALSE(table.students[3].submitted);
  EXPECT_NEAR(*table.students[4].Score(), 1.0 / 3.0, 1e-12);  // q1 and q3 count; the opinion marks nothing
  const std::string text = FormatResults(table);
  for (const char* line : {
           "Results of assessment quiz in class class-1: 4 student(s) submitted, 4 on the roster",
           "Question 1 q1 (choice, 1 point): 3 answered\n         2  C  (correct)\n         1  B  (incorrect)",
           "s-1 (1 Ann): q1=C(+) q2=Because q3=3.5(+)  score 3/3 = 100.0%",
           "s-3 (3 Cy): (no answers)  score 0/3 = 0.0%",
           "s-4 (4): no submission",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;

  // Without a marked question there is no score: the document says "nan".
  AssessmentKey opinions;
  opinions.questions = {Question("q1", "text", {})};
  const ResultsTable unscored = ComputeResults("c", "a", opinions, {}, {{"s-1", "q1", "x < y"}});
  EXPECT_EQ(SubmissionsXml(unscored),
            "<voxlet:submissions xmlns:voxlet=\"" + kVocabulary +
                "\"><voxlet:submission voxlet:studentid=\"s-1\" voxlet:score=\"nan\"><voxlet:response "
                "voxlet:questionid=\"q1\" voxlet:correct=\"opinion\" voxlet:points=\"0\">x &lt; y</voxlet:response>"
                "</voxlet:submission></voxlet:submissions>");
  // The block replaces the document's, or is added at the end when it has none.
  const std::string block = SubmissionsXml(unscored);
  EXPECT_EQ(WithSubmissions("<voxlet:assessment><voxlet:submissions><voxlet:submission voxlet:studentid=\"old\"/>"
                            "</voxlet:submissions><x/></voxlet:assessment>",
                            unscored),
            "<voxlet:assessment>" + block + "<x/></voxlet:assessment>");
  EXPECT_EQ(WithSubmissions("<voxlet:assessment><q/></voxlet:assessment>", unscored),
            "<voxlet:assessment><q/>" + block + "</voxlet:assessment>");
}

}  // namespace
