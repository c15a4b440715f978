#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "sdk/ConnectedObject.h"
#include "sdk/ConnectionManager.h"
#include "sdk/ServerIdentifier.h"

// The client's end of a messaging connection: connects, reads the server's identifier,
// registers, and attaches its connected object to the process's connection manager.
class CMessagingClient {
 public:
  static constexpr int kHandshakeTimeoutMs = 10000;

  explicit CMessagingClient(std::shared_ptr<CConnectedObjectBase> object);
  // Closes the connection; must not run on the incoming-message thread.
  ~CMessagingClient();
  CMessagingClient(const CMessagingClient&) = delete;
  CMessagingClient& operator=(const CMessagingClient&) = delete;

  // Throws CSocketException when the connection cannot be made. False when the server's
  // identifier is not `expected`, the handshake times out, or no more connections can be
  // served.
  bool Connect(const std::string& host, uint16_t port, const ServerIdentifier& expected, int32_t registrationId,
               int timeoutMs = kHandshakeTimeoutMs);
  // Closes the connection and waits until the object has been told it is disconnected.
  void Close();

  CConnectedObjectBase& Object() { return *m_object; }

 private:
  std::shared_ptr<CConnectionManager> m_manager;
  std::shared_ptr<CConnectedObjectBase> m_object;
};
