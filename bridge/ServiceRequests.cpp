// Requests of a receiver to the software service, and the logging of those that went wrong.
#include "bridge/ReceiverSession.h"
#include "bridge/UnexpectedEvent.h"
#include "client/Strings.h"
#include "client/http/Client.h"
#include "log/Logger.h"

Voxlet::MessagePtr CReceiverSession::NewServiceRequest(int method, const Voxlet::StringBuffer& path,
                                                       CompletionHandler completion, bool endpointHeader) {
  return NewServiceRequest(
      method, path, [this, completion](const Voxlet::MessagePtr& reply) { (this->*completion)(reply); },
      endpointHeader);
}

Voxlet::MessagePtr CReceiverSession::NewServiceRequest(int method, const Voxlet::StringBuffer& path,
                                                       Completion completion, bool endpointHeader) {
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
  // The gate, not the session, is what the completion holds on to: once the session has shut
  // down the completion does nothing.
  message->Completed().connect([gate, completion = std::move(completion)](const Voxlet::MessagePtr& reply) {
    if (CallGate::Pass pass = gate->Enter()) completion(reply);
  });
  return message;
}

Voxlet::MessagePtr CReceiverSession::NewLifecycleRequest(int method, const Voxlet::StringBuffer& path,
                                                         Completion completion) {
  return NewServiceRequest(method, path, [this, completion = std::move(completion)](const Voxlet::MessagePtr& reply) {
    PostToLifecycle([completion, reply] { completion(reply); });
  });
}

bool CReceiverSession::SendServiceRequest(const Voxlet::MessagePtr& message) {
  // Under the bridge lock, so that nothing can be sent after the goodbye.
  std::lock_guard<std::mutex> guard(m_bridgeLock);
  if (m_leaving || !m_client) return false;
  return m_client->Send(message);
}

bool CReceiverSession::SendServiceRequest(int method, const Voxlet::StringBuffer& path, CompletionHandler completion,
                                          bool endpointHeader) {
  return SendServiceRequest(NewServiceRequest(method, path, completion, endpointHeader));
}

void CReceiverSession::SendConnectionReport(bool up) {
  SendServiceRequest(Voxlet::Methods::Get,
                     u"/voxlet/scripts/teachers/receiverConnected.js?up=" + Voxlet::FormatBoolean(up),
                     &CReceiverSession::LogIfFailed);
}

void CReceiverSession::SendActivatedStatusQuery() {
  SendServiceRequest(
      NewLifecycleRequest(Voxlet::Methods::Get, u"/voxlet/scripts/teachers/getServerActivatedStatus.js",
                          [this](const Voxlet::MessagePtr& reply) { OnActivatedStatusResponse(reply); }));
}

void CReceiverSession::LogIfFailed(const Voxlet::MessagePtr& message) {
  if (message->Failure()) LogUnexpectedEvent(message);
}

void CReceiverSession::LogUnexpectedEvent(const Voxlet::MessagePtr& message) {
  int clientState = Voxlet::ClientStates::Disconnected;
  {
    std::lock_guard<std::mutex> guard(m_bridgeLock);
    if (m_client) clientState = m_client->State();
  }
  const std::string text = Bridge::UnexpectedEventText(*message, clientState);
  if (!text.empty()) OV_LOG(kLogDiagnostic, "%s", text.c_str());
}
