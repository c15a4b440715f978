#include "sdk/DatagramSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SocketExceptions.h"

CDatagramSocket::CDatagramSocket() : CSocketBase(AF_INET, SOCK_DGRAM, IPPROTO_UDP, TcpNoDelay::kOff) {}

ssize_t CDatagramSocket::SendTo(in_addr address, uint16_t port, const void* data, size_t length) {
  if (m_socket == kInvalidSocket || address.s_addr == INADDR_NONE) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = address;
  to.sin_port = htons(port);
  return sendto(m_socket, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

CMulticastSocket::CMulticastSocket(const char* groupAddress, uint16_t port, const char* interfaceAddress,
                                   int timeToLive)
    : m_port(port) {
  if (inet_pton(AF_INET, groupAddress ? groupAddress : "", &m_group) != 1) Fail(EINVAL);
  in_addr interface {};
  interface.s_addr = htonl(INADDR_ANY);
  const bool hasInterface = interfaceAddress && *interfaceAddress;
  if (hasInterface && inet_pton(AF_INET, interfaceAddress, &interface) != 1) Fail(EINVAL);

  const int on = 1;
  if (setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) Fail(errno);
  // A Linux socket bound to a unicast interface address never receives datagrams sent to a
  // group; binding to the group address takes exactly that group's datagrams on the port.
  // The membership below names the interface.
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = m_group;
  local.sin_port = htons(port);
  if (bind(m_socket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) Fail(errno);

  ip_mreq membership{};
  membership.imr_multiaddr = m_group;
  membership.imr_interface = interface;
  if (setsockopt(m_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) Fail(errno);
  const unsigned char ttl = static_cast<unsigned char>(timeToLive);
  if (setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) Fail(errno);
  if (hasInterface && setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0) Fail(errno);
}

void CMulticastSocket::Fail(int error) {
  Close();
  throw CSocketException(error);
}
