#pragma once
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/RdfGraph.h"
#include "client/XmlDocument.h"
#include "client/XmlSchema.h"

namespace ContentTest {

inline const std::string kBase = "http://schemas.vantrel.org/2008/voxlet/";

inline std::string Literal(const std::string& predicate, const std::string& value) {
  return "<voxlet:" + predicate + ">" + value + "</voxlet:" + predicate + ">";
}

// The RDF/XML document around some statements, with the rdf and voxlet prefixes declared.
inline std::string RdfDocument(const std::string& statements) {
  return "<?xml version=\"1.0\"?>\n"
         "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" xmlns:voxlet=\"" +
         kBase + "\">\n" + statements + "</rdf:RDF>\n";
}

// One scored answer of a question: its points and its value under a predicate
// ("choicevalue", "minimumvalue" or "exactmatches"); either may be missing.
struct Answer {
  std::optional<std::string> points;
  std::optional<std::string> value;
  std::string predicate = "choicevalue";
};

// A question of the test assessment: format and label style relative to the vocabulary base
// (empty: no triple), its choices' values (nullopt: a child without a choicevalue).
struct Question {
  std::string format;
  std::string style;
  std::vector<Answer> answers;
  std::vector<std::optional<std::string>> choices;
  // Its element carries no voxlet:resourceid (the graph still describes it).
  bool elementWithoutId = false;
  // The children (by position in choices) whose elements carry no voxlet:resourceid.
  std::vector<size_t> choicesWithoutId = {};
  // Answers described as resources of their own rather than as blank nodes.
  bool answersAsResources = false;
};

// Builds an assessment as the software service sends it: the question elements of an XML
// document and their RDF/XML description parsed by the real graph.
class Assessment {
 public:
  void Add(const Question& question) {
    const std::string id = "q" + std::to_string(++m_count);
    const std::string subject = "urn:test:" + id;
    m_rdf += "<rdf:Description rdf:about=\"" + subject + "\">";
    if (!question.format.empty()) m_rdf += "<voxlet:questionformat rdf:resource=\"" + kBase + question.format + "\"/>";
    if (!question.style.empty()) m_rdf += "<voxlet:choicelabelstyle rdf:resource=\"" + kBase + question.style + "\"/>";
    std::string answerNodes;
    for (size_t i = 0; i < question.answers.size(); ++i) {
      const Answer& answer = question.answers[i];
      std::string statements;
      if (answer.points) statements += Literal("points", *answer.points);
      if (answer.value) statements += Literal(answer.predicate, *answer.value);
      if (!question.answersAsResources) {
        m_rdf += "<voxlet:answer rdf:parseType=\"Resource\">" + statements + "</voxlet:answer>";
        continue;
      }
      const std::string node = subject + "-answer-" + std::to_string(i + 1);
      m_rdf += "<voxlet:answer rdf:resource=\"" + node + "\"/>";
      answerNodes += "<rdf:Description rdf:about=\"" + node + "\">" + statements + "</rdf:Description>\n";
    }
    m_rdf += "</rdf:Description>\n" + answerNodes;
    m_xml += "<voxlet:question xml:id=\"" + id + "\" voxlet:questionnumber=\"" + std::to_string(m_count) + "\"" +
             (question.elementWithoutId ? "" : " voxlet:resourceid=\"" + subject + "\"") + ">";
    for (size_t i = 0; i < question.choices.size(); ++i) {
      const std::string choice = subject + "-" + std::to_string(i + 1);
      const bool named = std::find(question.choicesWithoutId.begin(), question.choicesWithoutId.end(), i) ==
                         question.choicesWithoutId.end();
      m_xml += named ? "<voxlet:choice voxlet:resourceid=\"" + choice + "\"/>" : "<voxlet:choice/>";
      if (!question.choices[i]) continue;
      m_rdf += "<rdf:Description rdf:about=\"" + choice + "\">" + Literal("choicevalue", *question.choices[i]) +
               "</rdf:Description>\n";
    }
    m_xml += "</voxlet:question>\n";
  }
  // Extra RDF/XML statements for the description.
  void AddRdf(const std::string& statements) { m_rdf += statements; }

  // Parses both documents; the question elements are in the order added. False when either
  // document does not parse.
  bool Build() {
    graph = std::make_shared<Voxlet::RDF::Graph>();
    if (!graph->Add(RdfDocument(m_rdf))) return false;
    document = Voxlet::XmlSchema::ParseUtf8("<voxlet:assessment xmlns:voxlet=\"" + kBase + "\"><voxlet:questions>" +
                                            m_xml + "</voxlet:questions></voxlet:assessment>");
    if (!document) return false;
    questions =
        Voxlet::XmlSchema::GetAllChildElements(Voxlet::XmlSchema::FindElement(document->Root(), u"voxlet:questions"));
    return questions.size() == m_count;
  }

  std::shared_ptr<Voxlet::RDF::Graph> graph;
  Voxlet::XmlDocumentPtr document;
  Voxlet::XmlElementList questions;

 private:
  std::string m_rdf;
  std::string m_xml;
  size_t m_count = 0;
};

}  // namespace ContentTest
