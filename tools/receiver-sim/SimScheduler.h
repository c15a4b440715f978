#pragma once
// Runs actions after a delay on one thread of its own, in due order. The lock is never held
// while an action runs.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

class SimScheduler {
 public:
  SimScheduler();
  ~SimScheduler();
  SimScheduler(const SimScheduler&) = delete;
  SimScheduler& operator=(const SimScheduler&) = delete;

  // Runs `action` once `delayMs` have passed; actions due at the same time run in the order
  // they were scheduled. Ignored once stopped.
  void After(int delayMs, std::function<void()> action);
  // Drops the actions not yet run (an action running now completes).
  void Clear();
  // Drops what is pending and joins the thread; idempotent.
  void Stop();
  size_t Pending() const;

 private:
  void Run();

  using Clock = std::chrono::steady_clock;
  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  std::multimap<Clock::time_point, std::function<void()>> m_due;
  bool m_stop = false;
  std::thread m_thread;
};
