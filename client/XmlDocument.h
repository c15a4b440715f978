#pragma once
#include <memory>
#include <mutex>
#include <vector>
#include <xercesc/dom/DOMDocument.hpp>
#include <xercesc/dom/DOMElement.hpp>

namespace Voxlet {

// Xalan's mirror of a document for XPath (client/XPath.cpp).
struct XPathMirror;
struct XPathMirrorDeleter {
  void operator()(XPathMirror* mirror) const;
};

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
  friend class XPathExpression;

  xercesc::DOMDocument* m_document;
  // The mirror that XPath evaluations over this document share: built by the first, rebuilt
  // when the tree has changed since, released before the DOM. Its lock is held for a whole
  // evaluation (a leaf: nothing else is locked under it).
  mutable std::mutex m_mirrorLock;
  mutable std::unique_ptr<XPathMirror, XPathMirrorDeleter> m_mirror;
};

using XmlDocumentPtr = std::shared_ptr<XmlDocument>;

// DOM elements in a chosen order (document order for XPath matches).
using XmlElementList = std::vector<xercesc::DOMElement*>;

}  // namespace Voxlet
