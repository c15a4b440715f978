// What the session bridge hands on to the class lifecycle and the clicker endpoints. Until
// those are in place, each hand-over writes one diagnostic line and has no further effect.
#include "client/XmlSchema.h"
#include "protocol/Receiver.h"
#include "service/Logger.h"

namespace {
std::string Utf8(const Voxlet::StringBuffer& text) { return Voxlet::UTF16to8(text); }
std::string AttributeOf(const xercesc::DOMElement* element, const char16_t* name) {
  return Utf8(Voxlet::XmlSchema::GetAttribute(element, name));
}
}  // namespace

void CReceiver::OnActivatedStatusResponse(const Voxlet::MessagePtr&) {
  OV_LOG(kLogDiagnostic, "Activated status received; classes are not started by this receiver yet");
}

void CReceiver::ActivateAssessment(xercesc::DOMElement* assessmentRef) {
  OV_LOG(kLogDiagnostic, "Assessment %s activated; not handled by this receiver yet",
         AttributeOf(assessmentRef, u"voxlet:assessmentid").c_str());
}

void CReceiver::DeactivateAssessment(xercesc::DOMElement* assessmentRef) {
  OV_LOG(kLogDiagnostic, "Assessment %s deactivated; not handled by this receiver yet",
         AttributeOf(assessmentRef, u"voxlet:assessmentid").c_str());
}

bool CReceiver::StopClass(xercesc::DOMElement* classRef) {
  OV_LOG(kLogDiagnostic, "Class %s deactivated; not handled by this receiver yet",
         AttributeOf(classRef, u"voxlet:classid").c_str());
  return false;
}

void CReceiver::ActivateQuestion(const Voxlet::StringBuffer& questionId) {
  OV_LOG(kLogDiagnostic, "Question %s activated; not handled by this receiver yet", Utf8(questionId).c_str());
}

void CReceiver::SetClassroomName(const Voxlet::StringBuffer& name) {
  OV_LOG(kLogDiagnostic, "Classroom name %s; not handled by this receiver yet", Utf8(name).c_str());
}

void CReceiver::DisconnectClickerInSoftware(const Voxlet::StringBuffer& endpointId) {
  OV_LOG(kLogDiagnostic, "Clicker %s disconnected in software; not handled by this receiver yet",
         Utf8(endpointId).c_str());
}

void CReceiver::CancelRaisedHandInSoftware(const Voxlet::StringBuffer& endpointId) {
  OV_LOG(kLogDiagnostic, "Raised hand of clicker %s cancelled in software; not handled by this receiver yet",
         Utf8(endpointId).c_str());
}

std::vector<uint16_t> CReceiver::ClickerShortAddresses() { return {}; }
