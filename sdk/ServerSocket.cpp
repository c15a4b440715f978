#include "sdk/ServerSocket.h"

#include <cerrno>

#include "platform/SocketExceptions.h"

CServerSocket::CServerSocket(TcpNoDelay noDelay) : CSocketBase(Platform::SocketKind::kTcp, noDelay) {
  // A port whose last connections linger in TIME_WAIT can be bound again at once; a port
  // with a live listener still cannot.
  Platform::SetAddressReuse(m_socket);
}

void CServerSocket::BindAndListen(uint16_t port, const char* address, PortChoice choice) {
  if (m_socket == kInvalidSocket) throw CSocketException(EBADF);
  in_addr local = Platform::AnyAddress();
  if (address && *address) {
    local = ResolveHost(address);
    if (Platform::IsNoAddress(local)) throw CSocketException(EADDRNOTAVAIL);
  }
  for (uint32_t candidate = port;; ++candidate) {
    if (Platform::BindSocket(m_socket, local, static_cast<uint16_t>(candidate)) == 0) break;
    const int error = errno;
    if (error != EADDRINUSE || choice == PortChoice::kExact || candidate == 0 || candidate >= 65535)
      throw CSocketException(error);
  }
  if (Platform::ListenSocket(m_socket, kBacklog) != 0) throw CSocketException(errno);
}

Platform::SocketHandle CServerSocket::Accept() {
  if (m_socket == kInvalidSocket) return kInvalidSocket;
  return Platform::AcceptSocket(m_socket);
}

uint16_t CServerSocket::GetBoundPort() const { return m_socket == kInvalidSocket ? 0 : Platform::BoundPort(m_socket); }

CSocketEvent* CServerSocket::CreateEvent() {
  if (m_socket == kInvalidSocket) return nullptr;
  m_event = std::make_unique<CSocketEvent>(m_socket, kListeningSocketEvents);
  return m_event.get();
}
