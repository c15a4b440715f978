#pragma once
// The IPv4 socket address of an address and a port, as the socket backends bind, connect and
// send to it.
#include <cstdint>

#include "platform/NetworkHeaders.h"

namespace Platform {

inline sockaddr_in SocketEndpoint(in_addr address, uint16_t port) {
  sockaddr_in endpoint{};
  endpoint.sin_family = AF_INET;
  endpoint.sin_addr = address;
  endpoint.sin_port = htons(port);
  return endpoint;
}

}  // namespace Platform
