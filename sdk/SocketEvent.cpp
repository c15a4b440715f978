#include "sdk/SocketEvent.h"

#include <fcntl.h>
#include <poll.h>

CSocketEvent::CSocketEvent(int socket, unsigned flags) : m_socket(socket), m_flags(flags) {
  const int mode = fcntl(socket, F_GETFL);
  if (mode >= 0) fcntl(socket, F_SETFL, mode | O_NONBLOCK);
}

Platform::WaitHandle CSocketEvent::Handle() const {
  short events = 0;
  if (m_flags & (kSocketReadable | kSocketAccept)) events |= POLLIN;
  if (m_flags & kSocketClosed) events |= POLLRDHUP;
  if ((m_flags & kSocketWritable) && m_writeArmed.load()) events |= POLLOUT;
  return Platform::WaitHandle::Descriptor(m_socket, events);
}

unsigned CSocketEvent::GetNetworkEvents() {
  const Platform::WaitHandle h = Handle();
  pollfd p{h.fd, h.events, 0};
  if (poll(&p, 1, 0) != 1) return 0;
  return Translate(p.revents);
}

unsigned CSocketEvent::Wait(int timeoutMs) {
  const Platform::WaitHandle h = Handle();
  short revents = 0;
  if (Platform::WaitForAny({&h, 1}, timeoutMs, &revents) != 0) return 0;
  return Translate(revents);
}

unsigned CSocketEvent::Translate(short revents) {
  unsigned flags = 0;
  if (revents & (POLLHUP | POLLRDHUP | POLLERR)) flags |= kSocketClosed;
  if (revents & POLLIN) flags |= (m_flags & kSocketAccept) ? kSocketAccept : kSocketReadable;
  if ((revents & POLLOUT) && m_writeArmed.exchange(false)) flags |= kSocketWritable;
  return flags & m_flags;
}
