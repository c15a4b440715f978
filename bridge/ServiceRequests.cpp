// Requests of a receiver to the software service, and the logging of those that went wrong.
#include "bridge/ReceiverSession.h"
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
  return m_channel.NewRequest(method, path, std::move(completion), endpointHeader);
}

bool CReceiverSession::SendServiceRequest(const Voxlet::MessagePtr& message) { return m_channel.Send(message); }

bool CReceiverSession::SendServiceRequest(int method, const Voxlet::StringBuffer& path, CompletionHandler completion,
                                          bool endpointHeader) {
  return SendServiceRequest(NewServiceRequest(method, path, completion, endpointHeader));
}

void CReceiverSession::SendConnectionReport(bool up) {
  SendServiceRequest(Voxlet::Methods::Get,
                     u"/voxlet/scripts/teachers/receiverConnected.js?up=" + Voxlet::FormatBoolean(up),
                     &CReceiverSession::LogIfFailed);
}

void CReceiverSession::LogIfFailed(const Voxlet::MessagePtr& message) { m_channel.LogIfFailed(message); }

void CReceiverSession::LogUnexpectedEvent(const Voxlet::MessagePtr& message) { m_channel.LogUnexpectedEvent(message); }
