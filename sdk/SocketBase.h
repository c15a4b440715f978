#pragma once
#include <memory>
#include <string>

#include "platform/Socket.h"
#include "sdk/SocketEvent.h"

// Whether a TCP socket sends small segments at once (TCP_NODELAY).
enum class TcpNoDelay : bool { kOff = false, kOn = true };

// An owned socket with an optional socket event. Failures of the calls that build a socket
// throw CSocketException; the data calls answer -1 (errno tells why) like the system calls.
class CSocketBase {
 public:
  static constexpr Platform::SocketHandle kInvalidSocket = Platform::kNoSocket;
  // Sends longer than this go out with a send buffer of 0 for the call.
  static constexpr size_t kLargeSend = 1048576;

  // Creates the socket and, when asked, sets TCP_NODELAY.
  CSocketBase(Platform::SocketKind kind, TcpNoDelay noDelay);
  // Takes ownership of an open socket (an accepted connection).
  explicit CSocketBase(Platform::SocketHandle socket);
  CSocketBase(const CSocketBase&) = delete;
  CSocketBase& operator=(const CSocketBase&) = delete;
  virtual ~CSocketBase();

  // Closes the socket; -1 when there is none.
  virtual int Close();
  // Creates (or replaces) the socket's event; data sockets watch closed, readable, writable.
  virtual CSocketEvent* CreateEvent();
  // One recv call; -1 when there is no socket.
  virtual ssize_t Receive(void* buffer, size_t length);
  // One send call; -1 when there is no socket. A would-block arms the writable report.
  virtual ssize_t Send(const void* buffer, size_t length);

  Platform::SocketHandle Handle() const { return m_socket; }
  CSocketEvent* Event() const { return m_event.get(); }

  // A dotted address, else the first IPv4 address the name resolves to; INADDR_NONE when
  // neither works.
  static in_addr ResolveHost(const std::string& host);

 protected:
  Platform::SocketHandle m_socket = kInvalidSocket;
  std::unique_ptr<CSocketEvent> m_event;
};
