#include "content/AnswerLookup.h"

#include "client/Namespaces.h"
#include "client/Strings.h"
#include "client/XmlSchema.h"

namespace Content {

using Voxlet::RDF::NodeKind;

Voxlet::StringBuffer ResourceId(const xercesc::DOMElement* element) {
  return element ? Voxlet::XmlSchema::GetAttribute(element, u"voxlet:resourceid") : Voxlet::StringBuffer();
}

std::optional<Voxlet::StringBuffer> ObjectOf(const Voxlet::RDF::Graph* graph, const Voxlet::StringBuffer& subject,
                                             NodeKind subjectKind, std::u16string_view predicate) {
  // An empty subject would be a wildcard: an element without a resource id has no triples.
  if (!graph || subject.empty()) return std::nullopt;
  std::optional<Voxlet::RDF::Node> object = graph->FindObject(subject, subjectKind, Voxlet::VocabularyTerm(predicate));
  if (!object) return std::nullopt;
  return std::move(object->value);
}

std::optional<Voxlet::StringBuffer> ElementObjectOf(const Voxlet::RDF::Graph* graph, const xercesc::DOMElement* element,
                                                    std::u16string_view predicate) {
  return ObjectOf(graph, ResourceId(element), NodeKind::Resource, predicate);
}

BestAnswer FindBestAnswer(const Voxlet::RDF::Graph* graph, const xercesc::DOMElement* question,
                          std::u16string_view valuePredicate, bool valueRequired) {
  BestAnswer best;
  const Voxlet::StringBuffer subject = ResourceId(question);
  if (!graph || subject.empty()) return best;
  for (const Voxlet::RDF::Triple& answer :
       graph->FindTriples(subject, NodeKind::Resource, Voxlet::VocabularyTerm(u"answer"))) {
    const Voxlet::StringBuffer& node = answer.object.value;
    const std::optional<Voxlet::StringBuffer> points = ObjectOf(graph, node, NodeKind::Blank, u"points");
    if (!points) continue;
    std::optional<Voxlet::StringBuffer> value = ObjectOf(graph, node, NodeKind::Blank, valuePredicate);
    if (valueRequired && !value) continue;
    const double parsed = Voxlet::ParseDouble(*points);
    if (parsed > best.points) {
      best.points = parsed;
      if (value) best.value = std::move(*value);
    }
  }
  return best;
}

}  // namespace Content
