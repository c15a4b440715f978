// Builds assessments whose shape comes from the input (formats, label styles, answers, points,
// choice values, scores, responses) and packages their questions and one student's results.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/XmlSchema.h"
#include "content/ReceiverUtilities.h"
#include "tests/content/AssessmentFixture.h"

namespace {

// Reads the input a byte at a time; past its end every byte reads as 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool More() const { return m_at < m_size; }
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  template <size_t N>
  const char* Pick(const char* const (&choices)[N]) {
    return choices[Byte() % N];
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

const char* const kFormats[] = {"questionformat#choice",       "questionformat#ordering",
                                "questionformat#selection",    "questionformat#matching",
                                "questionformat#decimal",      "questionformat#fraction",
                                "questionformat#short-answer", "questionformat#math",
                                "questionformat#other",        ""};
const char* const kStyles[] = {"choicelabelstyle#upper-alpha", "choicelabelstyle#true-false", "choicelabelstyle#yes-no",
                               ""};
const char* const kPoints[] = {"0", "1", "2", "-1", "0.5", "nan", "inf", "-inf", "1e400", "x", ""};
const char* const kValues[] = {"A",     "B",
                               "C",     "A B C",
                               "C B A", "B  A",
                               "-1.5",  "3/4",
                               "12 34", "0123456789 -./",
                               "AA",    "",
                               " ",     "1",
                               "11",    "A A A A A A A A A A A A"};
const char* const kPredicates[] = {"choicevalue", "minimumvalue", "exactmatches"};
const char* const kScores[] = {"0", "1", "0.8765", "nan", "-nan", "2.56", "-0.001", "1e308", "inf", "", "x"};
const char* const kCorrect[] = {"correct", "opinion", "incorrect", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  ContentTest::Assessment assessment;
  const int questionCount = input.Byte() % 48;
  for (int q = 0; q < questionCount; ++q) {
    ContentTest::Question question{input.Pick(kFormats), input.Pick(kStyles), {}, {}};
    for (int a = input.Byte() % 4; a > 0; --a) {
      ContentTest::Answer answer;
      if (input.Byte() % 4) answer.points = input.Pick(kPoints);
      if (input.Byte() % 4) answer.value = input.Pick(kValues);
      answer.predicate = input.Pick(kPredicates);
      question.answers.push_back(answer);
    }
    for (int c = input.Byte() % 24; c > 0; --c) {
      if (input.Byte() % 5) {
        question.choices.emplace_back(input.Pick(kValues));
      } else {
        question.choices.emplace_back();
      }
    }
    assessment.Add(question);
  }
  if (!assessment.Build()) return 0;

  std::vector<unsigned int> types;
  const int start = static_cast<int8_t>(input.Byte());
  const int count = static_cast<int8_t>(input.Byte());
  ReceiverUtilities::PackageAssessmentQuestions(assessment.graph, assessment.questions, count, u"0,0,A,0,0,0,0", start,
                                                types);
  ReceiverUtilities::GetFeedbackIDFromFeedbackName(Voxlet::UTF8to16(input.Pick(kValues)));

  // One submission with responses to some of the questions (by their ids q1, q2, ...).
  std::string responses;
  while (input.More()) {
    responses += "<voxlet:response voxlet:questionid=\"q" + std::to_string(input.Byte() % 50) + "\" voxlet:correct=\"" +
                 input.Pick(kCorrect) + "\"/>";
  }
  const Voxlet::XmlDocumentPtr results = Voxlet::XmlSchema::ParseUtf8(
      "<voxlet:assessment xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\"><voxlet:submissions>"
      "<voxlet:submission voxlet:studentid=\"s\" voxlet:score=\"" +
      std::string(kScores[size % std::size(kScores)]) + "\">" + responses +
      "</voxlet:submission></voxlet:submissions></voxlet:assessment>");
  ReceiverUtilities::PackageStudentSubmissions(static_cast<unsigned short>(size), u"s", assessment.questions, results);
  return 0;
}
