#include <windows.h>

#include "platform/LocalTime.h"
#include "platform/Tick.h"

namespace Platform {

uint32_t TickMs() { return ::GetTickCount(); }

SystemTime GetLocalTime() {
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  SystemTime t;
  t.year = local.wYear;
  t.month = local.wMonth;
  t.dayOfWeek = local.wDayOfWeek;
  t.day = local.wDay;
  t.hour = local.wHour;
  t.minute = local.wMinute;
  t.second = local.wSecond;
  t.milliseconds = local.wMilliseconds;
  return t;
}

}  // namespace Platform
