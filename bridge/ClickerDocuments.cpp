#include "bridge/ClickerDocuments.h"

#include "client/Format.h"
#include "client/Namespaces.h"
#include "client/Strings.h"
#include "client/XmlSchema.h"

namespace Bridge {

using Voxlet::XmlSchema;

namespace {

constexpr const char16_t* kClickerTitle = u"ZORIN Ovanta\u2122 Clicker Hardware";

// A description of subject in a new rdf:RDF document.
xercesc::DOMElement* NewDescription(Voxlet::XmlDocumentPtr& document, const Voxlet::StringBuffer& subject) {
  document = XmlSchema::NewDoc(u"rdf:RDF");
  if (!document) return nullptr;
  xercesc::DOMElement* description = XmlSchema::CreateElement(document->Root(), u"rdf:Description");
  if (description && !subject.empty()) XmlSchema::SetAttribute(description, u"rdf:about", subject);
  return description;
}

// Attribute values go into the templates below escaped, so that no id breaks the document.
Voxlet::StringBuffer Escaped(const Voxlet::StringBuffer& text) { return Voxlet::SafeForXml(text); }

}  // namespace

Voxlet::StringBuffer StudentUrn(const Voxlet::StringBuffer& studentNumber) {
  return u"urn:com.vantrel.voxlet:student:" + studentNumber;
}

Voxlet::StringBuffer ClickerHelloPath() {
  return u"/voxlet/builtins/anyone/hello?subject=" + Voxlet::Url::Encode(kClickerSubject);
}

Voxlet::XmlDocumentPtr BuildClickerStatusDocument(int32_t battery, int32_t link,
                                                  const Voxlet::StringBuffer& receiverEndpointId) {
  Voxlet::XmlDocumentPtr document;
  xercesc::DOMElement* description = NewDescription(document, kClickerSubject);
  if (!description) return nullptr;
  XmlSchema::CreateElement(description, u"voxlet:battery", Voxlet::FormatInteger(battery));
  XmlSchema::CreateElement(description, u"voxlet:signal", Voxlet::FormatInteger(link));
  if (!receiverEndpointId.empty()) {
    XmlSchema::CreateElement(description, u"voxlet:receiverid", receiverEndpointId);
    XmlSchema::CreateElement(description, u"dc:title", kClickerTitle);
  }
  return document;
}

Voxlet::XmlDocumentPtr BuildMacHelloDocument(const Voxlet::StringBuffer& macText) {
  Voxlet::XmlDocumentPtr document;
  xercesc::DOMElement* description = NewDescription(document, kClickerSubject);
  if (!description) return nullptr;
  XmlSchema::CreateElement(description, u"voxlet:address", macText);
  return document;
}

Voxlet::XmlDocumentPtr BuildWhoisDocument(const Voxlet::StringBuffer& studentNumber) {
  Voxlet::XmlDocumentPtr document;
  xercesc::DOMElement* description = NewDescription(document, StudentUrn(studentNumber));
  if (!description) return nullptr;
  XmlSchema::CreateElement(description, u"voxlet:number", studentNumber);
  return document;
}

Voxlet::StringBuffer RaisedHandText(const Voxlet::StringBuffer& timestamp, const Voxlet::StringBuffer& studentId,
                                    bool handUp) {
  static const Voxlet::StringBuffer kTemplate =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><voxlet:raisedhand xmlns:voxlet = \"" +
      Voxlet::StringBuffer(Voxlet::Namespaces::Voxlet) +
      u"\" voxlet:time=\"{0}\" voxlet:studentid=\"{1}\" voxlet:value=\"{2}\"/>";
  return Voxlet::MessageFormat(kTemplate, {Escaped(timestamp), Escaped(studentId), Voxlet::FormatBoolean(handUp)});
}

Voxlet::StringBuffer SubmissionText(const Voxlet::StringBuffer& timestamp, const Voxlet::StringBuffer& points,
                                    const Voxlet::StringBuffer& questionId, const Voxlet::StringBuffer& answer) {
  static const Voxlet::StringBuffer kTemplate =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><voxlet:submission voxlet:submitted=\"{0}\" "
      u"xmlns:voxlet=\"" +
      Voxlet::StringBuffer(Voxlet::Namespaces::Voxlet) + u"\" xmlns:xlink=\"" +
      Voxlet::StringBuffer(Voxlet::Namespaces::XLink) +
      u"\"><voxlet:response voxlet:computermarks=\"{1}\" voxlet:submitted=\"{0}\" voxlet:teachermarks=\"\" "
      u"voxlet:questionid=\"{2}\">{3}</voxlet:response></voxlet:submission>";
  return Voxlet::MessageFormat(kTemplate,
                               {Escaped(timestamp), Escaped(points), Escaped(questionId), Voxlet::SafeForXml(answer)});
}

Voxlet::StringBuffer EmptySubmissionText(const Voxlet::StringBuffer& timestamp, const Voxlet::StringBuffer& studentId) {
  static const Voxlet::StringBuffer kTemplate =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><voxlet:submission xmlns:voxlet=\"" +
      Voxlet::StringBuffer(Voxlet::Namespaces::Voxlet) + u"\" xmlns:xlink=\"" +
      Voxlet::StringBuffer(Voxlet::Namespaces::XLink) +
      u"\" voxlet:bonusmarks=\"\" voxlet:marks=\"\" voxlet:studentid=\"{0}\" voxlet:submitted=\"{1}\">"
      u"</voxlet:submission>";
  return Voxlet::MessageFormat(kTemplate, {Escaped(studentId), Escaped(timestamp)});
}

Voxlet::StringBuffer SubmitPath(const Voxlet::StringBuffer& assessmentId, const Voxlet::StringBuffer& classId) {
  return Voxlet::MessageFormat(u"/voxlet/builtins/teachers/submit?assessment={0}&class={1}",
                               {Voxlet::Url::Encode(assessmentId), Voxlet::Url::Encode(classId)});
}

}  // namespace Bridge
