#include "devices/ResetQueue.h"

#include <algorithm>

void CResetQueue::Push(const Voxlet::StringBuffer& portName) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_ports.push_back(portName);
}

std::vector<Voxlet::StringBuffer> CResetQueue::Ports() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_ports;
}

void CResetQueue::Remove(const Voxlet::StringBuffer& portName) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = std::find(m_ports.begin(), m_ports.end(), portName);
  if (it != m_ports.end()) m_ports.erase(it);
}
