// Parsing and printing of documents (the XmlSchema statics that turn text into a DOM and back).
#include <memory>
#include <xercesc/dom/DOMConfiguration.hpp>
#include <xercesc/dom/DOMError.hpp>
#include <xercesc/dom/DOMErrorHandler.hpp>
#include <xercesc/dom/DOMException.hpp>
#include <xercesc/dom/DOMImplementation.hpp>
#include <xercesc/dom/DOMImplementationLS.hpp>
#include <xercesc/dom/DOMImplementationRegistry.hpp>
#include <xercesc/dom/DOMLSException.hpp>
#include <xercesc/dom/DOMLSOutput.hpp>
#include <xercesc/dom/DOMLSParser.hpp>
#include <xercesc/dom/DOMLSSerializer.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "client/XmlPlatform.h"
#include "client/XmlSchema.h"

namespace Voxlet {
namespace {

using namespace xercesc;

// Records whether the parser met any error; every error ends the parse.
class FailOnError : public DOMErrorHandler {
 public:
  bool handleError(const DOMError&) override {
    m_failed = true;
    return false;
  }
  void MarkFailed() { m_failed = true; }
  bool Failed() const { return m_failed; }

 private:
  bool m_failed = false;
};

struct ParserDeleter {
  void operator()(DOMLSParser* p) const { p->release(); }
};

DOMImplementationLS* Implementation() {
  return static_cast<DOMImplementationLS*>(DOMImplementationRegistry::getDOMImplementation(u"LS"));
}

// A parser that loads nothing beyond the bytes it is given: a DOCTYPE is an error, so no DTD,
// external entity or entity expansion is ever processed.
std::unique_ptr<DOMLSParser, ParserDeleter> NewParser(FailOnError& errors) {
  std::unique_ptr<DOMLSParser, ParserDeleter> parser(
      Implementation()->createLSParser(DOMImplementationLS::MODE_SYNCHRONOUS, nullptr));
  DOMConfiguration* config = parser->getDomConfig();
  config->setParameter(XMLUni::fgDOMNamespaces, true);
  config->setParameter(XMLUni::fgDOMDisallowDoctype, true);
  config->setParameter(XMLUni::fgXercesLoadExternalDTD, false);
  config->setParameter(XMLUni::fgXercesDisableDefaultEntityResolution, true);
  config->setParameter(XMLUni::fgDOMValidate, false);
  config->setParameter(XMLUni::fgXercesSchema, false);
  config->setParameter(XMLUni::fgXercesUserAdoptsDOMDocument, true);
  config->setParameter(XMLUni::fgDOMErrorHandler, &errors);
  return parser;
}

XmlDocumentPtr ParseBytes(const XMLByte* bytes, XMLSize_t length, const XMLCh* encoding) {
  XmlPlatform::Init();
  FailOnError errors;
  DOMDocument* document = nullptr;
  try {
    auto parser = NewParser(errors);
    MemBufInputSource source(bytes, length, "document", false);
    if (encoding) source.setEncoding(encoding);
    Wrapper4InputSource input(&source, false);
    document = parser->parse(&input);
  } catch (const XMLException&) {
    errors.MarkFailed();
  } catch (const DOMException&) {
    errors.MarkFailed();
  } catch (const SAXException&) {
    errors.MarkFailed();
  }
  if (errors.Failed() || !document || !document->getDocumentElement()) {
    if (document) document->release();
    return nullptr;
  }
  return std::make_shared<XmlDocument>(document);
}

std::string SerializeUtf8(const DOMNode* node) {
  XmlPlatform::Init();
  DOMLSSerializer* serializer = Implementation()->createLSSerializer();
  DOMLSOutput* output = Implementation()->createLSOutput();
  MemBufFormatTarget target;
  output->setByteStream(&target);
  output->setEncoding(u"UTF-8");
  serializer->getDomConfig()->setParameter(XMLUni::fgDOMXMLDeclaration, node->getNodeType() == DOMNode::DOCUMENT_NODE);
  std::string text;
  try {
    if (serializer->write(node, output))
      text.assign(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
  } catch (const DOMException&) {
  } catch (const XMLException&) {
  }
  output->release();
  serializer->release();
  return text;
}

}  // namespace

XmlDocumentPtr XmlSchema::Parse(std::u16string_view text) {
  // The text is UTF-16 in memory whatever its declaration says.
  return ParseBytes(reinterpret_cast<const XMLByte*>(text.data()), text.size() * sizeof(char16_t),
                    XMLUni::fgXMLChEncodingString);
}

XmlDocumentPtr XmlSchema::ParseUtf8(std::string_view bytes) {
  return ParseBytes(reinterpret_cast<const XMLByte*>(bytes.data()), bytes.size(), nullptr);
}

StringBuffer XmlSchema::PrintDoc(const XmlDocument& document) { return UTF8to16(PrintDocUtf8(document)); }

StringBuffer XmlSchema::PrintDoc(const DOMNode* node) { return node ? UTF8to16(SerializeUtf8(node)) : StringBuffer(); }

std::string XmlSchema::PrintDocUtf8(const XmlDocument& document) { return SerializeUtf8(document.Dom()); }

}  // namespace Voxlet
