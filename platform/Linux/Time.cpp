#include <ctime>

#include "platform/LocalTime.h"
#include "platform/Tick.h"

namespace Platform {

uint32_t TickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

SystemTime GetLocalTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // The broken-down time changes once a second; each thread keeps the last one, since
  // localtime_r takes a process-wide lock and re-reads the time zone on every call.
  thread_local time_t cachedSecond = -1;
  thread_local SystemTime cached;
  if (ts.tv_sec != cachedSecond) {
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    cached.year = static_cast<uint16_t>(local.tm_year + 1900);
    cached.month = static_cast<uint16_t>(local.tm_mon + 1);
    cached.dayOfWeek = static_cast<uint16_t>(local.tm_wday);
    cached.day = static_cast<uint16_t>(local.tm_mday);
    cached.hour = static_cast<uint16_t>(local.tm_hour);
    cached.minute = static_cast<uint16_t>(local.tm_min);
    cached.second = static_cast<uint16_t>(local.tm_sec);
    cachedSecond = ts.tv_sec;
  }
  SystemTime t = cached;
  t.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
  return t;
}

}  // namespace Platform
