#include "sdk/ServerHandshake.h"

#include <utility>

#include "platform/SocketExceptions.h"
#include "sdk/Wire.h"

CServerHandshake::CServerHandshake(Platform::SocketHandle acceptedSocket, const ServerIdentifier& identifier,
                                   int timeoutMs)
    : m_socket(std::make_shared<CMessagingSocket>(std::make_unique<CThreadedSocket>(acceptedSocket))),
      m_identifier(identifier),
      m_timeoutMs(timeoutMs),
      m_deadline(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}

Platform::WaitHandle CServerHandshake::Handle() const {
  return Platform::WaitHandle::Descriptor(m_socket->Handle(),
                                          m_state == State::kSendingIdentifier ? POLLOUT : POLLIN | POLLRDHUP);
}

CServerHandshake::State CServerHandshake::Advance() {
  using Transfer = CMessagingSocket::Transfer;
  if (m_state == State::kSendingIdentifier) {
    const Transfer sent = m_socket->WriteAvailable(m_identifier, m_sent);
    if (sent == Transfer::kFailed) Fail();
    if (sent != Transfer::kDone) return m_state;
    m_state = State::kReadingRegistration;
    m_deadline = Clock::now() + std::chrono::milliseconds(m_timeoutMs);
  }
  if (m_state != State::kReadingRegistration) return m_state;
  const Transfer read = m_socket->ReadAvailable(m_frame, m_read);
  if (read == Transfer::kFailed) Fail();
  if (read != Transfer::kDone) return m_state;
  // A frame that is no registration is dropped without a word.
  const std::span<const uint8_t> body = std::span<const uint8_t>(m_frame).subspan(CMessageBuffer::kPrefixSize);
  const bool registered = Wire::GetU32(m_frame) == body.size() && m_registration.Read(*CMessageBuffer::FromBody(body));
  m_state = registered ? State::kRegistered : State::kFailed;
  return m_state;
}

void CServerHandshake::Expire() {
  if (m_state == State::kSendingIdentifier || m_state == State::kReadingRegistration) Fail();
}

void CServerHandshake::Fail() {
  if (m_state == State::kSendingIdentifier)
    DiagnosticLog("CServerListeningThread::OnNewConnection: Error writting handshake string.");
  else
    DiagnosticLog("CServerListeningThread::OnNewConnection: Error reading registration message.");
  m_state = State::kFailed;
}
