#pragma once

// The socket headers and Platform::StartSockets, for sources that make the same socket calls on
// every OS:
// platform/Linux/NetworkHeaders.h, platform/Windows/NetworkHeaders.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(platform, NetworkHeaders.h)
