#pragma once
#include <sys/resource.h>

// CPU time (user + system) the whole process has used, in milliseconds: an idle link must
// not use any while nothing happens.
inline long ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}
