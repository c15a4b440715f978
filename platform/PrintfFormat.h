#pragma once

// OVANTA_PRINTF_FORMAT, the format archetype of the system's printf for the project's own
// printf-like functions:
// platform/Linux/PrintfFormat.h, platform/Windows/PrintfFormat.h.
#include "platform/PlatformHeader.h"

#include OVANTA_PLATFORM_HEADER(platform, PrintfFormat.h)
