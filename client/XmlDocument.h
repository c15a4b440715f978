#pragma once
#include <memory>
#include <vector>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>

namespace Voxlet {

// A Xerces-C DOM document, owned: the DOM is released with the last shared pointer. Elements
// taken from it (XmlElementList, XPath matches) are valid only while the document lives.
class XmlDocument {
 public:
  explicit XmlDocument(xercesc::DOMDocument* adopted);
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  xercesc::DOMDocument* Dom() const { return m_document; }
  xercesc::DOMElement* Root() const { return m_document->getDocumentElement(); }

 private:
  xercesc::DOMDocument* m_document;
};

using XmlDocumentPtr = std::shared_ptr<XmlDocument>;

// DOM elements in a chosen order (document order for XPath matches).
using XmlElementList = std::vector<xercesc::DOMElement*>;

}  // namespace Voxlet
