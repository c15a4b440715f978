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
  // Listening first (no new connections), then I/O (no new events), then the queue.
  {
    std::lock_guard<std::mutex> guard(m_listeningLock);
    m_listening.reset();
  }
  m_io.Stop();
  m_io.WaitForEnd();
  m_incoming.Stop();
  m_incoming.WaitForEnd();
}

uint16_t CConnectionManager::AddServer(std::shared_ptr<CServerBase> server, bool publish, uint16_t port,
                                       const char* bindAddress, bool exactPort, bool noDelay) {
  std::lock_guard<std::mutex> guard(m_listeningLock);
  if (!m_listening) {
    m_listening = std::make_unique<CServerListeningThread>(*this);
    m_listening->Start();
  }
  return m_listening->AddServer(std::move(server), publish, port, bindAddress, exactPort, noDelay);
}

void CConnectionManager::RemoveServer(const CServerBase& server) {
  std::lock_guard<std::mutex> guard(m_listeningLock);
  if (m_listening) m_listening->RemoveServer(server);
}

CConnectionManager::Wakeups CConnectionManager::ThreadWakeups() {
  Wakeups wakeups;
  wakeups.io = m_io.Wakeups();
  wakeups.incoming = m_incoming.Wakeups();
  std::lock_guard<std::mutex> guard(m_listeningLock);
  if (m_listening) wakeups.listening = m_listening->Wakeups();
  return wakeups;
}

bool CConnectionManager::Attach(const std::shared_ptr<CConnectedObjectBase>& object,
                                std::shared_ptr<CMessagingSocket> socket, const CRegistrationMessage& registration) {
  return object->Attach(*this, std::move(socket), registration);
}
