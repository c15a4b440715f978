#pragma once

// CThreadedHIDPort, a receiver on a HID device, is each platform's own class:
// connections/Linux/ThreadedHIDPort.h, connections/Windows/ThreadedHIDPort.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(connections, ThreadedHIDPort.h)
