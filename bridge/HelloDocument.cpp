#include "bridge/HelloDocument.h"

#include <cstdio>

#include "client/Namespaces.h"
#include "client/XmlSchema.h"

namespace Bridge {

Voxlet::StringBuffer FormatMacAddress(uint32_t macHigh, uint32_t macLow) {
  char text[24];
  snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X-%02X-%02X", (macHigh >> 24) & 0xFF, (macHigh >> 16) & 0xFF,
           (macHigh >> 8) & 0xFF, macHigh & 0xFF, (macLow >> 24) & 0xFF, (macLow >> 16) & 0xFF, (macLow >> 8) & 0xFF,
           macLow & 0xFF);
  return Voxlet::UTF8to16(text);
}

Voxlet::XmlDocumentPtr BuildHelloDocument(const ReceiverDescription& receiver) {
  using Voxlet::XmlSchema;
  Voxlet::XmlDocumentPtr document = XmlSchema::NewDoc(u"rdf:RDF");
  if (!document) return nullptr;
  xercesc::DOMElement* description = XmlSchema::CreateElement(document->Root(), u"rdf:Description");
  if (!description) return nullptr;
  XmlSchema::SetAttribute(description, u"rdf:about", kReceiverSubject);
  XmlSchema::CreateElement(description, u"voxlet:make", receiver.make);
  XmlSchema::CreateElement(description, u"voxlet:address", receiver.address);
  XmlSchema::CreateElement(description, u"dc:title", receiver.title);
  XmlSchema::CreateElement(description, u"voxlet:hardwaredevicetype",
                           Voxlet::VocabularyTerm(u"hardwaredevicetype#receiver"));
  XmlSchema::CreateElement(description, u"voxlet:receivertype", receiver.product);
  return document;
}

}  // namespace Bridge
