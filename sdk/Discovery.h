#pragma once
#include <cstdint>
#include <optional>
#include <span>

#include "sdk/DatagramSocket.h"
#include "sdk/ServerIdentifier.h"

// Discovery of servers on the local host: a client multicasts a query naming a server
// identifier, and the listening side answers with an announcement carrying the TCP port.
namespace Discovery {

constexpr const char* kGroup = "225.1.2.34";
constexpr uint16_t kPort = 35000;
// Datagrams stay on the host: time-to-live 0, sent on the loopback interface.
constexpr int kTimeToLive = 0;
constexpr const char* kLocalInterface = "127.0.0.1";

constexpr int32_t kQueryCode = 100;
constexpr int32_t kAnnouncementCode = 101;
constexpr size_t kQuerySize = 20;
constexpr size_t kAnnouncementSize = 22;
constexpr size_t kReceiveBufferSize = 1024;

std::array<uint8_t, kQuerySize> EncodeQuery(const ServerIdentifier& identifier);
std::array<uint8_t, kAnnouncementSize> EncodeAnnouncement(const ServerIdentifier& identifier, uint16_t port);
// The identifier a datagram asks for: exactly 20 bytes with the query code.
std::optional<ServerIdentifier> DecodeQuery(std::span<const uint8_t> datagram);
struct Announcement {
  ServerIdentifier identifier;
  uint16_t port;
};
std::optional<Announcement> DecodeAnnouncement(std::span<const uint8_t> datagram);

}  // namespace Discovery

// The discovery responder: a member of the group that announces servers and answers queries.
class CServerPublisherSocket : public CMulticastSocket {
 public:
  // Throws CSocketException when the socket cannot be set up.
  explicit CServerPublisherSocket(const char* interfaceAddress);

  // Sends the announcement to the group, up to three times until one send takes all of it.
  bool Announce(const ServerIdentifier& identifier, uint16_t port);
  // Reads one datagram and answers it with the announcement when it is a query for this
  // identifier.
  void AnswerQuery(const ServerIdentifier& identifier, uint16_t port);
};

// The client's side: sends queries and reads announcements.
class CDiscoveryClient {
 public:
  // Throws CSocketException when the socket cannot be set up.
  CDiscoveryClient();

  bool SendQuery(const ServerIdentifier& identifier);
  // Sends a raw datagram to the group (tests send malformed queries this way).
  bool SendDatagram(std::span<const uint8_t> datagram);
  // The next announcement for the identifier within timeoutMs (other datagrams are skipped).
  std::optional<uint16_t> WaitAnnouncement(const ServerIdentifier& identifier, int timeoutMs);
  // The next announcement of any server within timeoutMs.
  std::optional<Discovery::Announcement> WaitAnyAnnouncement(int timeoutMs);
  // Queries every resendMs until an announcement for the identifier arrives or timeoutMs pass.
  std::optional<uint16_t> Find(const ServerIdentifier& identifier, int timeoutMs, int resendMs = 500);

 private:
  CMulticastSocket m_socket;
};
