#pragma once

// Platform::NativeHandle, what a wait waits on, and the poll event bits:
// platform/Linux/WaitTypes.h, platform/Windows/WaitTypes.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(platform, WaitTypes.h)
