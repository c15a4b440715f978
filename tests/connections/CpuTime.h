#pragma once
#include <sys/resource.h>

#include <chrono>
#include <thread>

// "No thread spins": the CPU time (user + system) the whole process uses over a window of
// 1.5 s may be at most 40 % of one core. A spinning thread takes far more even on a loaded
// 2-core machine with two other busy processes (a third of 2 cores, 1 s), while the sanitizers'
// own background work and a thread woken now and then stay far below it.
constexpr long kIdleWindowMs = 1500;
constexpr long kIdleBudgetMs = kIdleWindowMs * 40 / 100;
inline long CpuMsOverIdleWindow() {
  const auto cpuMs = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
  };
  const long before = cpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(kIdleWindowMs));
  return cpuMs() - before;
}
