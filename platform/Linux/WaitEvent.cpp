#include "platform/WaitEvent.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

// Events are eventfds. An auto-reset event is one whose waits read its counter (WaitHandle's
// autoReset), so the kind needs nothing of the descriptor.
CSEventBase::CSEventBase(bool) : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CSEventBase::~CSEventBase() {
  if (m_fd >= 0) close(m_fd);
}

void CSEventBase::Signal() {
  const uint64_t one = 1;
  // A full counter means it is signalled already; nothing else can fail here.
  [[maybe_unused]] ssize_t n = write(m_fd, &one, sizeof one);
}

bool CSEventBase::Drain() {
  uint64_t value = 0;
  return read(m_fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

bool CSEventBase::Signalled() const {
  pollfd p{m_fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

namespace Platform {

int WaitForAny(std::span<const WaitHandle> handles, int timeoutMs, short* revents) {
  using Clock = std::chrono::steady_clock;
  if (handles.empty()) return kWaitFailed;
  std::vector<pollfd> fds(handles.size());
  for (size_t i = 0; i < handles.size(); ++i) {
    if (handles[i].fd < 0) return kWaitFailed;
    fds[i] = pollfd{handles[i].fd, handles[i].events, 0};
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    int wait = -1;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    for (auto& p : fds) p.revents = 0;
    const int n = poll(fds.data(), fds.size(), wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    if (n == 0) return kWaitTimeout;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].revents & POLLNVAL) return kWaitFailed;
      if (handles[i].autoReset) {
        // Another waiter may have consumed the signal between poll and read.
        uint64_t value = 0;
        if (read(fds[i].fd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) continue;
      }
      if (revents) *revents = fds[i].revents;
      return static_cast<int>(i);
    }
    // Every ready auto-reset event was taken by someone else: wait again.
  }
}

}  // namespace Platform
