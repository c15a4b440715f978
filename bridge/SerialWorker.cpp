#include "bridge/SerialWorker.h"

#include <utility>

bool SerialWorker::Post(Task task) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stopped) return false;
    m_tasks.push_back(std::move(task));
    if (!m_thread.joinable()) m_thread = std::thread([this] { Run(); });
  }
  m_wake.notify_one();
  return true;
}

void SerialWorker::Stop(const std::function<void()>& interrupt) {
  std::lock_guard<std::mutex> stopGuard(m_stopLock);
  std::deque<Task> dropped;
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopped = true;
    dropped.swap(m_tasks);
    thread.swap(m_thread);
  }
  m_wake.notify_one();
  // Only now: a task that ends here finds nothing queued behind it.
  if (interrupt) interrupt();
  if (thread.joinable()) thread.join();
  // What the dropped tasks hold is let go here, outside the lock and after the last task ran.
}

void SerialWorker::Restart() {
  std::lock_guard<std::mutex> stopGuard(m_stopLock);  // after a Stop still joining its thread
  std::lock_guard<std::mutex> guard(m_lock);
  m_stopped = false;
}

void SerialWorker::Run() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_wake.wait(lock, [&] { return m_stopped || !m_tasks.empty(); });
    if (m_stopped) return;
    Task task = std::move(m_tasks.front());
    m_tasks.pop_front();
    lock.unlock();
    try {
      task();
    } catch (...) {
      // As on the client library's threads: one task's exception does not end the ones after it.
    }
    task = nullptr;  // what it held goes before the next one runs
    lock.lock();
  }
}
