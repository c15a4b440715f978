#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SocketTypes.h"
#include "platform/WaitTypes.h"

// The socket calls of the socket and messaging layer: POSIX sockets on Linux, Winsock 2 on
// Windows. IPv4 only, as the layer is. A call that fails answers -1 (kNoSocket for the ones that
// make a socket) with errno saying why; Winsock's error codes are translated to errno values.
namespace Platform {

using SocketHandle = NativeHandle;
inline constexpr SocketHandle kNoSocket = kNoHandle;

enum class SocketKind { kTcp, kUdp };

SocketHandle OpenSocket(SocketKind kind);
int CloseSocket(SocketHandle s);
// TCP_NODELAY: small segments go out at once.
int SetNoDelay(SocketHandle s);
// SO_REUSEADDR: a port whose last connections linger can be bound again; for UDP, several
// sockets share a port.
int SetAddressReuse(SocketHandle s);
// The socket's calls no longer block (a would-block answers -1 with EWOULDBLOCK).
int SetNonBlocking(SocketHandle s);
// The socket is not inherited by programs this process starts (a child holding a listening
// socket would keep its port answering, unserved, after this process stops).
int KeepFromChildren(SocketHandle s);

// SO_RCVBUF and SO_SNDBUF, in bytes; SO_RCVTIMEO in milliseconds (0: none).
int SetReceiveBuffer(SocketHandle s, int bytes);
int SetSendBuffer(SocketHandle s, int bytes);
int SetReceiveTimeout(SocketHandle s, int timeoutMs);
// Shuts both directions of a connection down; a call blocked on it returns.
int ShutdownSocket(SocketHandle s);

int BindSocket(SocketHandle s, in_addr address, uint16_t port);
int ListenSocket(SocketHandle s, int backlog);
SocketHandle AcceptSocket(SocketHandle s);
int ConnectSocket(SocketHandle s, in_addr address, uint16_t port);
// The port the socket is bound to; 0 when it is not.
uint16_t BoundPort(SocketHandle s);

// Binds a socket that joins the group so that it takes the group's datagrams on the port: on
// Linux bound to the group address (a socket bound to a unicast address never receives a
// group's datagrams), on Windows to any address (Windows binds no group address).
int BindMulticastSocket(SocketHandle s, in_addr group, uint16_t port);
int JoinMulticastGroup(SocketHandle s, in_addr group, in_addr interface);
int SetMulticastTimeToLive(SocketHandle s, int timeToLive);
int SetMulticastInterface(SocketHandle s, in_addr interface);

// Sends never raise SIGPIPE; a send to a closed connection answers -1 (EPIPE or ECONNRESET).
ssize_t SendSocket(SocketHandle s, const void* data, size_t length);
// A send with the socket's send buffer at 0 for the call, so that the system keeps as little of
// the caller's data as it can; the buffer size is put back afterwards.
ssize_t SendSocketUnbuffered(SocketHandle s, const void* data, size_t length);
ssize_t SendSocketTo(SocketHandle s, in_addr address, uint16_t port, const void* data, size_t length);
ssize_t ReceiveSocket(SocketHandle s, void* data, size_t length);

// A dotted IPv4 address; false when the text is none.
bool ParseAddress(const char* text, in_addr& address);
// The first IPv4 address the host name resolves to; false when there is none.
bool ResolveAddress(const char* host, in_addr& address);
// This machine's name; empty when it has none.
std::string HostName();
// The numeric addresses the host name resolves to, IPv4 ones first, each once.
std::vector<std::string> HostAddresses(const std::string& host);

in_addr AnyAddress();
// INADDR_NONE: what a failed resolution gives.
in_addr NoAddress();
inline bool IsNoAddress(in_addr a) { return a.s_addr == NoAddress().s_addr; }

}  // namespace Platform
