#pragma once
#include <cstdint>

#include "sdk/SocketBase.h"

// A UDP socket.
class CDatagramSocket : public CSocketBase {
 public:
  CDatagramSocket();

  // One sendto; -1 when there is no socket or the address is INADDR_NONE.
  ssize_t SendTo(in_addr address, uint16_t port, const void* data, size_t length);
};

// A UDP socket that is a member of a multicast group from its construction on.
class CMulticastSocket : public CDatagramSocket {
 public:
  // Joins the group on the interface address (any interface when null or empty) and binds
  // to the group's port with address reuse; sets the multicast time-to-live and, when an
  // interface is given, the interface multicast datagrams leave on. Throws CSocketException
  // when a step fails.
  CMulticastSocket(const char* groupAddress, uint16_t port, const char* interfaceAddress, int timeToLive);

  in_addr Group() const { return m_group; }
  uint16_t Port() const { return m_port; }

 private:
  void Fail(int error);

  in_addr m_group{};
  uint16_t m_port;
};
