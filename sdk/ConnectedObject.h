#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/WaitEvent.h"
#include "sdk/Message.h"
#include "sdk/MessagingSocket.h"

class CConnectionManager;

// A blocking request waiting for its response: the correlation id and response id it
// expects, the response once it came, and the event that wakes the waiting caller.
class CPendingResponse {
 public:
  CPendingResponse(uint32_t correlationId, int32_t responseId) : correlationId(correlationId), responseId(responseId) {}
  const uint32_t correlationId;
  const int32_t responseId;

  void Deliver(MessageBufferPtr buffer);
  // Wakes the caller without a response (the connection closed).
  void Abandon() { m_done.Set(); }
  bool Wait(int timeoutMs) { return m_done.Wait(timeoutMs); }
  MessageBufferPtr Take();

 private:
  CWaitEvent m_done;
  std::mutex m_lock;
  MessageBufferPtr m_response;
};

// The object on one end of a connection. Its notifications and its message handler run on
// the incoming-message thread, one at a time and in the order the connection saw them:
// connected first, then the messages, then disconnected.
class CConnectedObjectBase : public std::enable_shared_from_this<CConnectedObjectBase> {
 public:
  virtual ~CConnectedObjectBase() = default;

  // Binds the object to a handshaken connection and lets the connection join the I/O thread;
  // false when it cannot (the connection is then dropped by the caller).
  bool Attach(CConnectionManager& manager, std::shared_ptr<CMessagingSocket> socket,
              const CRegistrationMessage& registration);
  std::shared_ptr<CMessagingSocket> GetSocket() const;
  int32_t GetRegistrationId() const;
  void Close();
  // Sends a request and waits up to timeoutMs for its response; null when none came.
  MessageBufferPtr SendBlockingRequest(CBlockingRequestMessageBase& request, int timeoutMs);

  // A frame that answers no request (correlation id 0).
  virtual void OnMessage(const MessageBufferPtr& buffer) = 0;
  virtual void OnConnected() {}
  virtual void OnDisconnected() {}

  // Queues a message on the connection; false when it is closed or was never attached.
  bool Send(const MessageIntf& message);

  // ---- the incoming-message thread's side: the requests waiting on this connection ----
  void Monitor(std::shared_ptr<CPendingResponse> pending);
  void Clear(const std::shared_ptr<CPendingResponse>& pending);
  // Hands a response to every waiting request it matches; false when none matched.
  bool DeliverResponse(int32_t messageId, uint32_t correlationId, const MessageBufferPtr& buffer);
  // The connection closed: wakes every waiting request.
  void AbandonAll();

 private:
  mutable std::mutex m_lock;  // guards the three below
  CConnectionManager* m_manager = nullptr;
  std::shared_ptr<CMessagingSocket> m_socket;
  int32_t m_registrationId = 0;

  std::vector<std::shared_ptr<CPendingResponse>> m_monitored;  // incoming-message thread only
};

// A new correlation id for a blocking request: never 0, which marks a frame answering none.
uint32_t NextCorrelationId();
