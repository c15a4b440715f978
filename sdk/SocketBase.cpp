#include "sdk/SocketBase.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SocketExceptions.h"

namespace {

// Sends with the send buffer set to 0 for the call, so that the kernel keeps as little of
// the caller's data as it can; the size read before is put back afterwards. Linux doubles
// a size that is set, so half of the size read is set back to restore what was read.
ssize_t SendUnbuffered(int socket, const void* buffer, size_t length) {
  int before = 0;
  socklen_t size = sizeof before;
  if (getsockopt(socket, SOL_SOCKET, SO_SNDBUF, &before, &size) != 0) return send(socket, buffer, length, MSG_NOSIGNAL);
  const int zero = 0;
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &zero, sizeof zero);
  const ssize_t sent = send(socket, buffer, length, MSG_NOSIGNAL);
  const int saved = errno;
  const int restore = before / 2;
  setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &restore, sizeof restore);
  errno = saved;
  return sent;
}

}  // namespace

CSocketBase::CSocketBase(int family, int type, int protocol, TcpNoDelay noDelay)
    : m_socket(socket(family, type | SOCK_CLOEXEC, protocol)) {
  if (m_socket < 0) throw CSocketException(errno);
  if (noDelay == TcpNoDelay::kOn) {
    const int on = 1;
    if (setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
      const int error = errno;
      close(m_socket);
      m_socket = kInvalidSocket;
      throw CSocketException(error);
    }
  }
}

CSocketBase::CSocketBase(int socket) : m_socket(socket) {}

CSocketBase::~CSocketBase() { CSocketBase::Close(); }

int CSocketBase::Close() {
  if (m_socket == kInvalidSocket) return -1;
  m_event.reset();
  const int result = close(m_socket);
  m_socket = kInvalidSocket;
  return result;
}

CSocketEvent* CSocketBase::CreateEvent() {
  if (m_socket == kInvalidSocket) return nullptr;
  m_event = std::make_unique<CSocketEvent>(m_socket, kDataSocketEvents);
  return m_event.get();
}

ssize_t CSocketBase::Receive(void* buffer, size_t length) {
  if (m_socket == kInvalidSocket) return -1;
  return recv(m_socket, buffer, length, 0);
}

ssize_t CSocketBase::Send(const void* buffer, size_t length) {
  if (m_socket == kInvalidSocket) return -1;
  const ssize_t sent =
      length > kLargeSend ? SendUnbuffered(m_socket, buffer, length) : send(m_socket, buffer, length, MSG_NOSIGNAL);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && m_event) m_event->ArmWritable();
  return sent;
}

in_addr CSocketBase::ResolveHost(const std::string& host) {
  in_addr address{};
  address.s_addr = INADDR_NONE;
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) return address;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
    address.s_addr = INADDR_NONE;
    return address;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return address;
}
