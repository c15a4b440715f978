#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/RdfGraph.h"
#include "client/XmlDocument.h"

namespace ContentTest {

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
};

// Builds an assessment as the software service sends it: the question elements of an XML
// document and their RDF/XML description parsed by the real graph.
class Assessment {
 public:
  // Adds a question; answers the index of its element.
  size_t Add(const Question& question);
  // Extra RDF/XML statements for the description.
  void AddRdf(const std::string& statements) { m_rdf += statements; }

  // Parses both documents; the question elements are in the order added. False when either
  // document does not parse.
  bool Build();

  std::shared_ptr<Voxlet::RDF::Graph> graph;
  Voxlet::XmlDocumentPtr document;
  Voxlet::XmlElementList questions;

 private:
  std::string m_rdf;
  std::string m_xml;
  size_t m_count = 0;
};

// The RDF/XML document around some statements, with the rdf and voxlet prefixes declared.
std::string RdfDocument(const std::string& statements);

}  // namespace ContentTest
