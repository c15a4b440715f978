// Requests of a receiver to the software service, and the logging of those that went wrong.
#include "bridge/UnexpectedEvent.h"
#include "client/Strings.h"
#include "client/http/Client.h"
#include "protocol/Receiver.h"
#include "service/Logger.h"

Voxlet::MessagePtr CReceiver::NewServiceRequest(int method, const Voxlet::StringBuffer& path,
                                                CompletionHandler completion, bool endpointHeader) {
  std::shared_ptr<CallGate> gate;
  Voxlet::StringBuffer endpointId;
  {
    std::lock_guard<std::mutex> guard(m_bridgeLock);
    gate = m_bridgeCalls;
    endpointId = m_endpointId;
  }
  auto message = Voxlet::Message::Create();
  message->Open(method, path);
  if (endpointHeader) message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = endpointId;
  // The gate, not the receiver, is what the completion holds on to: once the receiver has shut
  // its bridge down the completion does nothing.
  message->Completed().connect([this, gate, completion](const Voxlet::MessagePtr& reply) {
    if (CallGate::Pass pass = gate->Enter()) (this->*completion)(reply);
  });
  return message;
}

bool CReceiver::SendServiceRequest(const Voxlet::MessagePtr& message) {
  // Under the bridge lock, so that nothing can be sent after the goodbye.
  std::lock_guard<std::mutex> guard(m_bridgeLock);
  if (m_leaving || !m_client) return false;
  return m_client->Send(message);
}

bool CReceiver::SendServiceRequest(int method, const Voxlet::StringBuffer& path, CompletionHandler completion,
                                   bool endpointHeader) {
  return SendServiceRequest(NewServiceRequest(method, path, completion, endpointHeader));
}

void CReceiver::SendConnectionReport(bool up) {
  SendServiceRequest(Voxlet::Methods::Get,
                     u"/voxlet/scripts/teachers/receiverConnected.js?up=" + Voxlet::FormatBoolean(up),
                     &CReceiver::LogIfFailed);
}

void CReceiver::SendActivatedStatusQuery() {
  SendServiceRequest(Voxlet::Methods::Get, u"/voxlet/scripts/teachers/getServerActivatedStatus.js",
                     &CReceiver::OnActivatedStatusResponse);
}

void CReceiver::LogIfFailed(const Voxlet::MessagePtr& message) {
  if (message->Failure()) LogUnexpectedEvent(message);
}

void CReceiver::LogUnexpectedEvent(const Voxlet::MessagePtr& message) {
  int clientState = Voxlet::ClientStates::Disconnected;
  {
    std::lock_guard<std::mutex> guard(m_bridgeLock);
    if (m_client) clientState = m_client->State();
  }
  const std::string text = Bridge::UnexpectedEventText(*message, clientState);
  if (!text.empty()) OV_LOG(kLogDiagnostic, "%s", text.c_str());
}
