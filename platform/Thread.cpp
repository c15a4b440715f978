#include "platform/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include "platform/SocketExceptions.h"

CThread::~CThread() { Join(); }

bool CThread::Start() {
  if (m_thread.joinable()) return false;
  m_finished.Reset();
  try {
    m_thread = std::thread([this] {
      Run();
      m_finished.Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool CThread::Join(int timeoutMs) {
  if (!m_thread.joinable()) return true;
  if (timeoutMs >= 0 && !m_finished.Wait(timeoutMs)) return false;
  m_thread.join();
  return true;
}

CThreadBase::~CThreadBase() {
  Stop();
  WaitForEnd();
  if (m_thread.joinable()) m_thread.join();
}

void CThreadBase::Start() {
  if (m_running.load()) return;
  if (m_thread.joinable()) m_thread.join();
  m_stopEvent.Reset();
  m_finishedEvent.Reset();
  m_running = true;
  try {
    m_thread = std::thread([this] {
      {
        std::lock_guard<std::mutex> guard(m_tidLock);
        m_tid = static_cast<int>(gettid());
      }
      Run();
      {
        std::lock_guard<std::mutex> guard(m_tidLock);
        m_tid = 0;
      }
      m_running = false;
      m_finishedEvent.Set();
    });
  } catch (const std::system_error&) {
    m_running = false;
    throw CSocketLibException(0, "thread creation failed");
  }
}

void CThreadBase::Stop() {
  if (m_running.load()) m_stopEvent.Set();
}

void CThreadBase::WaitForEnd() {
  if (m_thread.joinable()) {
    m_finishedEvent.Wait(-1);
    m_thread.join();
  }
}

bool CThreadBase::SetPriority(int priority) {
  // Nice values are per thread on Linux.
  std::lock_guard<std::mutex> guard(m_tidLock);
  if (m_tid == 0) return false;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(m_tid), std::clamp(-priority, -20, 19)) == 0;
}
