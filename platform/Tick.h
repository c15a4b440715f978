#pragma once
#include <cstdint>

namespace Platform {

// Milliseconds since an arbitrary start, truncated to 32 bits: wraps after ~49.7 days.
uint32_t TickMs();

// Wrap-safe comparisons of two tick values.
inline int32_t TickDiff(uint32_t later, uint32_t earlier) { return static_cast<int32_t>(later - earlier); }
inline bool TickReached(uint32_t now, uint32_t deadline) { return TickDiff(now, deadline) >= 0; }

}  // namespace Platform
