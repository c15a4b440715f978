#include "devices/SdkBackEnd.h"

#include <algorithm>
#include <limits>

#include "log/Logger.h"

CSdkBackEnd::CSdkBackEnd(const CReceiverList& receivers, CReceiverServiceSettings* settings,
                         std::function<void()> onLogReset)
    : m_receivers(receivers), m_settings(settings), m_onLogReset(std::move(onLogReset)) {}

int CSdkBackEnd::Start(std::shared_ptr<ISDKServer> server) {
  const int port = server ? server->Port() : 0;
  std::lock_guard<std::mutex> guard(m_lock);
  m_server = std::move(server);
  return port;
}

void CSdkBackEnd::Stop() {
  std::shared_ptr<ISDKServer> server;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    server.swap(m_server);
  }
  // Outside the lock: stopping waits for the server's calls into the manager, which may be
  // waiting for the lock themselves.
  server.reset();
}

void CSdkBackEnd::BroadcastStatus() {
  const std::vector<ReceiverStatusW> records = m_receivers.Statuses(std::numeric_limits<size_t>::max());
  if (records.empty()) return;
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_server) m_server->SendReceiverStatus(records);
}

void CSdkBackEnd::SendLogChanged() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_server) m_server->SendLogChanged();
}

int CSdkBackEnd::GetReceiverCount() const { return static_cast<int>(m_receivers.Count()); }

int CSdkBackEnd::GetReceiverStatus(int count, ReceiverStatusW* records) const {
  if (count <= 0 || !records) return 0;
  const std::vector<ReceiverStatusW> statuses = m_receivers.Statuses(static_cast<size_t>(count));
  std::copy(statuses.begin(), statuses.end(), records);
  return static_cast<int>(statuses.size());
}

void CSdkBackEnd::OnSendCommand(int receiverNumber, const std::string& command) {
  OV_LOG(kLogDiagnostic, "CReceiverManager::OnSendCommand(receiver = %d).", receiverNumber);
  if (receiverNumber < 0) return;
  if (ManagedReceiverPtr receiver = m_receivers.FindByNumber(static_cast<uint32_t>(receiverNumber)))
    receiver->SendCommandText(command);
}

void CSdkBackEnd::GetLogFileName(std::string& path) const { path = m_settings ? m_settings->GetLogFileName() : ""; }

void CSdkBackEnd::SetLogFlags(uint16_t flags) {
  if (auto logger = g_pLogger.Acquire()) logger->SetMask(flags);
  if (m_settings) m_settings->SetLogFlags(flags);
}

uint16_t CSdkBackEnd::GetLogFlags() const { return m_settings ? m_settings->GetLogFlags() : 0; }

void CSdkBackEnd::FlushLog() {
  bool reset = false;
  if (auto logger = g_pLogger.Acquire()) reset = logger->ResetLog();
  if (reset && m_onLogReset) m_onLogReset();
}
