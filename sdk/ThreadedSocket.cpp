#include "sdk/ThreadedSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/SocketExceptions.h"

CThreadedSocket::CThreadedSocket(TcpNoDelay noDelay) : CSocketBase(AF_INET, SOCK_STREAM, IPPROTO_TCP, noDelay) {}

CThreadedSocket::CThreadedSocket(int acceptedSocket) : CSocketBase(acceptedSocket) {}

void CThreadedSocket::Connect(const std::string& host, uint16_t port) {
  if (m_socket == kInvalidSocket) throw CSocketException(EBADF);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr = ResolveHost(host);
  remote.sin_port = htons(port);
  if (remote.sin_addr.s_addr == INADDR_NONE) throw CSocketException(EADDRNOTAVAIL);
  if (connect(m_socket, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0) throw CSocketException(errno);
}
