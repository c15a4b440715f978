#pragma once
#include <sys/resource.h>

#include <chrono>
#include <thread>

// CPU time (user + system) the whole process has used, in milliseconds: an idle link must
// not use any while nothing happens.
inline long ProcessCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

// "No thread spins": over a window of 1.5 s the process may use at most 40 % of one core.
// A spinning thread takes far more even on a loaded 2-core machine with two other busy
// processes (a third of 2 cores, 1 s), while the sanitizers' own background work and a
// thread woken now and then stay far below it.
constexpr long kIdleWindowMs = 1500;
constexpr long kIdleBudgetMs = kIdleWindowMs * 40 / 100;
inline long CpuMsOverIdleWindow() {
  const long before = ProcessCpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(kIdleWindowMs));
  return ProcessCpuMs() - before;
}
