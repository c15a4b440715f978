#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Thread.h"
#include "platform/WaitEvent.h"
#include "sdk/IncomingMessageQueue.h"
#include "sdk/MessagingSocket.h"

// The thread that moves frames in and out of every connection: it waits on its stop event,
// its wake event and one socket event per connection, reads frames into the incoming-message
// queue and sends the connections' queued frames.
class CSocketIOThread : public CThreadBase, public COutgoingMessageQueueIntf {
 public:
  // With the stop and wake events, one wait covers at most 63 handles.
  static constexpr size_t kMaxConnections = 61;

  explicit CSocketIOThread(CIncomingMessageQueueIntf& incoming);
  ~CSocketIOThread() override;

  // Joins an attached connection (its connected object is told it is connected before any of
  // its messages arrive); false when kMaxConnections are served already or it is closed.
  bool AddConnection(const std::shared_ptr<CMessagingSocket>& socket);
  size_t ConnectionCount();
  // How often the thread has woken from its wait: an idle layer does not wake it.
  uint64_t Wakeups() const { return m_wakeups.load(); }

  void NotifySend(std::shared_ptr<CMessagingSocket> socket) override;
  void RemoveConnection(const std::shared_ptr<CMessagingSocket>& socket) override;
  void ResumeReading() override;

  void Run() override;

 private:
  // All of these run under m_lock.
  void Serve(const std::shared_ptr<CMessagingSocket>& socket, SocketEvents flags);
  void Drop(const std::shared_ptr<CMessagingSocket>& socket);
  void Detach(const std::shared_ptr<CMessagingSocket>& socket);
  void PostClosed(const std::shared_ptr<CMessagingSocket>& socket);
  void FlushPendingSends();

  CIncomingMessageQueueIntf& m_incoming;
  CWaitEvent m_wake;
  std::mutex m_lock;
  std::vector<std::shared_ptr<CMessagingSocket>> m_connections;
  // Closed by their owners; this thread closes their descriptors when it next rebuilds its
  // wait list, so that none is closed while it is being waited on.
  std::vector<std::shared_ptr<CMessagingSocket>> m_retired;
  std::vector<std::shared_ptr<CMessagingSocket>> m_sendPending;
  std::vector<uint8_t> m_scratch;  // receive buffer, this thread only
  std::atomic<uint64_t> m_wakeups{0};
};
