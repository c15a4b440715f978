#include "sdk/DatagramSocket.h"

#include <cerrno>

#include "platform/SocketExceptions.h"

CDatagramSocket::CDatagramSocket() : CSocketBase(Platform::SocketKind::kUdp, TcpNoDelay::kOff) {}

ssize_t CDatagramSocket::SendTo(in_addr address, uint16_t port, const void* data, size_t length) {
  if (m_socket == kInvalidSocket || Platform::IsNoAddress(address)) return -1;
  return Platform::SendSocketTo(m_socket, address, port, data, length);
}

CMulticastSocket::CMulticastSocket(const char* groupAddress, uint16_t port, const char* interfaceAddress,
                                   int timeToLive)
    : m_port(port) {
  if (!Platform::ParseAddress(groupAddress ? groupAddress : "", m_group)) Fail(EINVAL);
  in_addr interface = Platform::AnyAddress();
  const bool hasInterface = interfaceAddress && *interfaceAddress;
  if (hasInterface && !Platform::ParseAddress(interfaceAddress, interface)) Fail(EINVAL);

  if (Platform::SetAddressReuse(m_socket) != 0) Fail(errno);
  // The membership below names the interface.
  if (Platform::BindMulticastSocket(m_socket, m_group, port) != 0) Fail(errno);
  if (Platform::JoinMulticastGroup(m_socket, m_group, interface) != 0) Fail(errno);
  if (Platform::SetMulticastTimeToLive(m_socket, timeToLive) != 0) Fail(errno);
  if (hasInterface && Platform::SetMulticastInterface(m_socket, interface) != 0) Fail(errno);
}

void CMulticastSocket::Fail(int error) {
  Close();
  throw CSocketException(error);
}
