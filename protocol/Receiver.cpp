#include "protocol/Receiver.h"

#include <algorithm>
#include <random>

#include "client/Format.h"
#include "client/HardwareServicePreferences.h"
#include "log/Logger.h"
#include "platform/Tick.h"
#include "protocol/CommandText.h"
#include "protocol/ReceiverPreferences.h"

namespace {

// Receivers are numbered 1, 2, ... in order of connection; the numbering starts again once
// every receiver has disconnected.
std::mutex g_numberLock;
uint32_t g_connectedCount = 0;
uint32_t g_numberSequence = 0;

const char* StatusText(uint32_t status) {
  switch (status) {
    case 1:
      return "analyzing data";
    case 2:
      return "device not present";
    case 3:
      return "device in use";
    default:
      return "unknown";
  }
}

}  // namespace

uint32_t ConnectedReceiverCount() {
  std::lock_guard<std::mutex> guard(g_numberLock);
  return g_connectedCount;
}

namespace {

ReceiverEnvironment WithDefaults(ReceiverEnvironment env) {
  if (!env.makeLink) env.makeLink = [](const SBConnectionInfo& info) { return std::make_unique<CSBConnection>(info); };
  if (!env.timestamp) env.timestamp = [](int64_t seconds) { return Voxlet::CurrentTimestamp(seconds); };
  if (!env.random) {
    auto engine = std::make_shared<std::mt19937>(std::random_device{}());
    auto lock = std::make_shared<std::mutex>();
    env.random = [engine, lock] {
      std::lock_guard<std::mutex> guard(*lock);
      return static_cast<uint32_t>((*engine)());
    };
  }
  if (!env.clock) env.clock = &Platform::TickMs;
  return env;
}

}  // namespace

// The environment is complete before the network object, which reads it, is built.
CReceiver::CReceiver(IReceiverEvents* events, ReceiverEnvironment environment)
    : m_events(events), m_env(WithDefaults(std::move(environment))) {}

CReceiver::~CReceiver() { Close(); }

uint32_t CReceiver::Open(const Voxlet::StringBuffer& portName) {
  SBConnectionInfo info;
  info.connectionKind = kConnectionCom;
  info.portName = portName;
  info.portName2 = portName;
  return Open(info);
}

uint32_t CReceiver::Open(const SBConnectionInfo& info) {
  if (m_session) m_session->ReopenServiceConnection();
  m_portName = info.portName;
  if (!m_counted) {
    std::lock_guard<std::mutex> guard(g_numberLock);
    ++g_connectedCount;
    m_receiverNumber = ++g_numberSequence;
    m_counted = true;
  }
  // On Linux the port name is already the device path.
  m_link = m_env.makeLink(info);
  const uint32_t status = m_link->Open();
  if (status != 0 && status != 2 && status != 3)
    OV_LOG(kLogDiagnostic, "%s - Error opening connection: %u", NameUtf8().c_str(), status);
  ReportStatus(status);
  if (status != 0) return status;

  const int64_t baud = ReceiverPreferences::ReadRegistryInteger(Voxlet::Preferences::HardwareService::BaudRate,
                                                                Voxlet::Preferences::HardwareService::DefaultBaudRate);
  m_link->SetCommParams(static_cast<uint32_t>(baud), 8, 0, 0);
  OV_LOG(kLogDiagnostic, "%s - Baud rate: %d", NameUtf8().c_str(), static_cast<int>(baud));
  m_handler = std::make_unique<CReceiverProtocolHandler>(this, m_env.clock);
  m_handler->Start();
  m_stopEvent.Reset();
  m_goingAway = false;
  Start();
  return status;
}

void CReceiver::Close() {
  // The goodbye to the software service first, while the receiver still runs.
  if (m_session) m_session->ShutDownServiceConnection();
  m_stopEvent.Set();
  Join();  // the I/O loop ends its start-up worker itself
  // The radio acknowledged every packet the dispatcher still holds: it hands them all over
  // before it ends, and only then does the session let go (no bridge callback runs afterwards).
  if (m_handler) m_handler->Stop();
  if (m_session) m_session->ReleaseServiceConnection();
  if (m_link) {
    // The network stop queued by the I/O loop's end goes out before the link closes.
    m_link->WaitForSendsDone();
    m_link->Close();
  }
  if (m_counted) {
    std::lock_guard<std::mutex> guard(g_numberLock);
    if (g_connectedCount > 0 && --g_connectedCount == 0) g_numberSequence = 0;
    m_counted = false;
  }
}

void CReceiver::ReportStatus(uint32_t status) {
  m_state = status;
  OV_LOG(kLogDiagnostic, "%s - status change: %s", NameUtf8().c_str(), StatusText(status));
  if (m_events) m_events->OnReceiverStatusChanged(m_receiverNumber.load(), status);
}

void CReceiver::QueueReset() {
  if (m_events) m_events->QueueReceiverReset(m_portName);
}

unsigned CReceiver::Run() {
  m_startupWorker = std::thread([this] { StartupWorker(); });
  for (;;) {
    Platform::WaitHandle handles[3];
    size_t count = 0;
    handles[count++] = Platform::WaitHandle::Of(m_stopEvent);
    const size_t sendIndex = count;
    if (m_handler) handles[count++] = Platform::WaitHandle::Of(m_handler->SendEvent());
    const size_t readIndex = count;
    CWaitEvent* received = m_link ? m_link->GetReceiveEvent() : nullptr;
    if (received) handles[count++] = Platform::WaitHandle::Of(*received);
    const uint32_t delay = m_handler ? m_handler->GetNextSendDelay() : CReceiverProtocolHandler::kWaitForever;
    const int timeout = delay == CReceiverProtocolHandler::kWaitForever ? -1 : static_cast<int>(delay);
    const int index = Platform::WaitForAny({handles, count}, timeout);
    if (index == 0) break;
    if (received && index == static_cast<int>(readIndex)) {
      ReadLink();
      if (m_goingAway.load()) break;
      if (m_link->IsDeviceLost()) {
        OV_LOG(kLogMilestone, "%s - The receiver's link was lost; the receiver was unplugged or went away.",
               NameUtf8().c_str());
        m_goingAway = true;
        ReportStatus(2);
        QueueReset();
        break;
      }
    } else if ((m_handler && index == static_cast<int>(sendIndex)) || index == Platform::kWaitTimeout) {
      if (!m_handler) break;
      m_handler->SendNextPacket();
    } else {
      break;
    }
  }
  m_goingAway = true;
  m_stopEvent.Set();  // ends the start-up worker's pause
  if (m_startupWorker.joinable()) m_startupWorker.join();
  if (m_handler && !(m_link && m_link->IsDeviceLost())) {
    // What is still queued no longer matters, and the network stop must not wait behind a
    // packet that waits for its answer: it is the one packet sent on the way out, and the last
    // (the dispatcher still runs and may queue replies meanwhile).
    m_handler->SendClosingNetworkStop();
  }
  return 0;
}

void CReceiver::ReadLink() {
  while (std::unique_ptr<CSBIOPacket> packet = m_link->GetReceivedPacket()) {
    if (m_handler) m_handler->AddReceivedBytes(packet->Payload(), packet->PayloadLength());
    if (m_stopEvent.IsSet() && !m_goingAway.load()) {
      OV_LOG(kLogDiagnostic, "HW service is going away; stopping the network");
      m_goingAway = true;
    }
  }
}

bool CReceiver::StartupPause() { return !m_stopEvent.Wait(m_env.startupStepMs) && !m_goingAway.load(); }

void CReceiver::StartupWorker() {
  if (!StartupPause()) return;
  OV_LOG(kLogMilestone, "Starting up. Power off all connected clickers");
  m_handler->SendSessionEnd(0, SessionEndMode::kPowerDown, Delivery::kOnce);
  if (!StartupPause()) return;
  m_handler->SetNetworkState(NetworkState::kStop, Delivery::kOnce);
  if (!StartupPause()) return;
  const int last = LastChannelPreference();
  int current = last;
  if (last < 11 || last > 26) current = 11 + static_cast<int>(m_env.random() & 15);
  m_network.SetStartChannels(last, current);
  OV_LOG(kLogDiagnostic,
         "We are just starting up so performing full scan of all channels, globbing to channel %d for now", current);
  m_network.RunBackgroundScan(0xFFFF);
  if (m_goingAway.load()) return;
  if (m_session) m_session->ConnectToSoftwareService();
}

int CReceiver::LastChannelPreference() {
  return static_cast<int>(ReceiverPreferences::ReadFileInteger(ReceiverPreferences::LastChannelName(m_portName), -1));
}

void CReceiver::SendBytes(const uint8_t* bytes, uint32_t length) {
  if (!m_link) return;
  m_link->Send(std::make_unique<CSBIOPacket>(bytes, length, false));
}

void CReceiver::LogReceived(const uint8_t* bytes, uint32_t length) {
  if (LogWanted(kLogRawData)) OV_LOG(kLogRawData, "received: %s", ReceiverFrame::HexDump(bytes, length).c_str());
}

void CReceiver::GetName(Voxlet::StringBuffer& name) { name = m_portName; }

void CReceiver::SendCommandText(const std::string& text, Delivery delivery) {
  if (!m_handler) return;
  // One byte per field: a text of more fields than a packet holds is refused unread.
  const size_t fields = static_cast<size_t>(std::count(text.begin(), text.end(), ',')) + 1;
  if (fields > ReceiverFrame::kMaxPacket) {
    OV_LOG(kLogDiagnostic, "%s - Command text refused: %u bytes, a receiver takes at most %u.", NameUtf8().c_str(),
           static_cast<unsigned>(fields), static_cast<unsigned>(ReceiverFrame::kMaxPacket));
    return;
  }
  const std::vector<uint8_t> bytes = ParseCommandText(text);
  m_handler->QueuePacket(static_cast<int32_t>(bytes.size()), bytes.data(), delivery);
}

void CReceiver::ReportNetworkUp() {
  if (m_session) m_session->ReportNetworkUpIfPending();
}

void CReceiver::AskActivatedStatusAgain() {
  if (m_session) m_session->AskActivatedStatusAgain();
}
