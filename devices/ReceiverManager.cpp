#include "devices/ReceiverManager.h"

#include "client/Preferences.h"
#include "devices/OsEventWatch.h"
#include "log/Logger.h"
#include "platform/Registry.h"

CReceiverManager::CReceiverManager(CReceiverServiceSettings* settings, ManagerEnvironment environment)
    : m_env(std::move(environment)),
      m_receivers(m_env.makeReceiver, this, [this] { m_sdk.BroadcastStatus(); }),
      m_sdk(m_receivers.List(), settings, [this] { OnLogChanged(); }),
      m_hotplug(m_receivers),
      m_link({
          .enumerateReceivers = [this] { m_work->Post(ReceiverWorkKind::kEnumerate); },
          .retryPendingDevices = [this] { m_work->Post(ReceiverWorkKind::kRetryPending); },
          .tick =
              [this] {
                m_work->Post(ReceiverWorkKind::kResetQueue);
                CheckEmailLogSetting();
                if (m_env.reportStatus) m_env.reportStatus(CurrentStatus());
              },
      }),
      m_work(std::make_unique<CReceiverWork>([this](const ReceiverWorkSet& work) { DoReceiverWork(work); })) {}

CReceiverManager::~CReceiverManager() {
  m_stopping = true;  // the work thread starts nothing new; it is joined after this body
  m_sdk.Stop();
  m_link.Detach();  // no client signal reaches this object from here on
  m_receivers.Shutdown();
}

void CReceiverManager::AttachClient(const Voxlet::ClientPtr& client) { m_link.Attach(client); }

Voxlet::ClientPtr CReceiverManager::Client() const { return m_link.Client(); }

void CReceiverManager::Run() {
  OV_LOG(kLogDiagnostic, "CReceiverManager::Run started");
  // A second service with the same settings would open the same receivers and take answers from
  // the radio that it cannot keep.
  if (const std::string held = m_env.claimState ? m_env.claimState() : std::string(); !held.empty()) {
    OV_LOG(kLogMilestone, "Another hardware service runs with these settings (%s): this one does not start.",
           held.c_str());
    return;
  }
  m_emailLog.ApplyAtStartup();

  m_link.Attach(m_env.makeClient());
  m_link.Connect(Voxlet::Preferences::SoftwareService::GetUri());

  // The device and power events of the machine.
  std::unique_ptr<COsEventWatch> osEvents;
  if (m_env.watchOsEvents)
    osEvents = std::make_unique<COsEventWatch>([this](const DeviceEvent& event) { OnDeviceEvent(event); },
                                               [this](PowerEvent event) { OnPowerEvent(event); });

  // The SDK server, then the receivers: its clients hear of each receiver as it opens.
  const int sdkPort = m_sdk.Start(m_env.makeSdkServer ? m_env.makeSdkServer(this) : nullptr);
  EnumerateReceivers();
  if (sdkPort != 0) OV_LOG(kLogDiagnostic, "SDK port number: %d", sdkPort & 0xFFFF);

  m_stopEvent.Wait(-1);

  osEvents.reset();
  OV_LOG(kLogDiagnostic, "CReceiverManager::Run complete");
  CloseAllReceivers();
  m_sdk.Stop();
  // No client signal reaches the manager once Run has returned: the logger and the manager
  // go away soon after.
  m_link.Detach();
}

// ---- receivers -------------------------------------------------------------------------

uint32_t CReceiverManager::ReceiverConnect(const Voxlet::StringBuffer& portName) {
  return m_receivers.Connect(portName);
}

void CReceiverManager::RemoveReceiver(const Voxlet::StringBuffer& portName) { m_receivers.Remove(portName); }

void CReceiverManager::CloseAllReceivers() { m_receivers.CloseAll(); }

void CReceiverManager::EnumerateReceivers() {
  m_receivers.Enumerate();
  // A device opened now is no longer waiting for its port: a retry must not reopen it after a
  // reset has closed it.
  m_hotplug.ForgetOpened();
}

std::vector<Voxlet::StringBuffer> CReceiverManager::ReceiverPorts() const { return m_receivers.List().Ports(); }

std::vector<Voxlet::StringBuffer> CReceiverManager::ResetQueue() const { return m_resetQueue.Ports(); }

void CReceiverManager::QueueReceiverReset(const Voxlet::StringBuffer& portName) { m_resetQueue.Push(portName); }

void CReceiverManager::ProcessResetQueue() {
  const AfterReset after = ReadRegistryDword(Platform::kLocalMachine, HardwareServiceKeyPath(), "ReconnectOnSoftReset",
                                             0, PreferenceStore()) != 0
                               ? AfterReset::kReconnect
                               : AfterReset::kStayClosed;
  m_receivers.ProcessResets(m_resetQueue, after, [&](const Voxlet::StringBuffer& endpointId) {
    m_link.SendReceiverRemoved(endpointId, after);
  });
}

// ---- devices ---------------------------------------------------------------------------

bool CReceiverManager::DeviceArrival(const DeviceEvent& device, ArrivalRetry retry) {
  return m_hotplug.Arrival(device, retry);
}

void CReceiverManager::DeviceRemoval(const DeviceEvent& device) { m_hotplug.Removal(device); }

void CReceiverManager::RetryPendingDevices() { m_hotplug.RetryPending(); }

size_t CReceiverManager::PendingCount() const { return m_hotplug.PendingCount(); }

// ---- software service ------------------------------------------------------------------

void CReceiverManager::OnClientStateChanged(Voxlet::Client& client, int state) {
  m_link.OnClientStateChanged(client, state);
}

void CReceiverManager::OnClientTick(Voxlet::Client& client) { m_link.OnClientTick(client); }

void CReceiverManager::DoReceiverWork(const ReceiverWorkSet& work) {
  if (m_stopping.load()) return;
  if (work.enumerate) EnumerateReceivers();
  if (work.retryPending) RetryPendingDevices();
  if (work.resetQueue) ProcessResetQueue();
}

void CReceiverManager::WaitForReceiverWork() { m_work->WaitIdle(); }

// ---- e-mail log and SDK server ---------------------------------------------------------

void CReceiverManager::CheckEmailLogSetting() { m_emailLog.CheckSetting(); }

ServiceStatus CReceiverManager::CurrentStatus() const {
  ServiceStatus status;
  for (const ManagedReceiverPtr& receiver : m_receivers.List().Receivers()) {
    if (receiver->State() != 0) continue;
    ++status.receiversOpen;
    status.clickersSignedIn += receiver->SignedInClickers();
  }
  status.softwareServiceConnected = m_link.Connected();
  if (m_env.reportSpool) m_env.reportSpool(status);
  return status;
}

void CReceiverManager::OnLogChanged() {
  m_sdk.SendLogChanged();
  m_emailLog.OnLogWritten();
}

int CReceiverManager::GetReceiverCount() { return m_sdk.GetReceiverCount(); }

int CReceiverManager::GetReceiverStatus(int count, ReceiverStatusW* records) {
  return m_sdk.GetReceiverStatus(count, records);
}

void CReceiverManager::OnSendCommand(int receiverNumber, const std::string& command) {
  m_sdk.OnSendCommand(receiverNumber, command);
}

void CReceiverManager::GetLogFileName(std::string& path) { m_sdk.GetLogFileName(path); }

void CReceiverManager::SetLogFlags(uint16_t flags) { m_sdk.SetLogFlags(flags); }

uint16_t CReceiverManager::GetLogFlags() { return m_sdk.GetLogFlags(); }

void CReceiverManager::FlushLog() { m_sdk.FlushLog(); }

void CReceiverManager::OnReceiverStatusChanged(uint32_t, uint32_t) { m_sdk.BroadcastStatus(); }
