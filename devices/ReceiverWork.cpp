#include "devices/ReceiverWork.h"

CReceiverWork::CReceiverWork(std::function<void(unsigned kinds)> perform)
    : m_perform(std::move(perform)), m_thread([this] { Run(); }) {}

CReceiverWork::~CReceiverWork() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stop = true;
  }
  m_changed.notify_all();
  m_thread.join();
}

void CReceiverWork::Post(unsigned kinds) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stop) return;
    m_queued |= kinds;
  }
  m_changed.notify_all();
}

void CReceiverWork::WaitIdle() {
  std::unique_lock<std::mutex> lock(m_lock);
  m_changed.wait(lock, [this] { return m_stop || (m_queued == 0 && !m_busy); });
}

void CReceiverWork::Run() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    m_changed.wait(lock, [this] { return m_stop || m_queued != 0; });
    if (m_stop) break;
    const unsigned kinds = m_queued;
    m_queued = 0;
    m_busy = true;
    lock.unlock();
    m_perform(kinds);
    lock.lock();
    m_busy = false;
    m_changed.notify_all();
  }
  m_queued = 0;
  m_changed.notify_all();
}
