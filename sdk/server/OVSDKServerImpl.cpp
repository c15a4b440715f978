#include "sdk/server/OVSDKServerImpl.h"

#include <algorithm>

#include "client/StringBuffer.h"
#include "sdk/LogText.h"
#include "log/Logger.h"

void COVSDKServerImpl::OnClientConnected(int clientNumber, int32_t /*registrationId*/) {
  OV_LOG(kLogDiagnostic, "OnClientConnected: %d\n", clientNumber);
  if (!m_events) return;
  const int count = std::max(m_events->GetReceiverCount(), 0);
  std::vector<ReceiverStatusW> records(static_cast<size_t>(count));
  if (count > 0)
    records.resize(static_cast<size_t>(std::clamp(m_events->GetReceiverStatus(count, records.data()), 0, count)));
  SendStatusToClient(clientNumber, records);
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
