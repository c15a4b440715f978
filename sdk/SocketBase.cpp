#include "sdk/SocketBase.h"

#include <cerrno>

#include "platform/SocketExceptions.h"

CSocketBase::CSocketBase(Platform::SocketKind kind, TcpNoDelay noDelay) : m_socket(Platform::OpenSocket(kind)) {
  if (m_socket == kInvalidSocket) throw CSocketException(errno);
  if (noDelay == TcpNoDelay::kOn && Platform::SetNoDelay(m_socket) != 0) {
    const int error = errno;
    Platform::CloseSocket(m_socket);
    m_socket = kInvalidSocket;
    throw CSocketException(error);
  }
}

CSocketBase::CSocketBase(Platform::SocketHandle socket) : m_socket(socket) {}

CSocketBase::~CSocketBase() { CSocketBase::Close(); }

int CSocketBase::Close() {
  if (m_socket == kInvalidSocket) return -1;
  m_event.reset();
  const int result = Platform::CloseSocket(m_socket);
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
  return Platform::ReceiveSocket(m_socket, buffer, length);
}

ssize_t CSocketBase::Send(const void* buffer, size_t length) {
  if (m_socket == kInvalidSocket) return -1;
  const ssize_t sent = length > kLargeSend ? Platform::SendSocketUnbuffered(m_socket, buffer, length)
                                           : Platform::SendSocket(m_socket, buffer, length);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && m_event) m_event->ArmWritable();
  return sent;
}

in_addr CSocketBase::ResolveHost(const std::string& host) {
  in_addr address{};
  if (Platform::ParseAddress(host.c_str(), address) || Platform::ResolveAddress(host.c_str(), address)) return address;
  return Platform::NoAddress();
}
