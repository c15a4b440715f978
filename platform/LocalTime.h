#pragma once
#include <cstdint>

namespace Platform {

// Broken-down local time with milliseconds.
struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;  // 1..12
  uint16_t dayOfWeek = 0;
  uint16_t day = 0;  // 1..31
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};

SystemTime GetLocalTime();

}  // namespace Platform
