#pragma once
#include <cstdint>

#include "sdk/SocketBase.h"

// What binding does when the port asked for is taken: fail, or try the next ones.
enum class PortChoice { kExact, kNextFree };

// A listening TCP socket.
class CServerSocket : public CSocketBase {
 public:
  static constexpr int kBacklog = 10;

  explicit CServerSocket(TcpNoDelay noDelay = TcpNoDelay::kOff);

  // Binds to the port on the address (any address when null or empty) and listens. When the
  // port is in use and the choice is kNextFree, the next ports up to 65535 are tried. Port 0
  // lets the system choose. Throws CSocketException on failure.
  void BindAndListen(uint16_t port, const char* address, PortChoice choice);
  // The new connection's socket, or kInvalidSocket.
  Platform::SocketHandle Accept();
  // The port the socket is bound to (0 when unbound).
  uint16_t GetBoundPort() const;

  // Listening sockets watch accept and closed.
  CSocketEvent* CreateEvent() override;
};
