#include "tests/content/AssessmentFixture.h"

#include "client/XmlSchema.h"

namespace ContentTest {
namespace {

const std::string kBase = "http://schemas.vantrel.org/2008/voxlet/";

std::string Literal(const std::string& predicate, const std::string& value) {
  return "<voxlet:" + predicate + ">" + value + "</voxlet:" + predicate + ">";
}

}  // namespace

std::string RdfDocument(const std::string& statements) {
  return "<?xml version=\"1.0\"?>\n"
         "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:voxlet=\"" +
         kBase + "\">\n" + statements + "</rdf:RDF>\n";
}

size_t Assessment::Add(const Question& question) {
  const std::string id = "q" + std::to_string(++m_count);
  const std::string subject = "urn:test:" + id;
  m_rdf += "<rdf:Description rdf:about=\"" + subject + "\">";
  if (!question.format.empty()) {
    m_rdf += "<voxlet:questionformat rdf:resource=\"" + kBase + question.format + "\"/>";
  }
  if (!question.style.empty()) {
    m_rdf += "<voxlet:choicelabelstyle rdf:resource=\"" + kBase + question.style + "\"/>";
  }
  for (const Answer& answer : question.answers) {
    m_rdf += "<voxlet:answer rdf:parseType=\"Resource\">";
    if (answer.points) m_rdf += Literal("points", *answer.points);
    if (answer.value) m_rdf += Literal(answer.predicate, *answer.value);
    m_rdf += "</voxlet:answer>";
  }
  m_rdf += "</rdf:Description>\n";

  m_xml += "<voxlet:question xml:id=\"" + id + "\" voxlet:questionnumber=\"" + std::to_string(m_count) +
           "\" voxlet:resourceid=\"" + subject + "\">";
  for (size_t i = 0; i < question.choices.size(); ++i) {
    const std::string choice = subject + "-" + std::to_string(i + 1);
    m_xml += "<voxlet:choice voxlet:resourceid=\"" + choice + "\"/>";
    if (question.choices[i]) {
      m_rdf += "<rdf:Description rdf:about=\"" + choice + "\">" + Literal("choicevalue", *question.choices[i]) +
               "</rdf:Description>\n";
    }
  }
  m_xml += "</voxlet:question>\n";
  return m_count - 1;
}

bool Assessment::Build() {
  graph = std::make_shared<Voxlet::RDF::Graph>();
  if (!graph->Add(RdfDocument(m_rdf))) return false;
  document = Voxlet::XmlSchema::ParseUtf8("<voxlet:assessment xmlns:voxlet=\"" + kBase + "\"><voxlet:questions>" +
                                          m_xml + "</voxlet:questions></voxlet:assessment>");
  if (!document) return false;
  questions =
      Voxlet::XmlSchema::GetAllChildElements(Voxlet::XmlSchema::FindElement(document->Root(), u"voxlet:questions"));
  return questions.size() == m_count;
}

}  // namespace ContentTest
