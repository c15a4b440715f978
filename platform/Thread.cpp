#include "platform/Thread.h"

#include "platform/SocketExceptions.h"

namespace Platform {

bool ThreadRunner::Start(std::function<void()> body) {
  if (m_thread.joinable()) return false;
  m_finished.Reset();
  try {
    m_thread = std::thread([this, body = std::move(body)] {
      body();
      m_finished.Set();
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool ThreadRunner::Join(int timeoutMs) {
  if (!m_thread.joinable()) return true;
  if (!m_finished.Wait(timeoutMs)) return false;
  m_thread.join();
  return true;
}

}  // namespace Platform

CThread::~CThread() { Join(); }

bool CThread::Start() {
  return m_runner.Start([this] { Run(); });
}

bool CThread::Join(int timeoutMs) { return m_runner.Join(timeoutMs); }

CThreadBase::~CThreadBase() {
  Stop();
  WaitForEnd();
}

void CThreadBase::Start() {
  if (m_running.load()) return;
  m_runner.Join();
  m_stopEvent.Reset();
  m_running = true;
  const bool started = m_runner.Start([this] {
    Run();
    m_running = false;
  });
  if (!started) {
    m_running = false;
    throw CSocketLibException(0, "thread creation failed");
  }
}

void CThreadBase::Stop() {
  if (m_running.load()) m_stopEvent.Set();
}

void CThreadBase::WaitForEnd() { m_runner.Join(); }
