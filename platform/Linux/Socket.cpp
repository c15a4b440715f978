#include "platform/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SocketEndpoint.h"

namespace Platform {
namespace {

int SetOption(SocketHandle s, int level, int name, const void* value, socklen_t size) {
  return setsockopt(s, level, name, value, size);
}

}  // namespace

SocketHandle OpenSocket(SocketKind kind) {
  const int s = kind == SocketKind::kTcp ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)
                                         : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  return s < 0 ? kNoSocket : s;
}

int CloseSocket(SocketHandle s) { return close(s); }

int SetNoDelay(SocketHandle s) {
  const int on = 1;
  return SetOption(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int SetAddressReuse(SocketHandle s) {
  const int on = 1;
  return SetOption(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int SetNonBlocking(SocketHandle s) {
  const int mode = fcntl(s, F_GETFL);
  return mode < 0 ? -1 : fcntl(s, F_SETFL, mode | O_NONBLOCK);
}

int KeepFromChildren(SocketHandle s) {
  const int flags = fcntl(s, F_GETFD);
  return flags < 0 ? -1 : fcntl(s, F_SETFD, flags | FD_CLOEXEC);
}

int SetReceiveBuffer(SocketHandle s, int bytes) { return SetOption(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

int SetSendBuffer(SocketHandle s, int bytes) { return SetOption(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes); }

int SetReceiveTimeout(SocketHandle s, int timeoutMs) {
  const timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  return SetOption(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

int ShutdownSocket(SocketHandle s) { return shutdown(s, SHUT_RDWR); }

int BindSocket(SocketHandle s, in_addr address, uint16_t port) {
  const sockaddr_in local = SocketEndpoint(address, port);
  return bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

int ListenSocket(SocketHandle s, int backlog) { return listen(s, backlog); }

SocketHandle AcceptSocket(SocketHandle s) {
  const int accepted = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
  return accepted < 0 ? kNoSocket : accepted;
}

int ConnectSocket(SocketHandle s, in_addr address, uint16_t port) {
  const sockaddr_in remote = SocketEndpoint(address, port);
  return connect(s, reinterpret_cast<const sockaddr*>(&remote), sizeof remote);
}

uint16_t BoundPort(SocketHandle s) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

int BindMulticastSocket(SocketHandle s, in_addr group, uint16_t port) { return BindSocket(s, group, port); }

int JoinMulticastGroup(SocketHandle s, in_addr group, in_addr interface) {
  ip_mreq membership{};
  membership.imr_multiaddr = group;
  membership.imr_interface = interface;
  return SetOption(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership);
}

int SetMulticastTimeToLive(SocketHandle s, int timeToLive) {
  const unsigned char ttl = static_cast<unsigned char>(timeToLive);
  return SetOption(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

int SetMulticastInterface(SocketHandle s, in_addr interface) {
  return SetOption(s, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface);
}

ssize_t SendSocket(SocketHandle s, const void* data, size_t length) { return send(s, data, length, MSG_NOSIGNAL); }

// Linux doubles a send buffer size that is set, so half of the size read is set back to restore
// what was read.
ssize_t SendSocketUnbuffered(SocketHandle s, const void* data, size_t length) {
  int before = 0;
  socklen_t size = sizeof before;
  if (getsockopt(s, SOL_SOCKET, SO_SNDBUF, &before, &size) != 0) return SendSocket(s, data, length);
  const int zero = 0;
  SetOption(s, SOL_SOCKET, SO_SNDBUF, &zero, sizeof zero);
  const ssize_t sent = SendSocket(s, data, length);
  const int saved = errno;
  const int restore = before / 2;
  SetOption(s, SOL_SOCKET, SO_SNDBUF, &restore, sizeof restore);
  errno = saved;
  return sent;
}

ssize_t SendSocketTo(SocketHandle s, in_addr address, uint16_t port, const void* data, size_t length) {
  const sockaddr_in to = SocketEndpoint(address, port);
  return sendto(s, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

ssize_t ReceiveSocket(SocketHandle s, void* data, size_t length) { return recv(s, data, length, 0); }

}  // namespace Platform
