#include "sdk/SocketEvent.h"

CSocketEvent::CSocketEvent(Platform::SocketHandle socket, SocketEvents flags) : m_socket(socket), m_flags(flags) {
  Platform::SetNonBlocking(socket);
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
  short revents = 0;
  if (Platform::WaitForAny({&h, 1}, 0, &revents) != 0) return SocketEvents::kNone;
  return Translate(revents);
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
