#pragma once
#include <cstdint>
#include <string>

#include "sdk/SocketBase.h"

// A TCP connection: either connected here or an accepted one handed over.
class CThreadedSocket : public CSocketBase {
 public:
  explicit CThreadedSocket(bool noDelay = false);
  // Takes ownership of an accepted connection.
  explicit CThreadedSocket(int acceptedSocket);

  // Resolves the host and connects, waiting for the connection (so before the socket's event
  // is created); throws CSocketException on failure.
  void Connect(const std::string& host, uint16_t port);
};
