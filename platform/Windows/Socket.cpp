#include "platform/Socket.h"

#include <cerrno>
#include <mutex>

#include "platform/SocketEndpoint.h"
#include "platform/Windows/NetworkHeaders.h"

// Winsock 2. It is started once, by the first socket made, and left running for the process.
// Its error codes become errno values, so that the layer above reads one kind of error.
namespace Platform {

void StartSockets() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  });
}

namespace {

int ErrnoOf(int wsaError) {
  switch (wsaError) {
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
      return EWOULDBLOCK;
    case WSAEINTR:
      return EINTR;
    case WSAEBADF:
    case WSAENOTSOCK:
      return EBADF;
    case WSAEACCES:
      return EACCES;
    case WSAEFAULT:
      return EFAULT;
    case WSAEINVAL:
      return EINVAL;
    case WSAEMFILE:
      return EMFILE;
    case WSAEMSGSIZE:
      return EMSGSIZE;
    case WSAEADDRINUSE:
      return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
      return EADDRNOTAVAIL;
    case WSAENETDOWN:
      return ENETDOWN;
    case WSAENETUNREACH:
      return ENETUNREACH;
    case WSAECONNABORTED:
      return ECONNABORTED;
    case WSAECONNRESET:
      return ECONNRESET;
    case WSAENOBUFS:
      return ENOBUFS;
    case WSAEISCONN:
      return EISCONN;
    case WSAENOTCONN:
      return ENOTCONN;
    case WSAESHUTDOWN:
      return EPIPE;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    case WSAECONNREFUSED:
      return ECONNREFUSED;
    case WSAEHOSTUNREACH:
      return EHOSTUNREACH;
    default:
      return wsaError;
  }
}

// A Winsock call's result, with errno set from its error when it failed.
int Checked(int result) {
  if (result == SOCKET_ERROR) errno = ErrnoOf(::WSAGetLastError());
  return result == SOCKET_ERROR ? -1 : result;
}

SOCKET Native(SocketHandle s) { return static_cast<SOCKET>(s); }

template <typename T>
int SetOption(SocketHandle s, int level, int name, const T& value) {
  return Checked(::setsockopt(Native(s), level, name, reinterpret_cast<const char*>(&value), sizeof value));
}

int Length(size_t length) { return static_cast<int>(length > INT_MAX ? INT_MAX : length); }

}  // namespace

SocketHandle OpenSocket(SocketKind kind) {
  StartSockets();
  // Not inherited by child processes, as SOCK_CLOEXEC does on Linux.
  const SOCKET s = kind == SocketKind::kTcp
                       ? ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT)
                       : ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    errno = ErrnoOf(::WSAGetLastError());
    return kNoSocket;
  }
  return static_cast<SocketHandle>(s);
}

int CloseSocket(SocketHandle s) { return Checked(::closesocket(Native(s))); }

int SetNoDelay(SocketHandle s) { return SetOption(s, IPPROTO_TCP, TCP_NODELAY, BOOL{TRUE}); }

// Windows binds a port again while its last connections linger without being asked, and its
// SO_REUSEADDR lets a second listener take a port in use. A TCP socket therefore asks for the
// port alone; a UDP socket shares it with the other listeners of the group.
int SetAddressReuse(SocketHandle s) {
  int type = 0;
  int length = sizeof type;
  if (Checked(::getsockopt(Native(s), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length)) != 0) return -1;
  if (type == SOCK_STREAM) return SetOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, BOOL{TRUE});
  return SetOption(s, SOL_SOCKET, SO_REUSEADDR, BOOL{TRUE});
}

int SetNonBlocking(SocketHandle s) {
  u_long on = 1;
  return Checked(::ioctlsocket(Native(s), FIONBIO, &on));
}

int KeepFromChildren(SocketHandle s) {
  return ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0) ? 0 : -1;
}

int SetReceiveBuffer(SocketHandle s, int bytes) { return SetOption(s, SOL_SOCKET, SO_RCVBUF, bytes); }

int SetSendBuffer(SocketHandle s, int bytes) { return SetOption(s, SOL_SOCKET, SO_SNDBUF, bytes); }

int SetReceiveTimeout(SocketHandle s, int timeoutMs) {
  return SetOption(s, SOL_SOCKET, SO_RCVTIMEO, static_cast<DWORD>(timeoutMs));
}

int ShutdownSocket(SocketHandle s) { return Checked(::shutdown(Native(s), SD_BOTH)); }

int BindSocket(SocketHandle s, in_addr address, uint16_t port) {
  const sockaddr_in local = SocketEndpoint(address, port);
  if (::bind(Native(s), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) return 0;
  // A port held by a socket that asked for it alone is refused as an access error: for a
  // caller, the port is in use (Windows has no privileged ports).
  const int error = ::WSAGetLastError();
  errno = error == WSAEACCES ? EADDRINUSE : ErrnoOf(error);
  return -1;
}

int ListenSocket(SocketHandle s, int backlog) { return Checked(::listen(Native(s), backlog)); }

SocketHandle AcceptSocket(SocketHandle s) {
  const SOCKET accepted = ::accept(Native(s), nullptr, nullptr);
  if (accepted == INVALID_SOCKET) {
    errno = ErrnoOf(::WSAGetLastError());
    return kNoSocket;
  }
  // An accepted socket takes the listening one's event selection and non-blocking mode; it
  // starts blocking, as on Linux.
  ::WSAEventSelect(accepted, nullptr, 0);
  u_long off = 0;
  ::ioctlsocket(accepted, FIONBIO, &off);
  return static_cast<SocketHandle>(accepted);
}

int ConnectSocket(SocketHandle s, in_addr address, uint16_t port) {
  const sockaddr_in remote = SocketEndpoint(address, port);
  return Checked(::connect(Native(s), reinterpret_cast<const sockaddr*>(&remote), sizeof remote));
}

uint16_t BoundPort(SocketHandle s) {
  sockaddr_in local{};
  int size = sizeof local;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ::ntohs(local.sin_port);
}

int BindMulticastSocket(SocketHandle s, in_addr, uint16_t port) { return BindSocket(s, AnyAddress(), port); }

int JoinMulticastGroup(SocketHandle s, in_addr group, in_addr interface) {
  ip_mreq membership{};
  membership.imr_multiaddr = group;
  membership.imr_interface = interface;
  return SetOption(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, membership);
}

int SetMulticastTimeToLive(SocketHandle s, int timeToLive) {
  return SetOption(s, IPPROTO_IP, IP_MULTICAST_TTL, DWORD(timeToLive));
}

int SetMulticastInterface(SocketHandle s, in_addr interface) {
  return SetOption(s, IPPROTO_IP, IP_MULTICAST_IF, interface);
}

// Winsock raises no signal on a closed connection.
ssize_t SendSocket(SocketHandle s, const void* data, size_t length) {
  return Checked(::send(Native(s), static_cast<const char*>(data), Length(length), 0));
}

ssize_t SendSocketUnbuffered(SocketHandle s, const void* data, size_t length) {
  int before = 0;
  int size = sizeof before;
  if (::getsockopt(Native(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&before), &size) != 0)
    return SendSocket(s, data, length);
  SetOption(s, SOL_SOCKET, SO_SNDBUF, 0);
  const ssize_t sent = SendSocket(s, data, length);
  const int saved = errno;
  SetOption(s, SOL_SOCKET, SO_SNDBUF, before);
  errno = saved;
  return sent;
}

ssize_t SendSocketTo(SocketHandle s, in_addr address, uint16_t port, const void* data, size_t length) {
  const sockaddr_in to = SocketEndpoint(address, port);
  return Checked(::sendto(Native(s), static_cast<const char*>(data), Length(length), 0,
                          reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

ssize_t ReceiveSocket(SocketHandle s, void* data, size_t length) {
  return Checked(::recv(Native(s), static_cast<char*>(data), Length(length), 0));
}

}  // namespace Platform
