#include "sdk/ServerSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/SocketExceptions.h"

CServerSocket::CServerSocket(TcpNoDelay noDelay) : CSocketBase(AF_INET, SOCK_STREAM, IPPROTO_TCP, noDelay) {
  // A port whose last connections linger in TIME_WAIT can be bound again at once; a port
  // with a live listener still cannot.
  const int on = 1;
  setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void CServerSocket::BindAndListen(uint16_t port, const char* address, PortChoice choice) {
  if (m_socket == kInvalidSocket) throw CSocketException(EBADF);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (address && *address) {
    local.sin_addr = ResolveHost(address);
    if (local.sin_addr.s_addr == INADDR_NONE) throw CSocketException(EADDRNOTAVAIL);
  }
  for (uint32_t candidate = port;; ++candidate) {
    local.sin_port = htons(static_cast<uint16_t>(candidate));
    if (bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0) break;
    const int error = errno;
    if (error != EADDRINUSE || choice == PortChoice::kExact || candidate == 0 || candidate >= 65535)
      throw CSocketException(error);
  }
  if (listen(m_socket, kBacklog) != 0) throw CSocketException(errno);
}

int CServerSocket::Accept() {
  if (m_socket == kInvalidSocket) return -1;
  const int socket = accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
  return socket < 0 ? -1 : socket;
}

uint16_t CServerSocket::GetBoundPort() const {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (m_socket == kInvalidSocket || getsockname(m_socket, reinterpret_cast<sockaddr*>(&local), &size) != 0) return 0;
  return ntohs(local.sin_port);
}

CSocketEvent* CServerSocket::CreateEvent() {
  if (m_socket == kInvalidSocket) return nullptr;
  m_event = std::make_unique<CSocketEvent>(m_socket, kListeningSocketEvents);
  return m_event.get();
}
