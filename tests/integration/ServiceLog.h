#pragma once
// The service binary's log lines as it echoes them on standard error (console mode), read on a
// thread of its own so that the service never blocks on a full pipe. Kills the service if it is
// still running when this goes.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/integration/ChildProcess.h"

// Polls `done` until it holds (true) or `seconds` pass, for state that no one signals.
inline bool Eventually(const std::function<bool()>& done, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class ServiceLog {
 public:
  ServiceLog(ChildProcess& process, double waitSeconds)
      : m_process(process), m_waitSeconds(waitSeconds), m_reader([this] { Read(); }) {}
  ~ServiceLog() {
    std::unique_lock lock(m_lock);
    if (!m_closed) m_process.Signal(SIGKILL);
  }

  // Waits until `text` has been written `count` times.
  bool WaitFor(const std::string& text, size_t count = 1) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::duration<double>(m_waitSeconds), [&] {
      return CountLocked(text) >= count || m_closed;
    }) && CountLocked(text) >= count;
  }
  // Waits until the process closed its standard error (it exited).
  bool WaitClosed() {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::duration<double>(m_waitSeconds), [this] { return m_closed; });
  }
  size_t Count(const std::string& text) const {
    std::lock_guard lock(m_lock);
    return CountLocked(text);
  }
  // The log so far (its last 20000 characters), for a failure message.
  std::string Text() const {
    std::lock_guard lock(m_lock);
    return m_text.size() > 20000 ? "..." + m_text.substr(m_text.size() - 20000) : m_text;
  }
  // The whole log so far.
  std::string All() const {
    std::lock_guard lock(m_lock);
    return m_text;
  }
  size_t LongestLine() const {
    std::lock_guard lock(m_lock);
    return m_longest;
  }

 private:
  size_t CountLocked(const std::string& text) const {
    size_t n = 0;
    for (size_t at = m_text.find(text); at != std::string::npos; at = m_text.find(text, at + text.size())) ++n;
    return n;
  }
  void Read() {
    size_t used = 0;
    while (m_process.WaitForLine("")) {
      const std::string& seen = m_process.Seen();
      {
        std::lock_guard lock(m_lock);
        // One log line may span several lines of text (an exchange's dump); each is counted.
        size_t start = used;
        for (size_t nl; (nl = seen.find('\n', start)) != std::string::npos; start = nl + 1)
          m_longest = std::max(m_longest, nl - start);
        m_text.append(seen, used, std::string::npos);
      }
      used = seen.size();
      m_changed.notify_all();
    }
    {
      std::lock_guard lock(m_lock);
      m_closed = true;
    }
    m_changed.notify_all();
  }

  ChildProcess& m_process;
  const double m_waitSeconds;
  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::string m_text;
  size_t m_longest = 0;
  bool m_closed = false;
  std::jthread m_reader;  // last: joined before the rest goes
};
