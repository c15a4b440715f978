#pragma once
#include <cstdint>
#include <string>

#include "sdk/SocketBase.h"

// A TCP connection: either connected here or an accepted one handed over.
class CThreadedSocket : public CSocketBase {
 public:
  explicit CThreadedSocket(TcpNoDelay noDelay = TcpNoDelay::kOff);
  // Takes ownership of an accepted connection.
  explicit CThreadedSocket(Platform::SocketHandle acceptedSocket);
  // A flag would be taken for a socket handle.
  CThreadedSocket(bool) = delete;

  // Resolves the host and connects, waiting for the connection (so before the socket's event
  // is created); throws CSocketException on failure.
  void Connect(const std::string& host, uint16_t port);
};
