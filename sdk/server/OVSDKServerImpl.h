#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/ConnectionManager.h"
#include "sdk/ReceiverStatus.h"
#include "sdk/SdkMessages.h"
#include "sdk/ServerListeningThread.h"
#include "sdk/server/SdkServerEvents.h"

// The service's SDK server. It listens on its own socket (announced to discovery queries),
// keeps its clients, and turns each client request into a call of the receiver manager
// through the events, which may be null: then only the log lines remain. Receiver lists and
// log changes go out to the clients.
//
// Requests are handled on the messaging layer's incoming-message thread, one at a time; new
// clients arrive on the listening thread; the broadcasts come from any thread.
class COVSDKServerImpl : public ISDKServer {
 public:
  explicit COVSDKServerImpl(ISDKServerEvents* events);
  ~COVSDKServerImpl() override;
  COVSDKServerImpl(const COVSDKServerImpl&) = delete;
  COVSDKServerImpl& operator=(const COVSDKServerImpl&) = delete;

  // Starts listening (once) and answers the bound port. Throws CExceptionBase when it cannot:
  // another server listens for the SDK in this process, or the socket cannot listen.
  uint16_t Start(const ListenOptions& options = {});
  // Closes every client and stops listening. When it returns, no request is handled and no
  // event called any more. Must not be called from one of the events' calls.
  void Stop();

  int Port() const override { return m_port; }
  void SendReceiverStatus(const std::vector<ReceiverStatusW>& records) override;
  void SendLogChanged() override;

  size_t ClientCount();
  // How often the listening thread has woken (0 when not listening). Start and Stop's thread.
  uint64_t ListeningWakeups() const { return m_listening ? m_listening->Wakeups() : 0; }

  // Handles one frame as a client's request with no connection behind it: answers go nowhere.
  void HandleRequest(const CMessageBuffer& frame) { Dispatch(frame, nullptr); }

 private:
  class CClient;
  using Handler = void (COVSDKServerImpl::*)(const CMessageBuffer& frame, CClient* client);
  struct Route {
    SdkMessage id;
    Handler handler;
  };
  // The requests a client can make; every other message id is ignored.
  static const Route kRoutes[6];

  // Runs on the listening thread: a client has registered.
  void OnNewConnection(const CRegistrationMessage& registration, std::shared_ptr<CMessagingSocket> socket);
  // The client's connection closed (dropped when it broke a limit of the connection).
  void OnClientGone(const CClient& client);
  // Hands a request to its handler; a frame that does not read as its request is ignored.
  void Dispatch(const CMessageBuffer& frame, CClient* client);
  static void Reply(CClient* client, const MessageIntf& message);
  // Sends one frame to every client.
  void Broadcast(const MessageIntf& message);

  void HandlePing(const CMessageBuffer& frame, CClient* client);
  void HandleSendCommand(const CMessageBuffer& frame, CClient* client);
  void HandleGetLogFileName(const CMessageBuffer& frame, CClient* client);
  void HandleSetLogFlags(const CMessageBuffer& frame, CClient* client);
  void HandleGetLogFlags(const CMessageBuffer& frame, CClient* client);
  void HandleResetLog(const CMessageBuffer& frame, CClient* client);

  // The server's operations: each logs and calls the events.
  void OnClientConnected(CClient& client);
  void OnClientDisconnected(int clientNumber);
  void OnSendCommand(int32_t receiverNumber, const std::u16string& text);
  std::u16string OnLogFileName();
  void OnSetLoggingFlag(int32_t flags);
  int32_t GetLoggingFlag();
  void FlushLog();
  void OnClientDropped(int clientNumber, const std::string& reason);
  void OnClientRefused(int clientNumber);

  ISDKServerEvents* const m_events;

  std::mutex m_lock;  // guards the clients, the client counter and the stopped flag
  std::vector<std::shared_ptr<CClient>> m_clients;
  int m_nextClientNumber = 0;  // client numbers are not reused
  bool m_stopped = false;

  // Set by Start, let go by Stop (Start and Stop's thread).
  std::shared_ptr<CConnectionManager> m_manager;
  std::unique_ptr<CServerListeningThread> m_listening;
  uint16_t m_port = 0;
};
