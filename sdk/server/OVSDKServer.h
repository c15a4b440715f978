#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/ReceiverStatus.h"
#include "sdk/ConnectedObject.h"
#include "sdk/ConnectionManager.h"
#include "sdk/SdkMessages.h"
#include "sdk/ServerBase.h"

class COVSDKServer;

// One SDK client's connection: dispatches the client's messages to the server's operations.
class COVSDKServerObject : public CConnectedObjectBase {
 public:
  COVSDKServerObject(COVSDKServer& server, int clientNumber, int32_t registrationId)
      : m_server(server), m_clientNumber(clientNumber), m_registrationId(registrationId) {}
  int ClientNumber() const { return m_clientNumber; }

  void OnMessage(const MessageBufferPtr& buffer) override;
  void OnConnected() override;
  void OnDisconnected() override;

 private:
  using Handler = void (COVSDKServerObject::*)(const CMessageBuffer&);
  static const std::array<Handler, SdkMessage::kLastId + 1> kHandlers;

  void OnPing(const CMessageBuffer& buffer);
  void OnSendCommand(const CMessageBuffer& buffer);
  void OnGetLogFileName(const CMessageBuffer& buffer);
  void OnSetLogFlags(const CMessageBuffer& buffer);
  void OnGetLogFlags(const CMessageBuffer& buffer);
  void OnResetLog(const CMessageBuffer& buffer);

  // The server outlives its objects' notifications: it stops only after they have run.
  COVSDKServer& m_server;
  const int m_clientNumber;
  const int32_t m_registrationId;
};

// The SDK server: one object per registered client; the receiver list and log changes go
// out to the clients; what the clients ask for goes to the operations below.
class COVSDKServer : public CServerBase {
 public:
  COVSDKServer();
  ~COVSDKServer() override;

  // Starts listening (see CServerListeningThread::AddServer) and answers the bound port.
  // Throws CExceptionBase when it cannot.
  uint16_t Start(bool publish, uint16_t port, const char* bindAddress, bool exactPort, bool noDelay);
  // Closes every client and stops listening. When it returns, no operation below runs any
  // more. Must not be called from one of those operations.
  void Stop();
  uint16_t Port() const { return m_port; }
  size_t ClientCount();

  void SendStatusToClient(int clientNumber, const std::vector<ReceiverStatusW>& records);
  void SendStatusToAll(const std::vector<ReceiverStatusW>& records);
  void SendLogChangedToAll();

  void OnNewConnection(const CRegistrationMessage& registration, std::shared_ptr<CMessagingSocket> socket) override;
  // A client's connection closed.
  void RemoveClient(const COVSDKServerObject& object);

  // What the clients ask for; they run on the incoming-message thread.
  virtual void OnClientConnected(int clientNumber, int32_t registrationId) = 0;
  virtual void OnClientDisconnected(int clientNumber) = 0;
  virtual void OnSendCommand(int32_t receiverNumber, const std::u16string& text) = 0;
  // The log file's name; empty when there is none.
  virtual std::u16string OnLogFileName() = 0;
  virtual void OnSetLoggingFlag(int32_t flags) = 0;
  virtual int32_t GetLoggingFlag() = 0;
  virtual void FlushLog() = 0;

  // A client broke a limit of the connection (a frame too long, a queue it did not read) and
  // was dropped; its disconnected notification follows.
  virtual void OnClientDropped(int /*clientNumber*/, const std::string& /*reason*/) {}
  // A client registered while no more connections could be served: it is dropped at once.
  // Runs on the listening thread.
  virtual void OnClientRefused(int /*clientNumber*/) {}

 private:
  // Sends one frame to the clients the filter picks (every client when clientNumber < 0).
  void SendToClients(const MessageIntf& message, int clientNumber);

  std::mutex m_lock;  // guards the list, the counter and the stopped flag
  std::vector<std::shared_ptr<COVSDKServerObject>> m_objects;
  int m_nextClientNumber = 0;
  bool m_stopped = false;

  std::shared_ptr<CConnectionManager> m_manager;  // set by Start, let go by Stop
  uint16_t m_port = 0;
};
