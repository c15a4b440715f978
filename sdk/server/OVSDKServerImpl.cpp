#include "sdk/server/OVSDKServerImpl.h"

#include <algorithm>
#include <array>

#include "log/Logger.h"
#include "platform/SocketExceptions.h"
#include "sdk/ConnectedObject.h"
#include "sdk/LogText.h"
#include "sdk/server/SdkServerFactory.h"
#include "text/StringBuffer.h"

// One client's connection (its registration id is kept by the base): its number, and its side
// of the messaging layer.
class COVSDKServerImpl::CClient final : public CConnectedObjectBase {
 public:
  CClient(COVSDKServerImpl& server, int number) : m_server(server), m_number(number) {}
  int Number() const { return m_number; }

  void OnMessage(const MessageBufferPtr& buffer) override { m_server.Dispatch(*buffer, this); }
  void OnConnected() override { m_server.OnClientConnected(*this); }
  void OnDisconnected() override { m_server.OnClientGone(*this); }

 private:
  // The server outlives its clients' notifications: it stops only after they have run.
  COVSDKServerImpl& m_server;
  const int m_number;
};

const COVSDKServerImpl::Route COVSDKServerImpl::kRoutes[6] = {
    {SdkMessage::kPing, &COVSDKServerImpl::HandlePing},
    {SdkMessage::kSendCommand, &COVSDKServerImpl::HandleSendCommand},
    {SdkMessage::kGetLogFileName, &COVSDKServerImpl::HandleGetLogFileName},
    {SdkMessage::kSetLogFlags, &COVSDKServerImpl::HandleSetLogFlags},
    {SdkMessage::kGetLogFlags, &COVSDKServerImpl::HandleGetLogFlags},
    {SdkMessage::kResetLog, &COVSDKServerImpl::HandleResetLog},
};

COVSDKServerImpl::COVSDKServerImpl(ISDKServerEvents* events) : m_events(events) {}

COVSDKServerImpl::~COVSDKServerImpl() { Stop(); }

uint16_t COVSDKServerImpl::Start(const ListenOptions& options) {
  if (m_manager || m_stopped) throw CSocketLibException(EALREADY, "the SDK server was started before");
  // Set before listening: a client may be handed over as soon as the socket listens.
  m_manager = CConnectionManager::Acquire();
  try {
    m_listening = std::make_unique<CServerListeningThread>(
        kSdkServerIdentifier, options,
        [this](const CRegistrationMessage& registration, std::shared_ptr<CMessagingSocket> socket) {
          OnNewConnection(registration, std::move(socket));
        });
  } catch (...) {
    m_manager.reset();
    throw;
  }
  m_port = m_listening->Port();
  return m_port;
}

void COVSDKServerImpl::Stop() {
  if (!m_manager) return;
  // No client is handed over once the listening thread has ended; then the list is final.
  m_listening.reset();
  std::vector<std::shared_ptr<CClient>> clients;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopped = true;
    clients.swap(m_clients);
  }
  for (const auto& client : clients) client->Close();
  clients.clear();
  // Every notification and request of the closed clients has been handled after this.
  m_manager->Flush();
  m_manager.reset();
}

size_t COVSDKServerImpl::ClientCount() {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_clients.size();
}

void COVSDKServerImpl::OnNewConnection(const CRegistrationMessage& registration,
                                       std::shared_ptr<CMessagingSocket> socket) {
  std::shared_ptr<CClient> client;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_stopped) return;
    client = std::make_shared<CClient>(*this, m_nextClientNumber++);
    // Listed before it is attached, so that broadcasts reach it from its first message on.
    m_clients.push_back(client);
  }
  if (m_manager->Attach(client, std::move(socket), registration)) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    std::erase(m_clients, client);
  }
  OnClientRefused(client->Number());
}

void COVSDKServerImpl::OnClientGone(const CClient& client) {
  if (const auto socket = client.GetSocket()) {
    if (const std::string reason = socket->DropReason(); !reason.empty()) OnClientDropped(client.Number(), reason);
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    std::erase_if(m_clients, [&](const auto& listed) { return listed.get() == &client; });
  }
  OnClientDisconnected(client.Number());
}

void COVSDKServerImpl::Dispatch(const CMessageBuffer& frame, CClient* client) {
  // Indexed by message id: ids 0 to 18 can have a handler.
  static const auto kTable = [] {
    std::array<Handler, 19> table{};
    for (const Route& route : kRoutes) table.at(static_cast<size_t>(route.id)) = route.handler;
    return table;
  }();
  const int32_t id = MessageHeader::PeekMessageId(frame.Body());
  if (id < 0 || static_cast<size_t>(id) >= kTable.size() || !kTable[static_cast<size_t>(id)]) return;
  (this->*kTable[static_cast<size_t>(id)])(frame, client);
}

void COVSDKServerImpl::Reply(CClient* client, const MessageIntf& message) {
  if (client) client->Send(message);
}

void COVSDKServerImpl::Broadcast(const MessageIntf& message) {
  const MessageBufferPtr frame = message.Write();
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto& client : m_clients)
    if (auto socket = client->GetSocket()) socket->SendBuffer(frame);
}

void COVSDKServerImpl::SendReceiverStatus(const std::vector<ReceiverStatusW>& records) {
  Broadcast(CStatusMessage(records));
}

void COVSDKServerImpl::SendLogChanged() { Broadcast(CEmptyMessage(SdkMessage::kLogChanged)); }

// ---- the requests ----

void COVSDKServerImpl::HandlePing(const CMessageBuffer& frame, CClient* client) {
  CEmptyRequestMessage request(SdkMessage::kPing, SdkMessage::kPingAnswer);
  if (request.Read(frame)) Reply(client, CEmptyResponseMessage(SdkMessage::kPingAnswer, request.GetCorrelationId()));
}

void COVSDKServerImpl::HandleSendCommand(const CMessageBuffer& frame, CClient*) {
  CVariableDataAsyncMessage message(SdkMessage::kSendCommand);
  int32_t receiverNumber = 0;
  std::u16string text;
  if (message.Read(frame) &&
      message.Data().Extract({CVariableData::Out::I32(&receiverNumber), CVariableData::Out::WideString(&text)}))
    OnSendCommand(receiverNumber, text);
}

void COVSDKServerImpl::HandleGetLogFileName(const CMessageBuffer& frame, CClient* client) {
  CEmptyRequestMessage request(SdkMessage::kGetLogFileName, SdkMessage::kLogFileName);
  if (request.Read(frame))
    Reply(client, CStringResponseMessage(SdkMessage::kLogFileName, request.GetCorrelationId(), OnLogFileName()));
}

void COVSDKServerImpl::HandleSetLogFlags(const CMessageBuffer& frame, CClient*) {
  CVariableIntMessage message(SdkMessage::kSetLogFlags, 1);
  if (message.Read(frame)) OnSetLoggingFlag(message[0]);
}

void COVSDKServerImpl::HandleGetLogFlags(const CMessageBuffer& frame, CClient* client) {
  CEmptyRequestMessage request(SdkMessage::kGetLogFlags, SdkMessage::kLogFlags);
  if (!request.Read(frame)) return;
  CVariableDataResponseMessage answer(SdkMessage::kLogFlags, request.GetCorrelationId());
  answer.Data().AddI32(GetLoggingFlag());
  Reply(client, answer);
}

void COVSDKServerImpl::HandleResetLog(const CMessageBuffer& frame, CClient*) {
  if (CEmptyMessage(SdkMessage::kResetLog).Read(frame)) FlushLog();
}

// ---- the operations ----

void COVSDKServerImpl::OnClientConnected(CClient& client) {
  OV_LOG(kLogDiagnostic, "OnClientConnected: %d\n", client.Number());
  if (!m_events) return;
  const int count = std::max(m_events->GetReceiverCount(), 0);
  std::vector<ReceiverStatusW> records(static_cast<size_t>(count));
  if (count > 0)
    records.resize(static_cast<size_t>(std::clamp(m_events->GetReceiverStatus(count, records.data()), 0, count)));
  // To this client alone, with 0 records when there are none.
  client.Send(CStatusMessage(std::move(records)));
}

void COVSDKServerImpl::OnClientDisconnected(int /*clientNumber*/) { OV_LOG(kLogDiagnostic, "OnClientDisconnected\n"); }

void COVSDKServerImpl::OnSendCommand(int32_t receiverNumber, const std::u16string& text) {
  const std::string command = Voxlet::UTF16to8(text);
  // The text is the client's: escaped, so that it cannot break the line.
  OV_LOG(kLogDiagnostic, "OnSendCommand: %d - %s\n", receiverNumber, EscapeForLog(command).c_str());
  if (m_events) m_events->OnSendCommand(receiverNumber, command);
}

std::u16string COVSDKServerImpl::OnLogFileName() {
  OV_LOG(kLogDiagnostic, "OnLogFileName\n");
  if (!m_events) return {};
  std::string path;
  m_events->GetLogFileName(path);
  return Voxlet::UTF8to16(path);
}

void COVSDKServerImpl::OnSetLoggingFlag(int32_t flags) {
  OV_LOG(kLogDiagnostic, "OnSetLoggingFlag: %d\n", flags);
  if (m_events) m_events->SetLogFlags(static_cast<uint16_t>(flags));
}

int32_t COVSDKServerImpl::GetLoggingFlag() { return m_events ? m_events->GetLogFlags() : 0; }

void COVSDKServerImpl::FlushLog() {
  if (m_events) m_events->FlushLog();
}

void COVSDKServerImpl::OnClientDropped(int clientNumber, const std::string& reason) {
  OV_LOG(kLogMilestone | kLogDiagnostic, "SDK client %d dropped: %s\n", clientNumber, reason.c_str());
}

void COVSDKServerImpl::OnClientRefused(int clientNumber) {
  OV_LOG(kLogMilestone | kLogDiagnostic, "SDK client %d refused: no more connections can be served\n", clientNumber);
}

std::shared_ptr<ISDKServer> StartSdkServer(ISDKServerEvents* events) {
  auto server = std::make_shared<COVSDKServerImpl>(events);
  try {
    server->Start();
  } catch (const CExceptionBase& e) {
    e.Report();
    OV_LOG(kLogDiagnostic, "SDK server not started (error %d): %s", e.Code(), e.Message().c_str());
    return nullptr;
  }
  return server;
}
