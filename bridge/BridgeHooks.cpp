// What the session hands on to the clicker endpoints. Until those are in place, each hand-over
// writes one diagnostic line and has no further effect.
#include "bridge/ReceiverSession.h"
#include "client/XmlSchema.h"
#include "service/Logger.h"

namespace {
std::string Utf8(const Voxlet::StringBuffer& text) { return Voxlet::UTF16to8(text); }
}  // namespace

void CReceiverSession::DisconnectClickerInSoftware(const Voxlet::StringBuffer& endpointId) {
  OV_LOG(kLogDiagnostic, "Clicker %s disconnected in software; not handled by this receiver yet",
         Utf8(endpointId).c_str());
}

void CReceiverSession::CancelRaisedHandInSoftware(const Voxlet::StringBuffer& endpointId) {
  OV_LOG(kLogDiagnostic, "Raised hand of clicker %s cancelled in software; not handled by this receiver yet",
         Utf8(endpointId).c_str());
}

std::vector<uint16_t> CReceiverSession::ClickerShortAddresses() { return {}; }

void CReceiverSession::OnDeviceDisassociated(uint16_t) {}

std::vector<CReceiverSession::KnownClicker> CReceiverSession::KnownClickers() { return {}; }

void CReceiverSession::ClearClickers() {}

void CReceiverSession::RejoinWithoutLogin(uint16_t, uint32_t, uint32_t) {}
