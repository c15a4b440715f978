// Costs of the content conversion on the paths a class meets: a full question batch for the
// receiver, one student's results, a whole class's review results, and a clicker's math answer
// read back.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "client/XmlSchema.h"
#include "content/PacketContainer.h"
#include "content/ReceiverUtilities.h"
#include "content/Translation.h"
#include "tests/content/AssessmentFixture.h"
#include "text/StringBuffer.h"

namespace {

// Forty questions of the formats that carry answer bytes, as a batch holds at most.
ContentTest::Assessment FortyQuestions() {
  ContentTest::Assessment assessment;
  const std::vector<std::optional<std::string>> choices = {"A", "B", "C", "D", "E"};
  for (int i = 0; i < 40; ++i) {
    switch (i % 4) {
      case 0:
        assessment.Add({"questionformat#choice", "choicelabelstyle#upper-alpha", {{"0", "A"}, {"1", "C"}}, choices});
        break;
      case 1:
        assessment.Add({"questionformat#ordering", "", {{"1", "E D C B A"}}, choices});
        break;
      case 2:
        assessment.Add({"questionformat#decimal", "", {{"1", "-12.75", "minimumvalue"}}, {}});
        break;
      default:
        assessment.Add({"questionformat#short-answer", "", {{"1", "Paris", "exactmatches"}}, {}});
        break;
    }
  }
  return assessment;
}

void BM_PackageFortyQuestions(benchmark::State& state) {
  ContentTest::Assessment assessment = FortyQuestions();
  if (!assessment.Build()) {
    state.SkipWithError("assessment did not parse");
    return;
  }
  for (auto _ : state) {
    std::vector<unsigned int> types;
    benchmark::DoNotOptimize(ReceiverUtilities::PackageAssessmentQuestions(assessment.graph, assessment.questions, 40,
                                                                           u"0,0,A,4,0,28,28", 0, types));
  }
}
BENCHMARK(BM_PackageFortyQuestions)->Unit(benchmark::kMicrosecond);

// An assessment document of forty questions with thirty students' submissions, each student
// answering every question.
std::string ResultsDocumentText() {
  std::string questions;
  std::string submissions;
  for (int q = 1; q <= 40; ++q)
    questions +=
        "<voxlet:question xml:id=\"q" + std::to_string(q) + "\" voxlet:questionnumber=\"" + std::to_string(q) + "\"/>";
  for (int s = 1; s <= 30; ++s) {
    submissions += "<voxlet:submission voxlet:studentid=\"s" + std::to_string(s) + "\" voxlet:score=\"0.75\">";
    for (int q = 1; q <= 40; ++q) {
      submissions += "<voxlet:response voxlet:questionid=\"q" + std::to_string(q) + "\" voxlet:correct=\"" +
                     (q % 3 ? "correct" : "incorrect") + "\"/>";
    }
    submissions += "</voxlet:submission>";
  }
  return "<voxlet:assessment xmlns:voxlet=\"http://schemas.vantrel.org/2008/voxlet/\"><voxlet:questions>" + questions +
         "</voxlet:questions><voxlet:submissions>" + submissions + "</voxlet:submissions></voxlet:assessment>";
}

Voxlet::XmlElementList QuestionsOf(const Voxlet::XmlDocumentPtr& document) {
  return Voxlet::XmlSchema::GetAllChildElements(Voxlet::XmlSchema::FindElement(document->Root(), u"voxlet:questions"));
}

// One student's results over forty questions, with thirty students' submissions in the
// document: two XPath evaluations per question, over a document already evaluated before.
void BM_PackageStudentResultsFortyQuestions(benchmark::State& state) {
  const Voxlet::XmlDocumentPtr document = Voxlet::XmlSchema::ParseUtf8(ResultsDocumentText());
  if (!document) {
    state.SkipWithError("document did not parse");
    return;
  }
  const Voxlet::XmlElementList list = QuestionsOf(document);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReceiverUtilities::PackageStudentSubmissions(0x0102, u"s17", list, document));
  }
}
BENCHMARK(BM_PackageStudentResultsFortyQuestions)->Unit(benchmark::kMillisecond);

// The review of a class: a freshly fetched document (parsed outside the timing), then the
// results of each of its thirty students over its forty questions.
void BM_ReviewResultsThirtyStudentsFortyQuestions(benchmark::State& state) {
  const std::string text = ResultsDocumentText();
  for (auto _ : state) {
    state.PauseTiming();
    Voxlet::XmlDocumentPtr document = Voxlet::XmlSchema::ParseUtf8(text);
    if (!document) {
      state.SkipWithError("document did not parse");
      return;
    }
    const Voxlet::XmlElementList list = QuestionsOf(document);
    state.ResumeTiming();
    for (int s = 1; s <= 30; ++s) {
      const Voxlet::StringBuffer student = u"s" + Voxlet::UTF8to16(std::to_string(s));
      benchmark::DoNotOptimize(ReceiverUtilities::PackageStudentSubmissions(static_cast<unsigned short>(0x0100 + s),
                                                                            student, list, document));
    }
    state.PauseTiming();
    document.reset();  // releasing the DOM is not part of the review
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ReviewResultsThirtyStudentsFortyQuestions)->Unit(benchmark::kMillisecond);

// A math answer of 256 bytes: function names, Greek letters, roots, fractions and symbols.
std::vector<unsigned char> MathAnswer() {
  const std::vector<unsigned char> piece = {210, 200, 17, 201, 43,  223, 21,  206, 200, '1', 201, 200,
                                            '2', 201, 14, 204, '[', '3', ']', 3,   212, 'x', 16,  '#'};
  std::vector<unsigned char> answer;
  while (answer.size() < 256) answer.push_back(piece[answer.size() % piece.size()]);
  return answer;
}

void BM_TranslateMathAnswer256(benchmark::State& state) {
  const Translation translation;
  const std::vector<unsigned char> answer = MathAnswer();
  for (auto _ : state) benchmark::DoNotOptimize(translation.translateToUnicodeString(answer, true));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(answer.size()));
}
BENCHMARK(BM_TranslateMathAnswer256);

// The same answer arriving in eight radio packets, joined then translated.
void BM_CombineAndTranslateMathAnswer256(benchmark::State& state) {
  const Translation translation;
  const std::vector<unsigned char> answer = MathAnswer();
  for (auto _ : state) {
    PacketContainer container(8);
    for (unsigned int part = 0; part < 8; ++part) container.insertPart(part, answer.data() + part * 32, 32);
    benchmark::DoNotOptimize(translation.translateToUnicodeString(container.combineAllPacketParts(), true));
  }
}
BENCHMARK(BM_CombineAndTranslateMathAnswer256);

}  // namespace

BENCHMARK_MAIN();
