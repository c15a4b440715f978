#pragma once

// CThreadedPort, the link thread under a CSBConnection that owns the open device, is each
// platform's own class:
// connections/Linux/ThreadedPort.h, connections/Windows/ThreadedPort.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(connections, ThreadedPort.h)
