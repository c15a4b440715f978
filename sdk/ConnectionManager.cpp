#include "sdk/ConnectionManager.h"

namespace {
std::mutex g_managerLock;
CConnectionManager* g_manager = nullptr;
int g_managerUsers = 0;
}  // namespace

std::shared_ptr<CConnectionManager> CConnectionManager::Acquire() {
  std::lock_guard<std::mutex> guard(g_managerLock);
  if (!g_manager) g_manager = new CConnectionManager();
  ++g_managerUsers;
  return std::shared_ptr<CConnectionManager>(g_manager, [](CConnectionManager*) { Release(); });
}

void CConnectionManager::Release() {
  std::lock_guard<std::mutex> guard(g_managerLock);
  if (--g_managerUsers > 0) return;
  delete g_manager;
  g_manager = nullptr;
}

CConnectionManager::CConnectionManager() : m_io(m_incoming) {
  m_incoming.Start();
  m_io.Start();
}

CConnectionManager::~CConnectionManager() {
  // I/O first (no new events), then the queue.
  m_io.Stop();
  m_io.WaitForEnd();
  m_incoming.Stop();
  m_incoming.WaitForEnd();
}
