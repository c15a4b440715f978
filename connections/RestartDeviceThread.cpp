#include "connections/RestartDeviceThread.h"

bool CRestartDeviceThread::Restart(const std::string& instanceId) {
  Join();
  m_instanceId = instanceId;
  return Start();
}

unsigned CRestartDeviceThread::Run() {
  m_result = RestartDevice(m_instanceId);
  return m_result.load() ? 0 : 1;
}
