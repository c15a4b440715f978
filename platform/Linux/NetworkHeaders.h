#pragma once
// The socket headers, for the platform's sources that make the same calls on every OS.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Platform {
// POSIX sockets need no start.
inline void StartSockets() {}
}  // namespace Platform
