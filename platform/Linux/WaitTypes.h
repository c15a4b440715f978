#pragma once
#include <poll.h>

namespace Platform {

// What a wait waits on: a file descriptor (an event's eventfd, a socket, a tty).
using NativeHandle = int;
inline constexpr NativeHandle kNoHandle = -1;

}  // namespace Platform
