#include "connections/Linux/ThreadedProlificPort.h"

CThreadedProlificPort::~CThreadedProlificPort() { ClosePort(); }

void CThreadedProlificPort::OnReadFailed() {
  if (++m_failedReads < kFailedReadsBeforeRestart) return;
  m_failedReads = 0;
  ++m_restarts;
  {
    std::lock_guard<std::mutex> guard(m_portLock);
    DoClose();
  }
  // The consumer learns that this link is gone; the restarted bridge comes back as a new tty.
  MarkLost();
  RestartDevice();
}

void CThreadedProlificPort::RestartDevice() { m_restartThread.Restart(m_instanceId); }
