// The session as the receiver and the client see it: every call passes the call gate and goes
// to the part that handles it.
#include "bridge/ReceiverSession.h"

CReceiverSession::CReceiverSession(CReceiver& receiver, SessionEnvironment environment)
    : m_receiver(receiver), m_env(std::move(environment)) {
  m_receiver.AttachSession(this);
}

CReceiverSession::~CReceiverSession() {
  m_receiver.Close();
  m_receiver.AttachSession(nullptr);
}

// ---- answers -----------------------------------------------------------------------------------

void CReceiverSession::OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter()) m_answers.OnAnswerUpload(address, questionNumber, answer);
}

void CReceiverSession::OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets,
                                              uint8_t packetNumber, uint8_t questionNumber, const uint8_t* data,
                                              uint32_t dataLength) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter())
    m_answers.OnEnhancedAnswerUpload(address, sequenceNumber, totalPackets, packetNumber, questionNumber, data,
                                     dataLength);
}

void CReceiverSession::OnSessionEndRemote(uint16_t address) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter()) m_answers.OnSessionEndRemote(address);
}

size_t CReceiverSession::HeldAnswerCount() const { return m_answers.HeldAnswerCount(); }

// ---- what the parts ask of the session ---------------------------------------------------------

bool CReceiverSession::Leaving() const { return m_channel.Leaving(); }

bool CReceiverSession::Farewell() const { return m_channel.Farewell(); }

std::shared_ptr<CallGate> CReceiverSession::Gate() const {
  std::lock_guard<std::mutex> guard(m_bridgeLock);
  return m_bridgeCalls;
}

Voxlet::StringBuffer CReceiverSession::SubmitPath() const { return m_classLifecycle.SubmitPath(); }

bool CReceiverSession::AssessmentStarted() const { return m_classLifecycle.AssessmentStarted(); }

std::optional<AnsweredQuestion> CReceiverSession::FindAnsweredQuestion(unsigned int questionNumber) {
  return m_classLifecycle.FindAnsweredQuestion(questionNumber);
}

bool CReceiverSession::SendReceiverCommands(const ReceiverCommands& send) { return IssueReceiverCommands(send); }

// ---- clickers ----------------------------------------------------------------------------------

void CReceiverSession::OnClickerStatus(uint16_t address, uint8_t battery, uint8_t linkQuality) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter()) m_clickerEndpoints.OnClickerStatus(address, battery, linkQuality);
}

void CReceiverSession::OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow,
                                           const Voxlet::StringBuffer& studentId, bool autoLogin) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter())
    m_clickerEndpoints.OnJoinLoginRequired(address, macHigh, macLow, studentId, autoLogin);
}

void CReceiverSession::OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter()) m_clickerEndpoints.OnJoinNoLoginRequired(address, macHigh, macLow);
}

void CReceiverSession::OnHandUp(uint16_t address, bool handUp) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter()) m_clickerEndpoints.OnHandUp(address, handUp);
}

void CReceiverSession::OnLoginGrantConfirm(uint16_t address, bool confirmed) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter()) m_clickerEndpoints.OnLoginGrantConfirm(address, confirmed);
}

void CReceiverSession::OnLoginOff(uint16_t address) {
  CallGate::Pass pass = m_bridgeCalls->Enter();
  if (!pass) return;
  m_classLifecycle.CountLogOff();
  if (!m_clickerEndpoints.OnLoginOff(address)) return;
  // Gone, then announced again as a new clicker without a student.
  OnDeviceDisassociated(address);
  m_clickerEndpoints.ReportClickerStatus(address, 0, 0);
}

void CReceiverSession::OnDeviceDisassociated(uint16_t address) {
  if (CallGate::Pass pass = m_bridgeCalls->Enter()) m_clickerEndpoints.OnDeviceDisassociated(address);
}

int CReceiverSession::SoftwareActionCooldown() const { return m_clickerEndpoints.SoftwareActionCooldown(); }

void CReceiverSession::SetSoftwareActionCooldown(int ticks) { m_clickerEndpoints.SetSoftwareActionCooldown(ticks); }

// ---- what the clicker endpoints ask of the session ---------------------------------------------

IClickerEndpointsHost::ClassLogin CReceiverSession::CurrentClassLogin() const {
  return m_classLifecycle.CurrentClassLogin();
}

void CReceiverSession::ClickerAnnounced(const Voxlet::StringBuffer& endpointId) {
  m_answers.ReleaseAwaitingAnswers(endpointId);
}

// ---- what the class lifecycle asks of the session ----------------------------------------------

void CReceiverSession::AskActivatedStatusAfterScan() { m_channel.AskActivatedStatusAgain(); }

void CReceiverSession::ClearAnswerParts() { m_answers.ClearAnswerParts(); }
