// Feeds arbitrary bytes to the XML reader as a reply body of the software service, then does
// with the document what the system does with the service's documents: XPath look-ups, the
// child lists sorted by id, attribute and text reads, printing.
//
// Besides the sanitizers, checks that a document read and printed reads back to a document
// that prints the same (nothing the reader takes in is lost or changed by one more pass).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/XPath.h"
#include "client/XmlSchema.h"

namespace {

using Voxlet::XmlSchema;

// Walks the elements, reading what the system reads of them.
void Walk(const xercesc::DOMNode* node, int depth) {
  if (!node || depth > 64) return;
  Voxlet::XmlElementList children = XmlSchema::GetAllChildElements(node);
  XmlSchema::SortElementsByAttributeValue(children, u"xml:id");
  XmlSchema::SortElementsByAttributeValue(children, u"voxlet:questionnumber");
  for (const xercesc::DOMElement* child : children) {
    XmlSchema::GetAttribute(child, u"voxlet:kind");
    XmlSchema::HasAttribute(child, u"voxlet:questionid");
    XmlSchema::GetTextContent(child);
    XmlSchema::FindElement(child, u"voxlet:currentQuestion");
    Walk(child, depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Voxlet::XmlDocumentPtr document = XmlSchema::ParseUtf8(text);
  if (!document) return 0;

  static const Voxlet::XPathExpression kNotifications(u"/voxlet:runtime/voxlet:notifications");
  static const Voxlet::XPathExpression kClassRef(u"/voxlet:activated/voxlet:classref[@xml:id = 'activated-class']");
  static const Voxlet::XPathExpression kQuestion(u"/voxlet:assessment/voxlet:questions/voxlet:question[@xml:id=$id]");
  static const Voxlet::XPathExpression kLink(u"//voxlet:link[@voxlet:rel = $rel]");
  Voxlet::XPathVariables variables;
  variables.Set(u"id", u"q1").Set(u"rel", u"metadata");
  kNotifications.Evaluate(*document, variables);
  kClassRef.Evaluate(*document, variables);
  kQuestion.Evaluate(*document, variables);
  kLink.Evaluate(*document, variables);
  Walk(document->Dom(), 0);

  const std::string printed = XmlSchema::PrintDocUtf8(*document);
  const Voxlet::XmlDocumentPtr again = XmlSchema::ParseUtf8(printed);
  if (!again) abort();
  if (XmlSchema::PrintDocUtf8(*again) != printed) abort();
  return 0;
}
