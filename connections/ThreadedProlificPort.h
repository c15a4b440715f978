#pragma once

// CThreadedProlificPort, a receiver behind a USB-serial bridge, is each platform's own class:
// connections/Linux/ThreadedProlificPort.h, connections/Windows/ThreadedProlificPort.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(connections, ThreadedProlificPort.h)
