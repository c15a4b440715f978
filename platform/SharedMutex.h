#pragma once

// Platform::SharedMutex, a lock many readers may hold at once or one writer:
// platform/Linux/SharedMutex.h, platform/Windows/SharedMutex.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(platform, SharedMutex.h)
