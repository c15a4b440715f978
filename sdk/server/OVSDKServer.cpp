#include "sdk/server/OVSDKServer.h"

#include <algorithm>

const std::array<COVSDKServerObject::Handler, SdkMessage::kLastId + 1> COVSDKServerObject::kHandlers = [] {
  std::array<Handler, SdkMessage::kLastId + 1> handlers{};
  handlers[SdkMessage::kPing] = &COVSDKServerObject::OnPing;
  handlers[SdkMessage::kSendCommand] = &COVSDKServerObject::OnSendCommand;
  handlers[SdkMessage::kGetLogFileName] = &COVSDKServerObject::OnGetLogFileName;
  handlers[SdkMessage::kSetLogFlags] = &COVSDKServerObject::OnSetLogFlags;
  handlers[SdkMessage::kGetLogFlags] = &COVSDKServerObject::OnGetLogFlags;
  handlers[SdkMessage::kResetLog] = &COVSDKServerObject::OnResetLog;
  return handlers;
}();

void COVSDKServerObject::OnMessage(const MessageBufferPtr& buffer) {
  const int32_t id = MessageHeader::PeekMessageId(buffer->Body());
  if (id < 0 || id > SdkMessage::kLastId || !kHandlers[static_cast<size_t>(id)]) return;
  (this->*kHandlers[static_cast<size_t>(id)])(*buffer);
}

void COVSDKServerObject::OnConnected() { m_server.OnClientConnected(m_clientNumber, m_registrationId); }

void COVSDKServerObject::OnDisconnected() {
  if (const auto socket = GetSocket()) {
    if (const std::string reason = socket->DropReason(); !reason.empty())
      m_server.OnClientDropped(m_clientNumber, reason);
  }
  m_server.RemoveClient(*this);
  m_server.OnClientDisconnected(m_clientNumber);
}

void COVSDKServerObject::OnPing(const CMessageBuffer& buffer) {
  CEmptyRequestMessage request(SdkMessage::kPing, SdkMessage::kPingAnswer);
  if (!request.Read(buffer)) return;
  Send(CEmptyResponseMessage(SdkMessage::kPingAnswer, request.GetCorrelationId()));
}

void COVSDKServerObject::OnSendCommand(const CMessageBuffer& buffer) {
  CVariableDataAsyncMessage message(SdkMessage::kSendCommand);
  int32_t receiverNumber = 0;
  std::u16string text;
  if (!message.Read(buffer) ||
      !message.Data().Extract({CVariableData::Out::I32(&receiverNumber), CVariableData::Out::WideString(&text)}))
    return;
  m_server.OnSendCommand(receiverNumber, text);
}

void COVSDKServerObject::OnGetLogFileName(const CMessageBuffer& buffer) {
  CEmptyRequestMessage request(SdkMessage::kGetLogFileName, SdkMessage::kLogFileName);
  if (!request.Read(buffer)) return;
  Send(CStringResponseMessage(SdkMessage::kLogFileName, request.GetCorrelationId(), m_server.OnLogFileName()));
}

void COVSDKServerObject::OnSetLogFlags(const CMessageBuffer& buffer) {
  CVariableIntMessage message(SdkMessage::kSetLogFlags, 1);
  if (!message.Read(buffer)) return;
  m_server.OnSetLoggingFlag(message[0]);
}

void COVSDKServerObject::OnGetLogFlags(const CMessageBuffer& buffer) {
  CEmptyRequestMessage request(SdkMessage::kGetLogFlags, SdkMessage::kLogFlags);
  if (!request.Read(buffer)) return;
  CVariableDataResponseMessage answer(SdkMessage::kLogFlags, request.GetCorrelationId());
  answer.Data().AddI32(m_server.GetLoggingFlag());
  Send(answer);
}

void COVSDKServerObject::OnResetLog(const CMessageBuffer& buffer) {
  if (!CEmptyMessage(SdkMessage::kResetLog).Read(buffer)) return;
  m_server.FlushLog();
}

COVSDKServer::COVSDKServer() : CServerBase(kSdkServerIdentifier) {}

COVSDKServer::~COVSDKServer() { Stop(); }

uint16_t COVSDKServer::Start(bool publish, uint16_t port, const char* bindAddress, bool exactPort, bool noDelay) {
  // Set before listening: a connection may be handed over as soon as AddServer has bound.
  m_manager = CConnectionManager::Acquire();
  try {
    m_port = m_manager->AddServer(shared_from_this(), publish, port, bindAddress, exactPort, noDelay);
  } catch (...) {
    m_manager.reset();
    throw;
  }
  return m_port;
}

void COVSDKServer::Stop() {
  if (!m_manager) return;
  // No connection is handed over once this returns; then the list is final.
  m_manager->RemoveServer(*this);
  std::vector<std::shared_ptr<COVSDKServerObject>> objects;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopped = true;
    objects.swap(m_objects);
  }
  for (const auto& object : objects) object->Close();
  objects.clear();
  // Every notification and message of the closed clients has been handled after this.
  m_manager->Flush();
  m_manager.reset();
}

size_t COVSDKServer::ClientCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_objects.size();
}

void COVSDKServer::OnNewConnection(const CRegistrationMessage& registration, std::shared_ptr<CMessagingSocket> socket) {
  std::shared_ptr<COVSDKServerObject> object;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stopped) return;
    object = std::make_shared<COVSDKServerObject>(*this, m_nextClientNumber++, registration.RegistrationId());
    // Listed before it is attached, so that its connected notification finds it.
    m_objects.push_back(object);
  }
  if (m_manager->Attach(object, std::move(socket), registration)) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    std::erase(m_objects, object);
  }
  OnClientRefused(object->ClientNumber());
}

void COVSDKServer::RemoveClient(const COVSDKServerObject& object) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::erase_if(m_objects, [&](const auto& listed) { return listed.get() == &object; });
}

void COVSDKServer::SendToClients(const MessageIntf& message, int clientNumber) {
  const MessageBufferPtr frame = message.Write();
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto& object : m_objects) {
    if (clientNumber >= 0 && object->ClientNumber() != clientNumber) continue;
    if (auto socket = object->GetSocket()) socket->SendBuffer(frame);
  }
}

void COVSDKServer::SendStatusToClient(int clientNumber, const std::vector<ReceiverStatusW>& records) {
  if (clientNumber >= 0) SendToClients(CStatusMessage(records), clientNumber);
}

void COVSDKServer::SendStatusToAll(const std::vector<ReceiverStatusW>& records) {
  SendToClients(CStatusMessage(records), -1);
}

void COVSDKServer::SendLogChangedToAll() { SendToClients(CEmptyMessage(SdkMessage::kLogChanged), -1); }
