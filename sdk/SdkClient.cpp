#include "sdk/SdkClient.h"

#include "sdk/Discovery.h"

class CSdkClient::CObject : public CConnectedObjectBase {
 public:
  explicit CObject(Handlers handlers) : m_handlers(std::move(handlers)) {}

  void OnMessage(const MessageBufferPtr& buffer) override {
    switch (static_cast<SdkMessage>(MessageHeader::PeekMessageId(buffer->Body()))) {
      case SdkMessage::kStatus: {
        CStatusMessage status;
        if (status.Read(*buffer) && m_handlers.onStatus) m_handlers.onStatus(status.Records());
        break;
      }
      case SdkMessage::kLogChanged:
        if (CEmptyMessage(SdkMessage::kLogChanged).Read(*buffer) && m_handlers.onLogChanged) m_handlers.onLogChanged();
        break;
      default:
        break;
    }
  }
  void OnDisconnected() override {
    if (m_handlers.onDisconnected) m_handlers.onDisconnected();
  }

 private:
  Handlers m_handlers;
};

CSdkClient::CSdkClient(Handlers handlers)
    : m_object(std::make_shared<CObject>(std::move(handlers))),
      m_client(std::make_unique<CMessagingClient>(m_object)) {}

CSdkClient::~CSdkClient() = default;

std::optional<uint16_t> CSdkClient::Discover(int timeoutMs) {
  CDiscoveryClient discovery;
  return discovery.Find(kSdkServerIdentifier, timeoutMs);
}

bool CSdkClient::Connect(uint16_t port, int32_t registrationId, const std::string& host) {
  return m_client->Connect(host, port, kSdkServerIdentifier, registrationId);
}

void CSdkClient::Close() { m_client->Close(); }

bool CSdkClient::Send(const MessageIntf& message) { return m_object->Send(message); }

MessageBufferPtr CSdkClient::Request(CBlockingRequestMessageBase& request, int timeoutMs) {
  return m_object->SendBlockingRequest(request, timeoutMs);
}

bool CSdkClient::Ping(int timeoutMs) {
  CEmptyRequestMessage ping(SdkMessage::kPing, SdkMessage::kPingAnswer);
  MessageBufferPtr response = Request(ping, timeoutMs);
  return response && CEmptyResponseMessage(SdkMessage::kPingAnswer, 0).Read(*response);
}

std::optional<std::u16string> CSdkClient::GetLogFileName(int timeoutMs) {
  CEmptyRequestMessage request(SdkMessage::kGetLogFileName, SdkMessage::kLogFileName);
  MessageBufferPtr response = Request(request, timeoutMs);
  CStringResponseMessage answer(SdkMessage::kLogFileName, 0);
  if (!response || !answer.Read(*response)) return std::nullopt;
  return answer.Text();
}

std::optional<int32_t> CSdkClient::GetLogFlags(int timeoutMs) {
  CEmptyRequestMessage request(SdkMessage::kGetLogFlags, SdkMessage::kLogFlags);
  MessageBufferPtr response = Request(request, timeoutMs);
  CVariableDataResponseMessage answer(SdkMessage::kLogFlags, 0);
  int32_t flags = 0;
  if (!response || !answer.Read(*response) || !answer.Data().Extract({CVariableData::Out::I32(&flags)}))
    return std::nullopt;
  return flags;
}

bool CSdkClient::SendCommand(int32_t receiverNumber, std::u16string_view commandText) {
  CVariableDataAsyncMessage message(SdkMessage::kSendCommand);
  message.Data().AddI32(receiverNumber);
  message.Data().AddWideString(commandText);
  return Send(message);
}

bool CSdkClient::SetLogFlags(int32_t flags) {
  CVariableIntMessage message(SdkMessage::kSetLogFlags, 1);
  message[0] = flags;
  return Send(message);
}

bool CSdkClient::ResetLog() { return Send(CEmptyMessage(SdkMessage::kResetLog)); }
