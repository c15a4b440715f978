#include "SimScheduler.h"

#include <algorithm>

SimScheduler::SimScheduler() : m_thread([this] { Run(); }) {}

SimScheduler::~SimScheduler() { Stop(); }

void SimScheduler::After(int delayMs, std::function<void()> action) {
  {
    std::lock_guard lock(m_lock);
    if (m_stop) return;
    m_due.emplace(Clock::now() + std::chrono::milliseconds(std::max(0, delayMs)), std::move(action));
  }
  m_wake.notify_all();
}

void SimScheduler::Clear() {
  std::lock_guard lock(m_lock);
  m_due.clear();
}

void SimScheduler::Stop() {
  {
    std::lock_guard lock(m_lock);
    m_stop = true;
    m_due.clear();
  }
  m_wake.notify_all();
  if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

size_t SimScheduler::Pending() const {
  std::lock_guard lock(m_lock);
  return m_due.size();
}

void SimScheduler::Run() {
  std::unique_lock lock(m_lock);
  while (!m_stop) {
    if (m_due.empty()) {
      m_wake.wait(lock, [&] { return m_stop || !m_due.empty(); });
      continue;
    }
    const auto first = m_due.begin();
    // A copy: the entry may be cleared away while this waits.
    const Clock::time_point due = first->first;
    if (due > Clock::now()) {
      m_wake.wait_until(lock, due);
      continue;
    }
    std::function<void()> action = std::move(first->second);
    m_due.erase(first);
    lock.unlock();
    action();
    lock.lock();
  }
}
