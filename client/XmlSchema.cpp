#include "client/XmlSchema.h"

#include <algorithm>
#include <optional>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/dom/DOMImplementation.hpp>
#include <xercesc/dom/DOMImplementationRegistry.hpp>
#include <xercesc/dom/DOMNodeList.hpp>
#include <xercesc/dom/DOMText.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUniDefs.hpp>

#include "client/Strings.h"
#include "client/XmlPlatform.h"

namespace Voxlet {
namespace {

using xercesc::DOMElement;
using xercesc::DOMNode;

// A qualified name resolved through a namespace table.
struct QualifiedName {
  StringBuffer prefix;  // empty for a name without one
  StringBuffer local;
  StringBuffer uri;  // empty for no namespace
};

std::optional<QualifiedName> Resolve(const StringBuffer& name, const Namespaces& ns) {
  const size_t colon = name.find(u':');
  if (colon == StringBuffer::npos) return QualifiedName{{}, name, {}};
  QualifiedName q{name.substr(0, colon), name.substr(colon + 1), {}};
  const StringBuffer* uri = ns.UriOf(q.prefix);
  if (!uri || q.local.empty()) return std::nullopt;
  q.uri = *uri;
  return q;
}

const XMLCh* OrNull(const StringBuffer& s) { return s.empty() ? nullptr : s.c_str(); }

std::u16string_view View(const XMLCh* s) { return s ? std::u16string_view(s) : std::u16string_view(); }

// A node's local name; DOM level 1 nodes have only a node name.
std::u16string_view LocalName(const DOMNode* node) {
  const XMLCh* local = node->getLocalName();
  return View(local ? local : node->getNodeName());
}

bool Named(const DOMNode* node, const QualifiedName& q) {
  return LocalName(node) == q.local && View(node->getNamespaceURI()) == q.uri;
}

// Declares q's prefix on element unless it is already bound to q's namespace there.
void DeclarePrefix(DOMElement* element, const QualifiedName& q) {
  if (q.prefix.empty() || q.prefix == u"xml") return;
  if (View(element->lookupNamespaceURI(q.prefix.c_str())) == q.uri) return;
  const StringBuffer attribute = u"xmlns:" + q.prefix;
  element->setAttributeNS(xercesc::XMLUni::fgXMLNSURIName, attribute.c_str(), q.uri.c_str());
}

bool IsWholeNumber(const StringBuffer& s) {
  if (s.empty() || s.size() > 18) return false;
  return std::all_of(s.begin() + (s[0] == u'-' && s.size() > 1 ? 1 : 0), s.end(),
                     [](char16_t c) { return c >= u'0' && c <= u'9'; });
}

// Whole numbers first, in numeric order, then every other value in code-unit order: a
// total order however the values mix.
bool ValueLess(const StringBuffer& a, const StringBuffer& b) {
  const bool na = IsWholeNumber(a), nb = IsWholeNumber(b);
  if (na != nb) return na;
  if (na) return ParseInteger(a) < ParseInteger(b);
  return a < b;
}

}  // namespace

XmlDocumentPtr XmlSchema::NewDoc(const StringBuffer& rootName, const Namespaces& ns) {
  XmlPlatform::Init();
  const auto q = Resolve(rootName, ns);
  if (!q) return nullptr;
  try {
    xercesc::DOMImplementation* impl = xercesc::DOMImplementationRegistry::getDOMImplementation(u"Core");
    auto document = std::make_shared<XmlDocument>(impl->createDocument(OrNull(q->uri), rootName.c_str(), nullptr));
    DeclarePrefix(document->Root(), *q);
    return document;
  } catch (const xercesc::DOMException&) {
    return nullptr;  // not a valid XML name
  }
}

DOMElement* XmlSchema::CreateElement(DOMNode* parent, const StringBuffer& name, const Namespaces& ns) {
  if (!parent) return nullptr;
  const auto q = Resolve(name, ns);
  if (!q) return nullptr;
  xercesc::DOMDocument* document = parent->getNodeType() == DOMNode::DOCUMENT_NODE
                                       ? static_cast<xercesc::DOMDocument*>(parent)
                                       : parent->getOwnerDocument();
  try {
    DOMElement* element = document->createElementNS(OrNull(q->uri), name.c_str());
    parent->appendChild(element);
    DeclarePrefix(element, *q);
    return element;
  } catch (const xercesc::DOMException&) {
    return nullptr;  // an invalid name, or a second document element
  }
}

DOMElement* XmlSchema::CreateElement(DOMNode* parent, const StringBuffer& name, const StringBuffer& text,
                                     const Namespaces& ns) {
  DOMElement* element = CreateElement(parent, name, ns);
  if (element) SetTextContent(element, text);
  return element;
}

bool XmlSchema::SetAttribute(DOMElement* element, const StringBuffer& name, const StringBuffer& value,
                             const Namespaces& ns) {
  if (!element) return false;
  const auto q = Resolve(name, ns);
  if (!q) return false;
  try {
    DeclarePrefix(element, *q);
    element->setAttributeNS(OrNull(q->uri), name.c_str(), value.c_str());
    return true;
  } catch (const xercesc::DOMException&) {
    return false;
  }
}

StringBuffer XmlSchema::GetAttribute(const DOMElement* element, const StringBuffer& name, const Namespaces& ns) {
  if (!element) return {};
  const auto q = Resolve(name, ns);
  if (!q) return {};
  return StringBuffer(View(element->getAttributeNS(OrNull(q->uri), q->local.c_str())));
}

bool XmlSchema::HasAttribute(const DOMElement* element, const StringBuffer& name, const Namespaces& ns) {
  if (!element) return false;
  const auto q = Resolve(name, ns);
  return q && element->hasAttributeNS(OrNull(q->uri), q->local.c_str());
}

DOMElement* XmlSchema::FindElement(const DOMNode* parent, const StringBuffer& name, const Namespaces& ns) {
  if (!parent) return nullptr;
  const auto q = Resolve(name, ns);
  if (!q) return nullptr;
  for (DOMNode* child = parent->getFirstChild(); child; child = child->getNextSibling())
    if (child->getNodeType() == DOMNode::ELEMENT_NODE && Named(child, *q)) return static_cast<DOMElement*>(child);
  return nullptr;
}

XmlElementList XmlSchema::GetAllChildElements(const DOMNode* parent) {
  XmlElementList children;
  if (!parent) return children;
  for (DOMNode* child = parent->getFirstChild(); child; child = child->getNextSibling())
    if (child->getNodeType() == DOMNode::ELEMENT_NODE) children.push_back(static_cast<DOMElement*>(child));
  return children;
}

StringBuffer XmlSchema::GetTextContent(const DOMNode* node) {
  return node ? StringBuffer(View(node->getTextContent())) : StringBuffer();
}

void XmlSchema::SetTextContent(DOMNode* node, const StringBuffer& text) {
  if (node) node->setTextContent(text.c_str());
}

void XmlSchema::SortElementsByAttributeValue(XmlElementList& elements, const StringBuffer& attributeName,
                                             const Namespaces& ns) {
  std::vector<std::pair<StringBuffer, DOMElement*>> keyed;
  keyed.reserve(elements.size());
  for (DOMElement* element : elements) keyed.emplace_back(GetAttribute(element, attributeName, ns), element);
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return ValueLess(a.first, b.first); });
  for (size_t i = 0; i < keyed.size(); ++i) elements[i] = keyed[i].second;
}

}  // namespace Voxlet
