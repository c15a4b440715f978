#include "devices/ReceiverWork.h"

void ReceiverWorkSet::Add(ReceiverWorkKind kind) {
  switch (kind) {
    case ReceiverWorkKind::kEnumerate:
      enumerate = true;
      break;
    case ReceiverWorkKind::kRetryPending:
      retryPending = true;
      break;
    case ReceiverWorkKind::kResetQueue:
      resetQueue = true;
      break;
  }
}

CReceiverWork::CReceiverWork(std::function<void(const ReceiverWorkSet&)> perform)
    : m_perform(std::move(perform)), m_thread([this] { Run(); }) {}

CReceiverWork::~CReceiverWork() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void CReceiverWork::Post(ReceiverWorkKind kind) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stop) return;
    m_queued.Add(kind);
  }
  m_changed.notify_all();
}

void CReceiverWork::WaitIdle() {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait(lock, [this] { return m_stop || (m_queued.Empty() && !m_busy); });
}

void CReceiverWork::Run() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_changed.wait(lock, [this] { return m_stop || !m_queued.Empty(); });
    if (m_stop) break;
    const ReceiverWorkSet work = m_queued;
    m_queued = {};
    m_busy = true;
    lock.unlock();
    m_perform(work);
    lock.lock();
    m_busy = false;
    m_changed.notify_all();
  }
  m_queued = {};
  m_changed.notify_all();
}
