#pragma once
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Thread.h"
#include "platform/WaitEvent.h"
#include "sdk/ConnectedObject.h"

// One piece of work for the incoming-message thread.
class CMsgQueueEventIntf {
 public:
  virtual ~CMsgQueueEventIntf() = default;
  virtual void Process() = 0;
};

class CIncomingMessageQueueIntf {
 public:
  virtual ~CIncomingMessageQueueIntf() = default;
  virtual void PostIncomingData(std::shared_ptr<CConnectedObjectBase> object, MessageBufferPtr buffer) = 0;
  virtual void PostConnected(std::shared_ptr<CConnectedObjectBase> object) = 0;
  virtual void PostConnectionClosed(std::shared_ptr<CConnectedObjectBase> object) = 0;
  virtual void PostMonitor(std::shared_ptr<CConnectedObjectBase> object, std::shared_ptr<CPendingResponse> pending) = 0;
  virtual void PostClear(std::shared_ptr<CConnectedObjectBase> object, std::shared_ptr<CPendingResponse> pending) = 0;
};

// The thread that hands complete messages and connection changes to the connected objects,
// in the order they were posted.
class CIncomingMessageQueue : public CThreadBase, public CIncomingMessageQueueIntf {
 public:
  CIncomingMessageQueue() = default;
  ~CIncomingMessageQueue() override;

  void PostIncomingData(std::shared_ptr<CConnectedObjectBase> object, MessageBufferPtr buffer) override;
  void PostConnected(std::shared_ptr<CConnectedObjectBase> object) override;
  void PostConnectionClosed(std::shared_ptr<CConnectedObjectBase> object) override;
  void PostMonitor(std::shared_ptr<CConnectedObjectBase> object, std::shared_ptr<CPendingResponse> pending) override;
  void PostClear(std::shared_ptr<CConnectedObjectBase> object, std::shared_ptr<CPendingResponse> pending) override;

  // Waits until every event posted before the call has been processed. Does not wait when
  // called on the incoming-message thread itself, or when the thread does not run.
  void Flush();
  bool OnQueueThread() const { return std::this_thread::get_id() == m_threadId.load(); }
  // How often the thread has woken from its wait: only posted events wake it.
  uint64_t Wakeups() const { return m_wakeups.load(); }

  void Run() override;

 private:
  void Post(std::unique_ptr<CMsgQueueEventIntf> event);

  std::mutex m_lock;
  std::deque<std::unique_ptr<CMsgQueueEventIntf>> m_events;
  CWaitEvent m_queued;
  std::atomic<std::thread::id> m_threadId{};
  std::atomic<uint64_t> m_wakeups{0};
};
