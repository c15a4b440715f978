// The session as the receiver and the client see it: every call passes the call gate and goes
// to the part that handles it.
#include "bridge/ReceiverSession.h"

#include "bridge/ClickerDocuments.h"

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

// ---- what the answer pipeline asks of the session ----------------------------------------------

bool CReceiverSession::Leaving() const {
  std::lock_guard<std::mutex> guard(m_bridgeLock);
  return m_leaving;
}

bool CReceiverSession::Farewell() const {
  std::lock_guard<std::mutex> guard(m_bridgeLock);
  return m_farewell;
}

std::shared_ptr<CallGate> CReceiverSession::Gate() const {
  std::lock_guard<std::mutex> guard(m_bridgeLock);
  return m_bridgeCalls;
}

Voxlet::StringBuffer CReceiverSession::SubmitPath() const {
  std::lock_guard<std::mutex> guard(m_bridgeLock);
  return Bridge::SubmitPath(m_currentAssessmentId, m_currentClassId);
}

bool CReceiverSession::AssessmentStarted() const {
  std::lock_guard<std::mutex> guard(m_bridgeLock);
  return !m_currentAssessmentId.empty();
}

bool CReceiverSession::SendReceiverCommands(const ReceiverCommands& send) { return IssueReceiverCommands(send); }
