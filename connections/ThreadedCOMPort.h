#pragma once

// CThreadedCOMPort, a receiver on a serial port, is each platform's own class:
// connections/Linux/ThreadedCOMPort.h, connections/Windows/ThreadedCOMPort.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(connections, ThreadedCOMPort.h)
