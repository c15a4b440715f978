#include "sdk/IncomingMessageQueue.h"

namespace {

using ObjectPtr = std::shared_ptr<CConnectedObjectBase>;

class CIncomingDataEvent : public CMsgQueueEventIntf {
 public:
  CIncomingDataEvent(ObjectPtr object, MessageBufferPtr buffer)
      : m_object(std::move(object)), m_buffer(std::move(buffer)) {}
  // A response goes to the requests waiting for it (and nowhere when none is); everything
  // else goes to the object's handler.
  void Process() override {
    const int32_t id = MessageHeader::PeekMessageId(m_buffer->Body());
    const uint32_t correlationId = MessageHeader::PeekResponseCorrelationId(m_buffer->Body());
    if (correlationId != 0)
      m_object->DeliverResponse(id, correlationId, m_buffer);
    else
      m_object->OnMessage(m_buffer);
    if (const auto socket = m_object->GetSocket()) socket->FrameHandled(*m_buffer);
  }

 private:
  ObjectPtr m_object;
  MessageBufferPtr m_buffer;
};

class CConnectedEvent : public CMsgQueueEventIntf {
 public:
  explicit CConnectedEvent(ObjectPtr object) : m_object(std::move(object)) {}
  void Process() override { m_object->OnConnected(); }

 private:
  ObjectPtr m_object;
};

class CConnectionClosedEvent : public CMsgQueueEventIntf {
 public:
  explicit CConnectionClosedEvent(ObjectPtr object) : m_object(std::move(object)) {}
  void Process() override {
    m_object->AbandonAll();
    m_object->OnDisconnected();
  }

 private:
  ObjectPtr m_object;
};

class CMonitorBlockingMessageEvent : public CMsgQueueEventIntf {
 public:
  CMonitorBlockingMessageEvent(ObjectPtr object, std::shared_ptr<CPendingResponse> pending, bool monitor)
      : m_object(std::move(object)), m_pending(std::move(pending)), m_monitor(monitor) {}
  void Process() override {
    if (m_monitor)
      m_object->Monitor(m_pending);
    else
      m_object->Clear(m_pending);
  }

 private:
  ObjectPtr m_object;
  std::shared_ptr<CPendingResponse> m_pending;
  bool m_monitor;
};

// What a flush waits for. The event wakes the caller; the lock is what hands it the effects
// of the events processed before (waking from a wait on an event orders no memory by
// itself): the queue thread marks the flush done under the lock, the caller takes the lock
// once woken.
struct CFlushState {
  std::mutex lock;
  bool done = false;
  CWaitEvent event;
};

class CFlushEvent : public CMsgQueueEventIntf {
 public:
  explicit CFlushEvent(std::shared_ptr<CFlushState> state) : m_state(std::move(state)) {}
  void Process() override {
    {
      std::lock_guard<std::mutex> guard(m_state->lock);
      m_state->done = true;
    }
    m_state->event.Set();
  }

 private:
  std::shared_ptr<CFlushState> m_state;
};

}  // namespace

CIncomingMessageQueue::~CIncomingMessageQueue() {
  Stop();
  WaitForEnd();
}

void CIncomingMessageQueue::Post(std::unique_ptr<CMsgQueueEventIntf> event) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_events.push_back(std::move(event));
  m_queued.Set();
}

void CIncomingMessageQueue::PostIncomingData(ObjectPtr object, MessageBufferPtr buffer) {
  Post(std::make_unique<CIncomingDataEvent>(std::move(object), std::move(buffer)));
}

void CIncomingMessageQueue::PostConnected(ObjectPtr object) {
  Post(std::make_unique<CConnectedEvent>(std::move(object)));
}

void CIncomingMessageQueue::PostConnectionClosed(ObjectPtr object) {
  Post(std::make_unique<CConnectionClosedEvent>(std::move(object)));
}

void CIncomingMessageQueue::PostMonitor(ObjectPtr object, std::shared_ptr<CPendingResponse> pending) {
  Post(std::make_unique<CMonitorBlockingMessageEvent>(std::move(object), std::move(pending), true));
}

void CIncomingMessageQueue::PostClear(ObjectPtr object, std::shared_ptr<CPendingResponse> pending) {
  Post(std::make_unique<CMonitorBlockingMessageEvent>(std::move(object), std::move(pending), false));
}

void CIncomingMessageQueue::Flush() {
  if (OnQueueThread() || !IsRunning()) return;
  auto state = std::make_shared<CFlushState>();
  Post(std::make_unique<CFlushEvent>(state));
  // The thread may be stopping: then the event is never processed, and nothing else is.
  const Platform::WaitHandle handles[2] = {Platform::WaitHandle::Of(state->event),
                                           Platform::WaitHandle::Of(FinishedEvent())};
  Platform::WaitForAny(handles, -1);
  std::lock_guard<std::mutex> guard(state->lock);
}

void CIncomingMessageQueue::Run() {
  m_threadId = std::this_thread::get_id();
  const Platform::WaitHandle handles[2] = {Platform::WaitHandle::Of(m_stopEvent), Platform::WaitHandle::Of(m_queued)};
  for (;;) {
    const int index = Platform::WaitForAny(handles, -1);
    m_wakeups.fetch_add(1);
    if (index != 1) break;
    std::deque<std::unique_ptr<CMsgQueueEventIntf>> events;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_queued.Reset();
      events.swap(m_events);
    }
    for (auto& event : events) {
      event->Process();
      event.reset();
    }
  }
  m_threadId = std::thread::id{};
}
