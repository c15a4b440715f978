#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "platform/WaitEvent.h"
#include "sdk/Discovery.h"
#include "sdk/ServerBase.h"
#include "sdk/ServerSocket.h"

class CConnectionManager;

// One listening server.
struct CServerRecord {
  std::shared_ptr<CServerBase> server;
  std::unique_ptr<CServerSocket> socket;
  std::string bindAddress;
  uint16_t port = 0;
  bool publish = false;
  bool announced = false;
};

// The thread that accepts connections for every server, runs the handshake of each new
// connection and answers discovery queries.
class CServerListeningThread : public CThreadBase, public CServerPublisherCallbackIntf {
 public:
  static constexpr size_t kMaxServers = 50;
  static constexpr int kHandshakeTimeoutMs = 10000;

  explicit CServerListeningThread(CConnectionManager& manager);
  ~CServerListeningThread() override;

  // Binds and listens for the server (the next free port when the port is taken, unless
  // exactPort) and answers the bound port. Throws CSocketLibException for a server already
  // registered or one server too many, CSocketException when the socket cannot listen.
  uint16_t AddServer(std::shared_ptr<CServerBase> server, bool publish, uint16_t port, const char* bindAddress,
                     bool exactPort, bool noDelay);
  // Stops listening for the server; when it returns, no connection is being or will be
  // handed to the server.
  void RemoveServer(const CServerBase& server);

  uint16_t PublishedPort(const ServerIdentifier& identifier) override;
  // How often the thread has woken from its wait: connections, discovery datagrams (from
  // any process on this host) and server changes wake it.
  uint64_t Wakeups() const { return m_wakeups.load(); }
  void Run() override;

 private:
  void OnNewConnection(const std::shared_ptr<CServerBase>& server, int acceptedSocket);
  // Under m_lock: opens or closes the publisher and announces servers not yet announced.
  void UpdatePublisher();
  bool IsRegistered(const CServerBase& server);

  [[maybe_unused]] CConnectionManager& m_manager;  // the manager that owns this thread
  std::mutex m_lock;
  std::vector<CServerRecord> m_servers;
  // Listening sockets of removed servers, closed by this thread once it no longer waits on them.
  std::vector<std::unique_ptr<CServerSocket>> m_retired;
  bool m_serversDirty = false;
  // Held while a handshaken connection is handed to its server.
  std::mutex m_handoverLock;
  CWaitEvent m_serversChanged;
  std::unique_ptr<CServerPublisherSocket> m_publisher;  // this thread only
  std::atomic<uint64_t> m_wakeups{0};
};
