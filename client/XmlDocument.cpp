#include "client/XmlDocument.h"

namespace Voxlet {

XmlDocument::XmlDocument(xercesc::DOMDocument* adopted) : m_document(adopted) {}

XmlDocument::~XmlDocument() {
  m_mirror.reset();  // it refers to the DOM's nodes
  if (m_document) m_document->release();
}

}  // namespace Voxlet
