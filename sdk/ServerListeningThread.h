#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "sdk/Discovery.h"
#include "sdk/Message.h"
#include "sdk/MessagingSocket.h"
#include "sdk/ServerHandshake.h"
#include "sdk/ServerIdentifier.h"
#include "sdk/ServerSocket.h"

// How long a connection has for each step of its registration handshake.
constexpr int kServerHandshakeTimeoutMs = 10000;
// How long the listening socket rests after an accept failed for want of descriptors or
// memory: the connection stays queued until it can be accepted.
constexpr int kAcceptRetryMs = 500;

// How a server listens. The defaults are the SDK server's: loopback, a port the system
// picks, TCP_NODELAY, and announced to discovery queries.
struct ListenOptions {
  std::string bindAddress = "127.0.0.1";       // empty: any address
  uint16_t port = 0;                           // 0: the system picks one
  PortChoice portChoice = PortChoice::kExact;  // when the port is taken
  TcpNoDelay noDelay = TcpNoDelay::kOn;
  // Answer discovery queries for the server's identifier (and announce it once at start).
  bool publish = true;
  // Each handshake step's time-out, and the rest after a failed accept.
  int handshakeTimeoutMs = kServerHandshakeTimeoutMs;
  int acceptRetryMs = kAcceptRetryMs;
};

// The thread that listens for one server: it accepts connections, runs the handshake of each
// (the server's identifier out, one registration frame in) and hands every registered
// connection to the server; when the server is published it answers discovery queries too.
// Handshakes go on side by side, each moved on as its connection is ready and each with its
// own time-out, so a client that stalls holds up neither the others nor discovery.
// The server owns it; one identifier is listened for at most once in a process.
class CServerListeningThread final : public CThreadBase {
 public:
  static constexpr int kHandshakeTimeoutMs = kServerHandshakeTimeoutMs;
  // At most this many connections are in their handshake at once; a newcomer beyond them
  // takes the place of the oldest, so that clients that stall cannot keep others out.
  static constexpr size_t kMaxHandshakes = 32;
  // Runs on this thread; what it does not keep is dropped.
  using Handover = std::function<void(const CRegistrationMessage&, std::shared_ptr<CMessagingSocket>)>;

  // Binds and listens, then starts the thread. Throws CSocketLibException when a listener for
  // the identifier exists already in this process, CSocketException when the socket cannot
  // listen.
  CServerListeningThread(const ServerIdentifier& identifier, const ListenOptions& options, Handover handover);
  // Stops the thread: once it returns no connection is being or will be handed over. Must not
  // run on this thread (from the handover).
  ~CServerListeningThread() override;

  uint16_t Port() const { return m_port; }
  // How often the thread has woken from its wait: connections and discovery datagrams (from
  // any process on this host) wake it.
  uint64_t Wakeups() const { return m_wakeups.load(); }
  // How many accept calls have failed.
  uint64_t AcceptFailures() const { return m_acceptFailures.load(); }

  void Run() override;

 private:
  // Claims the identifier for this process; released by the destructor.
  class CClaim {
   public:
    explicit CClaim(const ServerIdentifier& identifier);
    ~CClaim();
    CClaim(const CClaim&) = delete;
    CClaim& operator=(const CClaim&) = delete;

   private:
    ServerIdentifier m_identifier;
  };

  using Clock = CServerHandshake::Clock;

  void OpenPublisher();
  // The wait's time-out: until the first handshake's deadline or the end of a rest; -1 for none.
  int WaitTimeout(Clock::time_point now) const;
  void DropExpiredHandshakes(Clock::time_point now);
  void AcceptConnection();
  void OnAcceptFailed(int error);
  // Moves the handshake on; one that has ended leaves the list (handed over when registered).
  void AdvanceHandshake(size_t at);

  const ServerIdentifier m_identifier;
  const ListenOptions m_options;
  const Handover m_handover;
  CClaim m_claim;
  CServerSocket m_socket;
  uint16_t m_port = 0;
  // This thread only.
  std::unique_ptr<CServerPublisherSocket> m_publisher;
  std::vector<std::unique_ptr<CServerHandshake>> m_handshakes;  // oldest first
  std::optional<Clock::time_point> m_acceptRestsUntil;          // the listening socket is not watched
  bool m_acceptFailing = false;                                 // since the last accept that worked
  std::atomic<uint64_t> m_wakeups{0};
  std::atomic<uint64_t> m_acceptFailures{0};
};
