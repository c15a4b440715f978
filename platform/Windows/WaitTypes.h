#pragma once
#include <cstdint>

// The poll event bits with Winsock's values and spelling (WSAPoll), defined here so that the
// portable code does not see <winsock2.h> and the Windows headers' macros. POLLRDHUP (the peer
// shut its end) has no Winsock bit of its own: a socket's close is reported as POLLHUP.
#define POLLRDNORM 0x0100
#define POLLRDBAND 0x0200
#define POLLIN (POLLRDNORM | POLLRDBAND)
#define POLLPRI 0x0400
#define POLLWRNORM 0x0010
#define POLLOUT (POLLWRNORM)
#define POLLWRBAND 0x0020
#define POLLERR 0x0001
#define POLLHUP 0x0002
#define POLLNVAL 0x0004
#define POLLRDHUP 0x2000

namespace Platform {

// What a wait waits on: an event's HANDLE or a SOCKET.
using NativeHandle = uintptr_t;
// INVALID_HANDLE_VALUE and INVALID_SOCKET alike.
inline constexpr NativeHandle kNoHandle = ~NativeHandle{0};

}  // namespace Platform
