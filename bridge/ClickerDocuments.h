#pragma once
#include <cstdint>

#include "client/XmlDocument.h"
#include "text/StringBuffer.h"

// The documents a receiver sends the software service on behalf of its clickers.
namespace Bridge {

// The subject every clicker endpoint says hello with, and a student's subject in a whois.
inline constexpr const char16_t* kClickerSubject = u"urn:com.vantrel.voxlet:clicker";
Voxlet::StringBuffer StudentUrn(const Voxlet::StringBuffer& studentNumber);
// "/voxlet/builtins/anyone/hello?subject=" with the clicker subject, URL-encoded.
Voxlet::StringBuffer ClickerHelloPath();

// rdf:RDF / rdf:Description about the clicker subject with voxlet:battery and voxlet:signal;
// for a new clicker (receiverEndpointId not empty) also voxlet:receiverid and dc:title.
Voxlet::XmlDocumentPtr BuildClickerStatusDocument(int32_t battery, int32_t link,
                                                  const Voxlet::StringBuffer& receiverEndpointId = {});
// rdf:RDF / rdf:Description with voxlet:address = the MAC text.
Voxlet::XmlDocumentPtr BuildMacHelloDocument(const Voxlet::StringBuffer& macText);
// rdf:RDF / rdf:Description about the student's URN with voxlet:number.
Voxlet::XmlDocumentPtr BuildWhoisDocument(const Voxlet::StringBuffer& studentNumber);

// The raised-hand document: an empty voxlet:raisedhand with its time, student and value.
Voxlet::StringBuffer RaisedHandText(const Voxlet::StringBuffer& timestamp, const Voxlet::StringBuffer& studentId,
                                    bool handUp);
// One answer: voxlet:submission / voxlet:response carrying the answer (escaped here).
Voxlet::StringBuffer SubmissionText(const Voxlet::StringBuffer& timestamp, const Voxlet::StringBuffer& points,
                                    const Voxlet::StringBuffer& questionId, const Voxlet::StringBuffer& answer);
// A session that ended without an answer: an empty voxlet:submission for the student.
Voxlet::StringBuffer EmptySubmissionText(const Voxlet::StringBuffer& timestamp, const Voxlet::StringBuffer& studentId);
// "/voxlet/builtins/teachers/submit?assessment=...&class=..." with both ids URL-encoded.
Voxlet::StringBuffer SubmitPath(const Voxlet::StringBuffer& assessmentId, const Voxlet::StringBuffer& classId);

}  // namespace Bridge
