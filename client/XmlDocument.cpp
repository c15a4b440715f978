#include "client/XmlDocument.h"

namespace Voxlet {

XmlDocument::XmlDocument(xercesc::DOMDocument* adopted) : m_document(adopted) {}

XmlDocument::~XmlDocument() {
  if (m_document) m_document->release();
}

}  // namespace Voxlet
