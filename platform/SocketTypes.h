#pragma once

// in_addr and ssize_t for the socket interface, without the platform's socket headers:
// platform/Linux/SocketTypes.h, platform/Windows/SocketTypes.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(platform, SocketTypes.h)
