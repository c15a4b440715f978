#include "sdk/Discovery.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "sdk/Wire.h"

namespace Discovery {

std::array<uint8_t, kQuerySize> EncodeQuery(const ServerIdentifier& identifier) {
  std::array<uint8_t, kQuerySize> datagram{};
  Wire::PutU32(datagram.data(), static_cast<uint32_t>(kQueryCode));
  std::copy(identifier.begin(), identifier.end(), datagram.begin() + 4);
  return datagram;
}

std::array<uint8_t, kAnnouncementSize> EncodeAnnouncement(const ServerIdentifier& identifier, uint16_t port) {
  std::array<uint8_t, kAnnouncementSize> datagram{};
  Wire::PutU32(datagram.data(), static_cast<uint32_t>(kAnnouncementCode));
  std::copy(identifier.begin(), identifier.end(), datagram.begin() + 4);
  Wire::PutU16(datagram.data() + 20, port);
  return datagram;
}

std::optional<ServerIdentifier> DecodeQuery(std::span<const uint8_t> datagram) {
  if (datagram.size() != kQuerySize || static_cast<int32_t>(Wire::GetU32(datagram.data())) != kQueryCode)
    return std::nullopt;
  ServerIdentifier identifier;
  std::copy(datagram.begin() + 4, datagram.end(), identifier.begin());
  return identifier;
}

std::optional<Announcement> DecodeAnnouncement(std::span<const uint8_t> datagram) {
  if (datagram.size() != kAnnouncementSize || static_cast<int32_t>(Wire::GetU32(datagram.data())) != kAnnouncementCode)
    return std::nullopt;
  Announcement announcement{};
  std::copy(datagram.begin() + 4, datagram.begin() + 20, announcement.identifier.begin());
  announcement.port = Wire::GetU16(datagram.data() + 20);
  return announcement;
}

}  // namespace Discovery

CServerPublisherSocket::CServerPublisherSocket(const char* interfaceAddress)
    : CMulticastSocket(Discovery::kGroup, Discovery::kPort, interfaceAddress, Discovery::kTimeToLive) {
  CreateEvent();
}

bool CServerPublisherSocket::Announce(const ServerIdentifier& identifier, uint16_t port) {
  const auto datagram = Discovery::EncodeAnnouncement(identifier, port);
  for (int attempt = 0; attempt < 3; ++attempt)
    if (SendTo(Group(), Port(), datagram.data(), datagram.size()) == static_cast<ssize_t>(datagram.size())) return true;
  return false;
}

void CServerPublisherSocket::AnswerQuery(const ServerIdentifier& identifier, uint16_t port) {
  uint8_t datagram[Discovery::kReceiveBufferSize];
  const ssize_t n = Receive(datagram, sizeof datagram);
  if (n <= 0) return;
  const auto asked = Discovery::DecodeQuery({datagram, static_cast<size_t>(n)});
  if (asked == identifier && port != 0) Announce(identifier, port);
}

CDiscoveryClient::CDiscoveryClient()
    : m_socket(Discovery::kGroup, Discovery::kPort, Discovery::kLocalInterface, Discovery::kTimeToLive) {
  m_socket.CreateEvent();
}

bool CDiscoveryClient::SendQuery(const ServerIdentifier& identifier) {
  return SendDatagram(Discovery::EncodeQuery(identifier));
}

bool CDiscoveryClient::SendDatagram(std::span<const uint8_t> datagram) {
  return m_socket.SendTo(m_socket.Group(), m_socket.Port(), datagram.data(), datagram.size()) ==
         static_cast<ssize_t>(datagram.size());
}

std::optional<Discovery::Announcement> CDiscoveryClient::WaitAnyAnnouncement(int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    uint8_t datagram[Discovery::kReceiveBufferSize];
    const ssize_t n = m_socket.Receive(datagram, sizeof datagram);
    if (n > 0) {
      if (auto announcement = Discovery::DecodeAnnouncement({datagram, static_cast<size_t>(n)})) return announcement;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // Any report (readable, or the one-off writable) sends the loop back to receiving.
    if (left <= 0 || m_socket.Event()->Wait(static_cast<int>(left)) == SocketEvents::kNone) return std::nullopt;
  }
}

std::optional<uint16_t> CDiscoveryClient::WaitAnnouncement(const ServerIdentifier& identifier, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    auto announcement = WaitAnyAnnouncement(static_cast<int>(std::max<int64_t>(left, 0)));
    if (!announcement) return std::nullopt;
    if (announcement->identifier == identifier) return announcement->port;
  }
}

std::optional<uint16_t> CDiscoveryClient::Find(const ServerIdentifier& identifier, int timeoutMs, int resendMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    SendQuery(identifier);
    if (auto port = WaitAnnouncement(identifier, static_cast<int>(std::min<int64_t>(left, resendMs)))) return port;
  }
}
