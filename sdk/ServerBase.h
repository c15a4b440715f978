#pragma once
#include <array>
#include <cstdint>
#include <memory>

#include "sdk/Message.h"
#include "sdk/MessagingSocket.h"

// 16 bytes that name a kind of server; sent raw to every new connection and carried by the
// discovery datagrams.
using ServerIdentifier = std::array<uint8_t, 16>;

// A server of the messaging layer: it makes the connected object of each registered
// connection. Held by shared pointer; the listening thread keeps it alive while it hands a
// connection to it.
class CServerBase : public std::enable_shared_from_this<CServerBase> {
 public:
  explicit CServerBase(const ServerIdentifier& identifier) : m_identifier(identifier) {}
  virtual ~CServerBase() = default;
  CServerBase(const CServerBase&) = delete;
  CServerBase& operator=(const CServerBase&) = delete;

  const ServerIdentifier& Identifier() const { return m_identifier; }
  // A handshaken connection has registered: create its object and attach it. Returning
  // without attaching drops the connection. Runs on the listening thread.
  virtual void OnNewConnection(const CRegistrationMessage& registration, std::shared_ptr<CMessagingSocket> socket) = 0;

 private:
  ServerIdentifier m_identifier;
};
