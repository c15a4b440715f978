#include "sdk/ConnectedObject.h"

#include <algorithm>
#include <atomic>

#include "sdk/ConnectionManager.h"

uint32_t NextCorrelationId() {
  static std::atomic<uint32_t> next{1};
  uint32_t id;
  do id = next.fetch_add(1);
  while (id == 0);
  return id;
}

void CPendingResponse::Deliver(MessageBufferPtr buffer) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_response) m_response = std::move(buffer);
  }
  m_done.Set();
}

MessageBufferPtr CPendingResponse::Take() {
  std::lock_guard<std::mutex> guard(m_lock);
  return std::move(m_response);
}

bool CConnectedObjectBase::Attach(CConnectionManager& manager, std::shared_ptr<CMessagingSocket> socket,
                                  const CRegistrationMessage& registration) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_socket) return false;  // attached once only
    m_manager = &manager;
    m_socket = socket;
    m_registrationId = registration.RegistrationId();
  }
  socket->SetConnectedObject(shared_from_this());
  if (manager.IoThread().AddConnection(socket)) return true;
  std::lock_guard<std::mutex> guard(m_lock);
  m_socket.reset();
  m_manager = nullptr;
  return false;
}

std::shared_ptr<CMessagingSocket> CConnectedObjectBase::GetSocket() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_socket;
}

int32_t CConnectedObjectBase::GetRegistrationId() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_registrationId;
}

void CConnectedObjectBase::Close() {
  if (auto socket = GetSocket()) socket->Close();
}

bool CConnectedObjectBase::Send(const MessageIntf& message) {
  auto socket = GetSocket();
  return socket && socket->SendMessage(message);
}

MessageBufferPtr CConnectedObjectBase::SendBlockingRequest(CBlockingRequestMessageBase& request, int timeoutMs) {
  CConnectionManager* manager;
  std::shared_ptr<CMessagingSocket> socket;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    manager = m_manager;
    socket = m_socket;
  }
  // The response would be handed out by the thread that is waiting for it.
  if (!manager || !socket || socket->IsClosed() || manager->Incoming().OnQueueThread()) return nullptr;
  request.SetCorrelationId(NextCorrelationId());
  auto pending = std::make_shared<CPendingResponse>(request.GetCorrelationId(), request.GetResponseId());
  auto self = shared_from_this();
  // Monitored before it is sent, so the response cannot be handled before it is expected.
  manager->Incoming().PostMonitor(self, pending);
  if (socket->SendMessage(request)) pending->Wait(timeoutMs);
  MessageBufferPtr response = pending->Take();
  manager->Incoming().PostClear(self, pending);
  return response;
}

void CConnectedObjectBase::Monitor(std::shared_ptr<CPendingResponse> pending) {
  m_monitored.push_back(std::move(pending));
}

void CConnectedObjectBase::Clear(const std::shared_ptr<CPendingResponse>& pending) { std::erase(m_monitored, pending); }

bool CConnectedObjectBase::DeliverResponse(int32_t messageId, uint32_t correlationId, const MessageBufferPtr& buffer) {
  bool matched = false;
  for (const auto& pending : m_monitored) {
    if (pending->correlationId != correlationId || pending->responseId != messageId) continue;
    pending->Deliver(buffer);
    matched = true;
  }
  return matched;
}

void CConnectedObjectBase::AbandonAll() {
  for (const auto& pending : m_monitored) pending->Abandon();
}
