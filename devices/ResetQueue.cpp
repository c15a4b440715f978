#include "devices/ResetQueue.h"

#include <algorithm>

void CResetQueue::Push(const Voxlet::StringBuffer& portName) {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> guard(m_lock);
  m_requests.push_back({portName, now});
}

std::vector<CResetQueue::Request> CResetQueue::Requests() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_requests;
}

std::vector<Voxlet::StringBuffer> CResetQueue::Ports() const {
  std::vector<Voxlet::StringBuffer> ports;
  for (const Request& request : Requests()) ports.push_back(request.portName);
  return ports;
}

void CResetQueue::Remove(const Request& request) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = std::find(m_requests.begin(), m_requests.end(), request);
  if (it != m_requests.end()) m_requests.erase(it);
}
