#pragma once
#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/Socket.h"
#include "platform/WaitEvent.h"
#include "sdk/Message.h"
#include "sdk/MessagingSocket.h"
#include "sdk/ServerIdentifier.h"

// One accepted connection's registration handshake: the server's identifier out, then one
// registration frame in, each step within the time-out. The listening thread moves it on
// whenever its socket is ready, without waiting, so that handshakes of different connections
// go on side by side; only that thread touches it.
class CServerHandshake {
 public:
  using Clock = std::chrono::steady_clock;
  enum class State { kSendingIdentifier, kReadingRegistration, kRegistered, kFailed };

  // Takes an accepted connection (which is made non-blocking). Throws CExceptionBase when it
  // cannot be set up.
  CServerHandshake(Platform::SocketHandle acceptedSocket, const ServerIdentifier& identifier, int timeoutMs);

  State GetState() const { return m_state; }
  // What to wait for on the connection while the handshake is in progress.
  Platform::WaitHandle Handle() const;
  Clock::time_point Deadline() const { return m_deadline; }

  // Moves what the connection takes or has now; the state afterwards. A failure is logged
  // as the step that failed.
  State Advance();
  // The step's time is up: logged like a failure of the step.
  void Expire();

  // Once registered: what the client registered with, and its connection.
  const CRegistrationMessage& Registration() const { return m_registration; }
  std::shared_ptr<CMessagingSocket> TakeSocket() { return std::move(m_socket); }

 private:
  void Fail();

  std::shared_ptr<CMessagingSocket> m_socket;
  const ServerIdentifier m_identifier;
  const int m_timeoutMs;
  State m_state = State::kSendingIdentifier;
  Clock::time_point m_deadline;
  size_t m_sent = 0;
  // The registration frame: length prefix and the asynchronous header and registration id.
  uint8_t m_frame[CMessageBuffer::kPrefixSize + MessageHeader::kAsyncSize + 4] = {};
  size_t m_read = 0;
  CRegistrationMessage m_registration;
};
