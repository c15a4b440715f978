#include "sdk/SocketEvent.h"

#include <fcntl.h>
#include <poll.h>

CSocketEvent::CSocketEvent(int socket, SocketEvents flags) : m_socket(socket), m_flags(flags) {
  const int mode = fcntl(socket, F_GETFL);
  if (mode >= 0) fcntl(socket, F_SETFL, mode | O_NONBLOCK);
}

Platform::WaitHandle CSocketEvent::Handle() const {
  short events = 0;
  if (HasAny(m_flags, SocketEvents::kReadable | SocketEvents::kAccept)) events |= POLLIN;
  if (HasAny(m_flags, SocketEvents::kClosed)) events |= POLLRDHUP;
  if (HasAny(m_flags, SocketEvents::kWritable) && m_writeArmed.load()) events |= POLLOUT;
  return Platform::WaitHandle::Descriptor(m_socket, events);
}

SocketEvents CSocketEvent::GetNetworkEvents() {
  const Platform::WaitHandle h = Handle();
  pollfd p{h.fd, h.events, 0};
  if (poll(&p, 1, 0) != 1) return SocketEvents::kNone;
  return Translate(p.revents);
}

SocketEvents CSocketEvent::Wait(int timeoutMs) {
  const Platform::WaitHandle h = Handle();
  short revents = 0;
  if (Platform::WaitForAny({&h, 1}, timeoutMs, &revents) != 0) return SocketEvents::kNone;
  return Translate(revents);
}

SocketEvents CSocketEvent::Translate(short revents) {
  SocketEvents flags = SocketEvents::kNone;
  if (revents & (POLLHUP | POLLRDHUP | POLLERR)) flags |= SocketEvents::kClosed;
  if (revents & POLLIN)
    flags |= HasAny(m_flags, SocketEvents::kAccept) ? SocketEvents::kAccept : SocketEvents::kReadable;
  if ((revents & POLLOUT) && m_writeArmed.exchange(false)) flags |= SocketEvents::kWritable;
  return flags & m_flags;
}
