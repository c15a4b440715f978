#include "platform/WaitEvent.h"

#include <windows.h>
#include <winsock2.h>

#include <vector>

// Events are event objects (CreateEvent), auto-reset ones auto-reset in the kernel: a wait that
// ends on one consumes its signal and no other waiter sees it. A socket joins a wait through
// an event object of the waiting thread (WSAEventSelect) and counts as ready on its WSAPoll
// state, so that readiness is level-triggered as on Linux.

static_assert(POLLIN == (0x0100 | 0x0200) && POLLOUT == 0x0010 && POLLHUP == 0x0002 && POLLERR == 0x0001 &&
                  POLLNVAL == 0x0004,
              "platform/WaitTypes.h spells Winsock's poll bits");

namespace {

HANDLE AsHandle(Platform::NativeHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

CSEventBase::CSEventBase(bool manualReset) {
  const HANDLE h = ::CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
  if (h) m_fd = reinterpret_cast<Platform::NativeHandle>(h);
}

CSEventBase::~CSEventBase() {
  if (m_fd != Platform::kNoHandle) ::CloseHandle(AsHandle(m_fd));
}

void CSEventBase::Signal() { ::SetEvent(AsHandle(m_fd)); }

bool CSEventBase::Drain() {
  const bool was = Signalled();
  ::ResetEvent(AsHandle(m_fd));
  return was;
}

bool CSEventBase::Signalled() const {
  // A manual-reset event keeps its state; an auto-reset one is asked through its CWaitEvent
  // wrapper only, which has no IsSet.
  return ::WaitForSingleObject(AsHandle(m_fd), 0) == WAIT_OBJECT_0;
}

namespace Platform {
namespace {

// The event objects for the sockets of one wait, one per position. Made for each wait, not kept
// per thread: mingw-w64 runs a thread_local's destructor after the thread's TLS storage is
// freed when the thread ends, and every thread that waited then read freed memory on its way
// out.
class SocketWaitEvents {
 public:
  ~SocketWaitEvents() {
    for (WSAEVENT e : m_events) ::WSACloseEvent(e);
  }
  WSAEVENT At(size_t i) {
    while (m_events.size() <= i) {
      const WSAEVENT e = ::WSACreateEvent();
      if (e == WSA_INVALID_EVENT) return WSA_INVALID_EVENT;
      m_events.push_back(e);
    }
    return m_events[i];
  }

 private:
  std::vector<WSAEVENT> m_events;
};

long NetworkEventsFor(short events) {
  long mask = FD_CLOSE;
  if (events & POLLIN) mask |= FD_READ | FD_ACCEPT;
  if (events & POLLOUT) mask |= FD_WRITE | FD_CONNECT;
  return mask;
}

// The poll state of a socket now; POLLNVAL when it is no socket.
short SocketState(SOCKET s, short events) {
  WSAPOLLFD p{};
  p.fd = s;
  p.events = static_cast<short>(events & (POLLRDNORM | POLLRDBAND | POLLWRNORM));
  if (::WSAPoll(&p, 1, 0) < 0) return POLLNVAL;
  short revents = p.revents;
  // The peer's close is what POLLRDHUP asks for.
  if ((events & POLLRDHUP) && (revents & POLLHUP)) revents |= POLLRDHUP;
  return revents;
}

// Undoes the sockets' association with the thread's events when a wait ends (a socket has one
// association at a time). The sockets stay non-blocking.
class SocketSelections {
 public:
  explicit SocketSelections(std::span<const WaitHandle> handles) : m_handles(handles) {}
  ~SocketSelections() {
    for (size_t i = 0; i < m_selected; ++i)
      if (!m_handles[i].event) ::WSAEventSelect(static_cast<SOCKET>(m_handles[i].fd), nullptr, 0);
  }
  void Selected(size_t count) { m_selected = count; }

 private:
  std::span<const WaitHandle> m_handles;
  size_t m_selected = 0;
};

}  // namespace

int WaitForAny(std::span<const WaitHandle> handles, int timeoutMs, short* revents) {
  if (handles.empty() || handles.size() > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
  SocketWaitEvents socketEvents;  // outlives the selections, which are undone first
  std::vector<HANDLE> objects(handles.size());
  SocketSelections selections(handles);
  for (size_t i = 0; i < handles.size(); ++i) {
    const WaitHandle& h = handles[i];
    if (h.fd == kNoHandle) return kWaitFailed;
    if (h.event) {
      objects[i] = AsHandle(h.fd);
      continue;
    }
    const WSAEVENT e = socketEvents.At(i);
    if (e == WSA_INVALID_EVENT) return kWaitFailed;
    ::WSAResetEvent(e);
    if (::WSAEventSelect(static_cast<SOCKET>(h.fd), e, NetworkEventsFor(h.events)) != 0) return kWaitFailed;
    selections.Selected(i + 1);
    objects[i] = e;
  }
  const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeoutMs < 0 ? 0 : timeoutMs);
  bool waited = false;
  for (;;) {
    // Ready now, lowest index first. Each socket is associated before its state is read, so a
    // change after the read signals its event and ends the wait below.
    for (size_t i = 0; i < handles.size(); ++i) {
      const WaitHandle& h = handles[i];
      if (h.event) {
        // Consumes an auto-reset event's signal: it ends this wait.
        const DWORD r = ::WaitForSingleObject(objects[i], 0);
        if (r == WAIT_FAILED) return kWaitFailed;
        if (r != WAIT_OBJECT_0) continue;
        if (revents) *revents = POLLIN;
        return static_cast<int>(i);
      }
      const short state = SocketState(static_cast<SOCKET>(h.fd), h.events);
      if (state & POLLNVAL) return kWaitFailed;
      if (!(state & (h.events | POLLHUP | POLLERR))) continue;
      if (revents) *revents = state;
      return static_cast<int>(i);
    }
    DWORD wait = INFINITE;
    if (timeoutMs >= 0) {
      const ULONGLONG now = ::GetTickCount64();
      if (waited && now >= deadline) return kWaitTimeout;
      wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    }
    const DWORD r = ::WaitForMultipleObjects(static_cast<DWORD>(objects.size()), objects.data(), FALSE, wait);
    if (r == WAIT_TIMEOUT) return kWaitTimeout;
    if (r >= WAIT_OBJECT_0 + objects.size()) return kWaitFailed;
    const size_t ready = r - WAIT_OBJECT_0;
    if (handles[ready].event) {
      // The wait consumed an auto-reset event's signal, so this one ends it even when one
      // before it became ready meanwhile.
      if (revents) *revents = POLLIN;
      return static_cast<int>(ready);
    }
    // A socket event: its record is cleared with the event, and its state read again in the
    // next round (which also covers the others). A wait whose time is up ends there even when
    // a socket's event came without its state being ready.
    WSANETWORKEVENTS seen{};
    ::WSAEnumNetworkEvents(static_cast<SOCKET>(handles[ready].fd), objects[ready], &seen);
    waited = true;
  }
}

}  // namespace Platform
