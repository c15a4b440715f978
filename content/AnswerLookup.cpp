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
  if (!graph) return std::nullopt;
  std::optional<Voxlet::RDF::Node> object = graph->FindObject(subject, subjectKind, Voxlet::VocabularyTerm(predicate));
  if (!object) return std::nullopt;
  return std::move(object->value);
}

std::optional<Voxlet::StringBuffer> ElementObjectOf(const Voxlet::RDF::Graph* graph, const xercesc::DOMElement* element,
                                                    std::u16string_view predicate) {
  return ObjectOf(graph, ResourceId(element), NodeKind::Resource, predicate);
}

std::vector<Voxlet::StringBuffer> ChoiceValues(const Voxlet::RDF::Graph* graph, const xercesc::DOMElement* question) {
  std::vector<Voxlet::StringBuffer> values;
  for (const xercesc::DOMElement* choice : Voxlet::XmlSchema::GetAllChildElements(question))
    if (std::optional<Voxlet::StringBuffer> value = ElementObjectOf(graph, choice, u"choicevalue"))
      values.push_back(std::move(*value));
  return values;
}

BestAnswer FindBestAnswer(const Voxlet::RDF::Graph* graph, const xercesc::DOMElement* question,
                          std::u16string_view valuePredicate, bool valueRequired) {
  BestAnswer best;
  if (!graph) return best;
  for (const Voxlet::RDF::Triple& answer :
       graph->FindTriples(ResourceId(question), NodeKind::Resource, Voxlet::VocabularyTerm(u"answer"))) {
    // The answer's node is described under the kind its triple names: a blank node, or a
    // resource of its own.
    const Voxlet::RDF::Node& node = answer.object;
    const std::optional<Voxlet::StringBuffer> points = ObjectOf(graph, node.value, node.kind, u"points");
    if (!points) continue;
    std::optional<Voxlet::StringBuffer> value = ObjectOf(graph, node.value, node.kind, valuePredicate);
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
