#include "sdk/ThreadedSocket.h"

#include <cerrno>

#include "platform/SocketExceptions.h"

CThreadedSocket::CThreadedSocket(TcpNoDelay noDelay) : CSocketBase(Platform::SocketKind::kTcp, noDelay) {}

CThreadedSocket::CThreadedSocket(Platform::SocketHandle acceptedSocket) : CSocketBase(acceptedSocket) {}

void CThreadedSocket::Connect(const std::string& host, uint16_t port) {
  if (m_socket == kInvalidSocket) throw CSocketException(EBADF);
  const in_addr remote = ResolveHost(host);
  if (Platform::IsNoAddress(remote)) throw CSocketException(EADDRNOTAVAIL);
  if (Platform::ConnectSocket(m_socket, remote, port) != 0) throw CSocketException(errno);
}
