#include "sdk/ServerListeningThread.h"

#include <algorithm>

#include "platform/SocketExceptions.h"
#include "sdk/ConnectionManager.h"

CServerListeningThread::CServerListeningThread(CConnectionManager& manager) : m_manager(manager) {}

CServerListeningThread::~CServerListeningThread() {
  Stop();
  WaitForEnd();
}

uint16_t CServerListeningThread::AddServer(std::shared_ptr<CServerBase> server, bool publish, uint16_t port,
                                           const char* bindAddress, bool exactPort, bool noDelay) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto& record : m_servers)
    if (record.server->Identifier() == server->Identifier())
      throw CSocketLibException(EEXIST, "a server with this identifier is registered already");
  if (m_servers.size() >= kMaxServers) throw CSocketLibException(ENOSPC, "too many servers");
  CServerRecord record;
  record.socket = std::make_unique<CServerSocket>(noDelay);
  record.socket->BindAndListen(port, bindAddress, exactPort);
  record.socket->CreateEvent();
  record.port = record.socket->GetBoundPort();
  record.bindAddress = bindAddress ? bindAddress : "";
  record.publish = publish;
  record.server = std::move(server);
  m_servers.push_back(std::move(record));
  m_serversDirty = true;
  m_serversChanged.Set();
  return m_servers.back().port;
}

void CServerListeningThread::RemoveServer(const CServerBase& server) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = std::find_if(m_servers.begin(), m_servers.end(),
                              [&](const CServerRecord& record) { return record.server.get() == &server; });
    if (found == m_servers.end()) return;
    m_retired.push_back(std::move(found->socket));
    m_servers.erase(found);
    m_serversDirty = true;
    m_serversChanged.Set();
  }
  // A connection being handed to the server right now is through when this lock is free.
  std::lock_guard<std::mutex> handover(m_handoverLock);
}

bool CServerListeningThread::IsRegistered(const CServerBase& server) {
  std::lock_guard<std::mutex> guard(m_lock);
  return std::any_of(m_servers.begin(), m_servers.end(), [&](const auto& r) { return r.server.get() == &server; });
}

uint16_t CServerListeningThread::PublishedPort(const ServerIdentifier& identifier) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto& record : m_servers)
    if (record.publish && record.server->Identifier() == identifier) return record.port;
  return 0;
}

void CServerListeningThread::UpdatePublisher() {
  auto published = std::find_if(m_servers.begin(), m_servers.end(), [](const auto& r) { return r.publish; });
  if (published == m_servers.end()) {
    m_publisher.reset();
    return;
  }
  if (!m_publisher) {
    try {
      m_publisher = std::make_unique<CServerPublisherSocket>(published->bindAddress.c_str());
    } catch (const CExceptionBase& e) {
      e.Report();  // the servers go on without discovery
      return;
    }
  }
  for (auto& record : m_servers) {
    if (!record.publish || record.announced) continue;
    m_publisher->Announce(record.server->Identifier(), record.port);
    record.announced = true;
  }
}

void CServerListeningThread::Run() {
  std::vector<Platform::WaitHandle> handles;
  std::vector<std::pair<std::shared_ptr<CServerBase>, CServerSocket*>> watched;
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_serversChanged.Reset();
      m_retired.clear();
      if (m_serversDirty) {
        m_serversDirty = false;
        UpdatePublisher();
      }
      watched.clear();
      for (const auto& record : m_servers) watched.emplace_back(record.server, record.socket.get());
    }
    handles.clear();
    handles.push_back(Platform::WaitHandle::Of(m_stopEvent));
    handles.push_back(Platform::WaitHandle::Of(m_serversChanged));
    for (const auto& entry : watched) handles.push_back(entry.second->Event()->Handle());
    // Only queries matter on the publisher: waiting for it to be writable would never end.
    if (m_publisher) handles.push_back(Platform::WaitHandle::Descriptor(m_publisher->Handle(), POLLIN));

    const int index = Platform::WaitForAny(handles, -1);
    m_wakeups.fetch_add(1);
    if (index == 0) break;
    if (index < 0) {
      DiagnosticLog(
          "CServerListeningThread::Run(): Timed out or an error occured in CThreadBase::WaitForEvents (error %d).  "
          "Stopping thread.",
          index);
      break;
    }
    if (index == 1) continue;
    const size_t server = static_cast<size_t>(index - 2);
    if (server == watched.size()) {
      m_publisher->AnswerQuery(*this);
      continue;
    }
    // A server removed meanwhile: its socket is closed on the next round.
    if (!IsRegistered(*watched[server].first)) continue;
    const int accepted = watched[server].second->Accept();
    if (accepted >= 0) OnNewConnection(watched[server].first, accepted);
  }
  watched.clear();
}

void CServerListeningThread::OnNewConnection(const std::shared_ptr<CServerBase>& server, int acceptedSocket) {
  std::shared_ptr<CMessagingSocket> socket;
  try {
    socket = std::make_shared<CMessagingSocket>(std::make_unique<CThreadedSocket>(acceptedSocket));
  } catch (const CExceptionBase& e) {
    e.Report();
    return;
  }
  const ServerIdentifier& identifier = server->Identifier();
  if (!socket->WriteFully(identifier.data(), identifier.size(), kHandshakeTimeoutMs, &m_stopEvent)) {
    DiagnosticLog("CServerListeningThread::OnNewConnection: Error writting handshake string.");
    return;
  }
  uint8_t frame[CMessageBuffer::kPrefixSize + MessageHeader::kAsyncSize + 4];
  if (!socket->ReadFully(frame, sizeof frame, kHandshakeTimeoutMs, &m_stopEvent)) {
    DiagnosticLog("CServerListeningThread::OnNewConnection: Error reading registration message.");
    return;
  }
  const std::span<const uint8_t> body = std::span<const uint8_t>(frame).subspan(CMessageBuffer::kPrefixSize);
  if (Wire::GetU32(frame) != body.size()) return;
  CRegistrationMessage registration;
  if (!registration.Read(*CMessageBuffer::FromBody(body))) return;
  std::lock_guard<std::mutex> handover(m_handoverLock);
  if (IsRegistered(*server)) server->OnNewConnection(registration, std::move(socket));
}
