// XPath and RDF costs on an assessment of 40 questions, the largest batch a receiver takes:
// the look-ups that packaging questions and results makes per question.
#include <benchmark/benchmark.h>

#include <string>

#include "client/Namespaces.h"
#include "client/RdfGraph.h"
#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"

namespace {

using namespace Voxlet;

constexpr int kQuestions = 40;
constexpr int kStudents = 30;

std::string Q(int n) { return "urn:com.vantrel.voxlet:q" + std::to_string(n); }

// An assessment document: 40 four-choice questions and the submissions of 30 students.
std::string AssessmentXml() {
  std::string xml =
      "<?xml version='1.0' encoding='UTF-8'?><voxlet:assessment "
      "xmlns:voxlet='http://schemas.vantrel.org/2008/voxlet/' xml:id='assessment-1'><voxlet:questions>";
  for (int q = 1; q <= kQuestions; ++q) {
    xml += "<voxlet:question xml:id='q" + std::to_string(q) + "' voxlet:questionnumber='" + std::to_string(q) +
           "' voxlet:points='1' voxlet:resourceid='" + Q(q) + "'>";
    for (char c = 'a'; c <= 'd'; ++c) xml += "<voxlet:choice voxlet:resourceid='" + Q(q) + "-" + c + "'/>";
    xml += "</voxlet:question>";
  }
  xml += "</voxlet:questions><voxlet:submissions>";
  for (int s = 1; s <= kStudents; ++s) {
    xml += "<voxlet:submission voxlet:studentid='s-" + std::to_string(s) + "' voxlet:score='0.75'>";
    for (int q = 1; q <= kQuestions; ++q)
      xml += "<voxlet:response voxlet:questionid='q" + std::to_string(q) + "' voxlet:correct='" +
             (q % 3 ? "correct" : "incorrect") + "'/>";
    xml += "</voxlet:submission>";
  }
  return xml + "</voxlet:submissions></voxlet:assessment>";
}

// Its metadata: format, label style, one scored answer (a blank node) and choice values.
std::string MetadataRdf() {
  const std::string v = "http://schemas.vantrel.org/2008/voxlet/";
  std::string rdf =
      "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#' "
      "xmlns:voxlet='http://schemas.vantrel.org/2008/voxlet/'>";
  for (int q = 1; q <= kQuestions; ++q) {
    rdf += "<rdf:Description rdf:about='" + Q(q) + "'><voxlet:questionformat rdf:resource='" + v +
           "questionformat#choice'/><voxlet:choicelabelstyle rdf:resource='" + v +
           "choicelabelstyle#upper-alpha'/><voxlet:answer rdf:parseType='Resource'><voxlet:points>1</voxlet:points>"
           "<voxlet:choicevalue>B</voxlet:choicevalue></voxlet:answer></rdf:Description>";
    for (char c = 'a'; c <= 'd'; ++c)
      rdf += "<rdf:Description rdf:about='" + Q(q) + "-" + c + "'><voxlet:choicevalue>" +
             static_cast<char>(c - 'a' + 'A') + "</voxlet:choicevalue></rdf:Description>";
  }
  return rdf + "</rdf:RDF>";
}

const std::string& Assessment() {
  static const std::string text = AssessmentXml();
  return text;
}
const std::string& Metadata() {
  static const std::string text = MetadataRdf();
  return text;
}

void BM_ParseAssessment(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(XmlSchema::ParseUtf8(Assessment()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Assessment().size()));
}
BENCHMARK(BM_ParseAssessment)->Unit(benchmark::kMicrosecond);

// The current question by its xml:id (question activation).
void BM_XPathQuestionById(benchmark::State& state) {
  XmlDocumentPtr doc = XmlSchema::ParseUtf8(Assessment());
  const XPathExpression byId(u"/voxlet:assessment/voxlet:questions/voxlet:question[@xml:id=$id]");
  XPathVariables vars;
  vars.Set(u"id", u"q37");
  for (auto _ : state) {
    auto found = byId.Evaluate(*doc, vars);
    if (found.size() != 1) state.SkipWithError("no match");
  }
}
BENCHMARK(BM_XPathQuestionById)->Unit(benchmark::kMicrosecond);

// One student's results: the submission, then each question's response (41 evaluations).
void BM_XPathStudentResults(benchmark::State& state) {
  XmlDocumentPtr doc = XmlSchema::ParseUtf8(Assessment());
  const XPathExpression submission(
      u"/voxlet:assessment/voxlet:submissions/voxlet:submission[@voxlet:studentid=$studentxmlid]");
  const XPathExpression response(
      u"/voxlet:assessment/voxlet:submissions/voxlet:submission[@voxlet:studentid=$studentxmlid]"
      u"/voxlet:response[@voxlet:questionid=$questionxmlid]");
  XPathVariables vars;
  vars.Set(u"studentxmlid", u"s-17");
  for (auto _ : state) {
    size_t matches = submission.Evaluate(*doc, vars).size();
    for (int q = 1; q <= kQuestions; ++q) {
      vars.Set(u"questionxmlid", u"q" + FormatInteger(q));
      matches += response.Evaluate(*doc, vars).size();
    }
    if (matches != kQuestions + 1) state.SkipWithError("wrong matches");
  }
}
BENCHMARK(BM_XPathStudentResults)->Unit(benchmark::kMicrosecond);

// The plain DOM walk the same look-up can also be written as, for comparison.
void BM_DomQuestionById(benchmark::State& state) {
  XmlDocumentPtr doc = XmlSchema::ParseUtf8(Assessment());
  for (auto _ : state) {
    auto* questions = XmlSchema::FindElement(doc->Root(), u"voxlet:questions");
    xercesc::DOMElement* found = nullptr;
    for (auto* q : XmlSchema::GetAllChildElements(questions))
      if (XmlSchema::GetAttribute(q, u"xml:id") == u"q37") found = q;
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_DomQuestionById)->Unit(benchmark::kMicrosecond);

void BM_RdfAddMetadata(benchmark::State& state) {
  for (auto _ : state) {
    RDF::Graph graph;
    if (!graph.Add(Metadata())) state.SkipWithError("parse failed");
  }
}
BENCHMARK(BM_RdfAddMetadata)->Unit(benchmark::kMicrosecond);

// One (subject, predicate) look-up.
void BM_RdfFindBySubjectPredicate(benchmark::State& state) {
  RDF::Graph graph;
  graph.Add(Metadata());
  const StringBuffer subject = UTF8to16(Q(23));
  const StringBuffer predicate = VocabularyTerm(u"questionformat");
  RDF::TripleList found;
  for (auto _ : state) {
    found.clear();
    graph.FindTriples(subject, RDF::Resource, predicate, {}, RDF::Any, found);
    benchmark::DoNotOptimize(found.data());
  }
}
BENCHMARK(BM_RdfFindBySubjectPredicate)->Unit(benchmark::kNanosecond);

// What packaging 40 questions asks of the graph: format, style, answers, points and value,
// and each choice's value.
void BM_RdfPackagingLookups(benchmark::State& state) {
  RDF::Graph graph;
  graph.Add(Metadata());
  std::vector<StringBuffer> questions, choices;
  for (int q = 1; q <= kQuestions; ++q) {
    questions.push_back(UTF8to16(Q(q)));
    for (char c = 'a'; c <= 'd'; ++c) choices.push_back(UTF8to16(Q(q) + "-" + c));
  }
  const StringBuffer format = VocabularyTerm(u"questionformat"), style = VocabularyTerm(u"choicelabelstyle"),
                     answer = VocabularyTerm(u"answer"), points = VocabularyTerm(u"points"),
                     value = VocabularyTerm(u"choicevalue");
  for (auto _ : state) {
    size_t found = 0;
    for (const StringBuffer& q : questions) {
      found += graph.FindObject(q, RDF::Resource, format).has_value();
      found += graph.FindObject(q, RDF::Resource, style).has_value();
      for (const RDF::Triple& a : graph.FindTriples(q, RDF::Resource, answer)) {
        found += graph.FindObject(a.object.value, RDF::Blank, points).has_value();
        found += graph.FindObject(a.object.value, RDF::Blank, value).has_value();
      }
    }
    for (const StringBuffer& c : choices) found += graph.FindObject(c, RDF::Resource, value).has_value();
    if (found != kQuestions * 8) state.SkipWithError("missing triples");
  }
}
BENCHMARK(BM_RdfPackagingLookups)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
