#pragma once
#include <string>
#include <string_view>
#include <xercesc/dom/DOMElement.hpp>
#include <xercesc/dom/DOMNode.hpp>

#include "client/Namespaces.h"
#include "client/XmlDocument.h"
#include "text/StringBuffer.h"

namespace Voxlet {

// DOM helpers. Qualified names ("voxlet:make", "xml:id") are resolved through a Namespaces
// table, Namespaces::Defaults() unless another is given; a name without a prefix has no
// namespace. Names with an unknown prefix make the creating calls fail (null / false) and the
// reading calls find nothing.
class XmlSchema {
 public:
  XmlSchema() = delete;

  // A new document whose root element is rootName (its prefix declared on the root).
  static XmlDocumentPtr NewDoc(const StringBuffer& rootName, const Namespaces& ns = Namespaces::Defaults());

  // Parses a document. Null for malformed text and for any document with a DOCTYPE (no DTD is
  // ever loaded and no entity is ever resolved). The text form is the document as UTF-16.
  static XmlDocumentPtr Parse(std::u16string_view text);
  static XmlDocumentPtr ParseUtf8(std::string_view bytes);

  // A new element appended as the last child of parent (an element, or a document that has no
  // root yet); its namespace prefix is declared on it unless parent already has it in scope.
  // With text, the element's text content is set too.
  static xercesc::DOMElement* CreateElement(xercesc::DOMNode* parent, const StringBuffer& name,
                                            const Namespaces& ns = Namespaces::Defaults());
  static xercesc::DOMElement* CreateElement(xercesc::DOMNode* parent, const StringBuffer& name,
                                            const StringBuffer& text, const Namespaces& ns = Namespaces::Defaults());

  static bool SetAttribute(xercesc::DOMElement* element, const StringBuffer& name, const StringBuffer& value,
                           const Namespaces& ns = Namespaces::Defaults());
  // The attribute's value; empty when the element or the attribute is missing.
  static StringBuffer GetAttribute(const xercesc::DOMElement* element, const StringBuffer& name,
                                   const Namespaces& ns = Namespaces::Defaults());
  static bool HasAttribute(const xercesc::DOMElement* element, const StringBuffer& name,
                           const Namespaces& ns = Namespaces::Defaults());

  // The first child element of parent named name, or null.
  static xercesc::DOMElement* FindElement(const xercesc::DOMNode* parent, const StringBuffer& name,
                                          const Namespaces& ns = Namespaces::Defaults());
  // Every child element of parent, in document order.
  static XmlElementList GetAllChildElements(const xercesc::DOMNode* parent);

  // The text of the node and its descendants; empty for null.
  static StringBuffer GetTextContent(const xercesc::DOMNode* node);
  // Replaces the node's children by one text node.
  static void SetTextContent(xercesc::DOMNode* node, const StringBuffer& text);

  // Sorts the list (not the DOM) by the value of the named attribute, stably: whole numbers
  // first, in numeric order ("2" before "10"), then the other values code unit by code unit.
  // Elements without the attribute sort as the empty value.
  static void SortElementsByAttributeValue(XmlElementList& elements, const StringBuffer& attributeName,
                                           const Namespaces& ns = Namespaces::Defaults());

  // The document (or node) as text, with an XML declaration for a whole document.
  static StringBuffer PrintDoc(const XmlDocument& document);
  static StringBuffer PrintDoc(const xercesc::DOMNode* node);
  // The same as UTF-8 bytes, encoding="UTF-8" in the declaration: a request body.
  static std::string PrintDocUtf8(const XmlDocument& document);
};

}  // namespace Voxlet
