#pragma once
#include <optional>
#include <string_view>
#include <vector>
#include <xercesc/dom/DOMElement.hpp>

#include "client/RdfGraph.h"
#include "text/StringBuffer.h"

// Look-ups of a question's description in the assessment's RDF graph.
namespace Content {

// The voxlet:resourceid of an element (its subject in the graph); empty for null.
Voxlet::StringBuffer ResourceId(const xercesc::DOMElement* element);

// The object of the first (subject, predicate, *) triple; predicate is a vocabulary term
// relative to the base. Nothing without a graph or a triple, and nothing for an empty subject
// (an element without a resource id).
std::optional<Voxlet::StringBuffer> ObjectOf(const Voxlet::RDF::Graph* graph, const Voxlet::StringBuffer& subject,
                                             Voxlet::RDF::NodeKind subjectKind, std::u16string_view predicate);

// The same for an element's resource id.
std::optional<Voxlet::StringBuffer> ElementObjectOf(const Voxlet::RDF::Graph* graph, const xercesc::DOMElement* element,
                                                    std::u16string_view predicate);

// The choice values of the question's choices (its child elements), in document order, each by
// the choice's own resource id; a choice without a resource id or without a value adds none.
std::vector<Voxlet::StringBuffer> ChoiceValues(const Voxlet::RDF::Graph* graph, const xercesc::DOMElement* question);

struct BestAnswer {
  double points = -1.0;
  Voxlet::StringBuffer value;
};

// Walks the question's answers in graph order: an answer with points strictly above the best
// so far becomes the best, and its value (the valuePredicate object), if it has one, the best
// value; so the earlier answer wins a tie. Answers without points are skipped, and so are
// answers without a value when valueRequired.
BestAnswer FindBestAnswer(const Voxlet::RDF::Graph* graph, const xercesc::DOMElement* question,
                          std::u16string_view valuePredicate, bool valueRequired);

}  // namespace Content
