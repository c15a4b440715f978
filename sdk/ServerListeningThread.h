#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Thread.h"
#include "sdk/Discovery.h"
#include "sdk/Message.h"
#include "sdk/MessagingSocket.h"
#include "sdk/ServerIdentifier.h"
#include "sdk/ServerSocket.h"

// How a server listens. The defaults are the SDK server's: loopback, a port the system
// picks, TCP_NODELAY, and announced to discovery queries.
struct ListenOptions {
  std::string bindAddress = "127.0.0.1";       // empty: any address
  uint16_t port = 0;                           // 0: the system picks one
  PortChoice portChoice = PortChoice::kExact;  // when the port is taken
  TcpNoDelay noDelay = TcpNoDelay::kOn;
  // Answer discovery queries for the server's identifier (and announce it once at start).
  bool publish = true;
};

// The thread that listens for one server: it accepts connections, runs the handshake of each
// (the server's identifier out, one registration frame in) and hands every registered
// connection to the server; when the server is published it answers discovery queries too.
// The server owns it; one identifier is listened for at most once in a process.
class CServerListeningThread final : public CThreadBase {
 public:
  static constexpr int kHandshakeTimeoutMs = 10000;
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

  void OnNewConnection(Platform::SocketHandle acceptedSocket);
  void OpenPublisher();

  const ServerIdentifier m_identifier;
  const ListenOptions m_options;
  const Handover m_handover;
  CClaim m_claim;
  CServerSocket m_socket;
  uint16_t m_port = 0;
  std::unique_ptr<CServerPublisherSocket> m_publisher;  // this thread only
  std::atomic<uint64_t> m_wakeups{0};
};
