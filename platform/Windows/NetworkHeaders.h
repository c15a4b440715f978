#pragma once
// The socket headers, for the platform's sources that make the same calls on every OS.
#include <winsock2.h>
#include <ws2tcpip.h>

namespace Platform {
// Starts Winsock once for the process (the first call does).
void StartSockets();
}  // namespace Platform
