#include "devices/ReceiverManager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "client/Format.h"
#include "client/Namespaces.h"
#include "client/Preferences.h"
#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "devices/ReceiverEnumerator.h"
#include "platform/Registry.h"
#include "sdk/LogText.h"
#include "log/Logger.h"
#include "service/ServiceHost.h"

namespace {

constexpr int kMailIntervalSeconds = 180;
constexpr uint16_t kMaskAll = kLogMilestone | kLogPacket | kLogDiagnostic;  // 0x15
constexpr uint16_t kMaskMilestones = kLogMilestone;
constexpr const char16_t* kServiceSubject = u"urn:com.vantrel.voxlet:hardwareservice";
constexpr const char16_t* kServiceEndpoint = u"hardwareservice";

Voxlet::StringBuffer PreferenceKey(const char16_t* key) {
  return Voxlet::StringBuffer(Voxlet::Preferences::Path) + u"\\" + key;
}

bool EmailLogSetting() {
  return Voxlet::Preferences::ReadIntegerValue(Voxlet::Preferences::File,
                                               PreferenceKey(Voxlet::Preferences::Install::Key), u"EmailLogOn", 0) == 1;
}

bool LogServicesMessages() {
  return Voxlet::Preferences::ReadIntegerValue(Voxlet::Preferences::File,
                                               PreferenceKey(Voxlet::Preferences::HardwareService::Key),
                                               u"LogServicesMessages", 0) == 1;
}

void SetMask(uint16_t mask) {
  if (auto logger = g_pLogger.Acquire()) logger->SetMask(mask);
}

// Where the e-mailed log goes: the install key's "EmailLogRecipient", else the local root.
LogMailSettings MailSettings() {
  LogMailSettings mail;
  mail.mailHost = "localhost";
  mail.recipient = Voxlet::UTF16to8(
      Voxlet::Preferences::ReadStringValue(Voxlet::Preferences::File, PreferenceKey(Voxlet::Preferences::Install::Key),
                                           u"EmailLogRecipient", u"root@localhost"));
  return mail;
}

std::string Utf8(const Voxlet::StringBuffer& text) { return Voxlet::UTF16to8(text); }

// The manager's own description, from a fixed template.
Voxlet::XmlDocumentPtr HelloDocument() {
  static const char16_t* kTemplate =
      u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      u"<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
      u"xmlns:dc=\"http://purl.org/dc/elements/1.1/\">"
      u"<rdf:Description rdf:about=\"urn:com.vantrel.voxlet:hardwareservice\">"
      u"<dc:title/><dc:description/></rdf:Description></rdf:RDF>";
  Voxlet::XmlDocumentPtr document = Voxlet::XmlSchema::Parse(kTemplate);
  if (!document) return nullptr;
  xercesc::DOMElement* root = document->Root();
  xercesc::DOMNode* description = root ? root->getFirstChild() : nullptr;
  Voxlet::XmlSchema::SetTextContent(Voxlet::XmlSchema::FindElement(description, u"dc:title"),
                                    Voxlet::UTF8to16(kServiceName));
  Voxlet::XmlSchema::SetTextContent(Voxlet::XmlSchema::FindElement(description, u"dc:description"),
                                    Voxlet::UTF8to16(kServiceDescription));
  return document;
}

}  // namespace

CReceiverManager::CReceiverManager(CReceiverServiceSettings* settings, ManagerEnvironment environment)
    : m_settings(settings),
      m_env(std::move(environment)),
      m_work(std::make_unique<CReceiverWork>([this](unsigned kinds) { DoReceiverWork(kinds); })) {}

CReceiverManager::~CReceiverManager() {
  m_stopping = true;  // the work thread starts nothing new; it is joined after this body
  StopSdkServer();
  Voxlet::ClientPtr client;
  {
    std::lock_guard<std::mutex> guard(m_clientLock);
    client.swap(m_client);
  }
  if (client) client->Disconnect();
  client.reset();  // no client signal reaches this object from here on
  CloseAllReceivers();
}

void CReceiverManager::AttachClient(const Voxlet::ClientPtr& client) {
  client->SetUserData(kHelloTicks);
  client->StateChanged().connect([this](Voxlet::Client& c, int state) { OnClientStateChanged(c, state); });
  client->Tick().connect([this](Voxlet::Client& c) { OnClientTick(c); });
  std::lock_guard<std::mutex> guard(m_clientLock);
  m_client = client;
}

Voxlet::ClientPtr CReceiverManager::Client() const {
  std::lock_guard<std::mutex> guard(m_clientLock);
  return m_client;
}

void CReceiverManager::Run() {
  OV_LOG(kLogDiagnostic, "CReceiverManager::Run started");
  if (EmailLogSetting()) {
    SetEmailLog(true, true);
  } else {
    SetMask(LogServicesMessages() ? kMaskMilestones : kMaskAll);
  }

  Voxlet::ClientPtr client = m_env.makeClient();
  AttachClient(client);
  const Voxlet::StringBuffer uri = Voxlet::Preferences::SoftwareService::GetUri();
  OV_LOG(kLogMilestone, "%s", Utf8(uri).c_str());
  {
    std::lock_guard<std::mutex> guard(m_reachLock);
    m_serviceUri = Utf8(uri);
    m_reach = ServiceReach::kUnknown;
  }
  client->Connect(uri);

  // The device and power events of the machine.
  std::unique_ptr<CUdevMonitor> devices;
  std::unique_ptr<CSleepMonitor> sleep;
  if (m_env.watchOsEvents) {
    devices = std::make_unique<CUdevMonitor>(
        [this](uint32_t type, const DeviceBroadcast& data) { OnDeviceEvent(type, &data); });
    sleep = std::make_unique<CSleepMonitor>([this](uint32_t type) { OnPowerEvent(type, nullptr); });
  }

  // The SDK server, then the receivers: its clients hear of each receiver as it opens.
  std::shared_ptr<ISDKServer> sdk = m_env.makeSdkServer ? m_env.makeSdkServer(this) : nullptr;
  const int sdkPort = sdk ? sdk->Port() : 0;
  {
    std::lock_guard<std::mutex> guard(m_sdkLock);
    m_sdkServer = std::move(sdk);
  }
  EnumerateReceivers();
  if (sdkPort != 0) OV_LOG(kLogDiagnostic, "SDK port number: %d", sdkPort & 0xFFFF);

  m_stopEvent.Wait(-1);

  devices.reset();
  sleep.reset();
  OV_LOG(kLogDiagnostic, "CReceiverManager::Run complete");
  CloseAllReceivers();
  StopSdkServer();
  // No client signal reaches the manager once Run has returned: the logger and the manager
  // go away soon after.
  {
    std::lock_guard<std::mutex> guard(m_clientLock);
    m_client.reset();
  }
  client->Disconnect();
  client.reset();
}

// ---- receivers -------------------------------------------------------------------------

ManagedReceiverPtr CReceiverManager::FindByPort(const Voxlet::StringBuffer& portName) {
  std::lock_guard<std::mutex> guard(m_listLock);
  for (const auto& r : m_receivers)
    if (r->PortName() == portName) return r;
  return nullptr;
}

uint32_t CReceiverManager::ReceiverConnect(const Voxlet::StringBuffer& portName) {
  std::lock_guard<std::recursive_mutex> connect(m_connectLock);
  if (FindByPort(portName)) {
    OV_LOG(kLogMilestone, "Receiver_Connect: Find receiver by port returning 0. Meaning it is already connected \n");
    return 0;
  }
  if (m_stopping.load()) return 1;  // the service is stopping: nothing new is opened
  ManagedReceiverPtr receiver = m_env.makeReceiver(this);
  // Published only once open: the SDK threads, the status broadcasts of other receivers and
  // the reset queue read its port, link and handler, which the open writes.
  const uint32_t result = receiver->Open(portName);
  if (result == 0) {
    std::lock_guard<std::mutex> guard(m_listLock);
    m_receivers.push_back(receiver);
  } else {
    receiver->Close();  // frees whatever the failed open left behind
    OV_LOG(kLogMilestone,
           "Receiver_Connect: Connect to receiver return none-zeron. Meaning it is failed with code %d \n", result);
    return result;
  }
  OV_LOG(kLogMilestone, "Receiver_Connect: Connect to receiver return 0. Meaning it is connected \n");
  BroadcastStatus();  // its status changes during the open went out before it was listed
  return 0;
}

void CReceiverManager::RemoveReceiver(const Voxlet::StringBuffer& portName) {
  std::lock_guard<std::recursive_mutex> connect(m_connectLock);
  ManagedReceiverPtr receiver = FindByPort(portName);
  if (!receiver) return;
  receiver->Close();
  std::lock_guard<std::mutex> guard(m_listLock);
  m_receivers.erase(std::remove(m_receivers.begin(), m_receivers.end(), receiver), m_receivers.end());
  std::erase_if(m_devicePorts, [&](const auto& entry) { return entry.second == portName; });
}

void CReceiverManager::CloseAllReceivers() {
  std::lock_guard<std::recursive_mutex> connect(m_connectLock);
  std::vector<ManagedReceiverPtr> receivers;
  {
    std::lock_guard<std::mutex> guard(m_listLock);
    receivers = m_receivers;
  }
  for (const auto& r : receivers) r->Close();
  std::lock_guard<std::mutex> guard(m_listLock);
  m_receivers.clear();
  m_devicePorts.clear();
}

void CReceiverManager::EnumerateReceivers() {
  std::lock_guard<std::recursive_mutex> connect(m_connectLock);
  CReceiverEnumerator enumerator;
  enumerator.Enumerate([this](const SBConnectionInfo& info) {
    OV_LOG(kLogDiagnostic, "Enumerated device path: %s", Utf8(info.portName).c_str());
    if (ReceiverConnect(info.portName) != 0) return false;
    RememberDevicePort(info.serialNumber, info.portName);
    return true;
  });
}

void CReceiverManager::RememberDevicePort(const Voxlet::StringBuffer& serial, const Voxlet::StringBuffer& port) {
  if (serial.empty()) return;  // a configured port, not a USB device
  std::lock_guard<std::mutex> guard(m_listLock);
  m_devicePorts[serial] = port;
}

std::vector<Voxlet::StringBuffer> CReceiverManager::ReceiverPorts() {
  std::lock_guard<std::mutex> guard(m_listLock);
  std::vector<Voxlet::StringBuffer> ports;
  for (const auto& r : m_receivers) ports.push_back(r->PortName());
  return ports;
}

std::vector<Voxlet::StringBuffer> CReceiverManager::ResetQueue() {
  std::lock_guard<std::mutex> guard(m_listLock);
  return m_resetQueue;
}

size_t CReceiverManager::PendingCount() {
  std::lock_guard<std::mutex> guard(m_pendingLock);
  return m_pending.size();
}

// ---- devices ---------------------------------------------------------------------------

void CReceiverManager::ParseDevicePath(const std::string& path, uint16_t& vendorId, uint16_t& productId,
                                       Voxlet::StringBuffer& serial) {
  vendorId = productId = 0;
  serial.clear();
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    const size_t hash = path.find('#', start);
    parts.push_back(path.substr(start, hash - start));
    if (hash == std::string::npos) break;
    start = hash + 1;
  }
  if (parts.size() < 3) return;
  const std::string& ids = parts[1];
  const size_t amp = ids.find('&');
  if (amp == std::string::npos) return;
  auto readId = [](const std::string& half, uint16_t& id) {
    if (half.size() < 4) return false;
    unsigned value = 0;
    if (sscanf(("0x" + half.substr(half.size() - 4)).c_str(), "0x%x", &value) != 1) return false;
    id = static_cast<uint16_t>(value);
    return true;
  };
  uint16_t vendor = 0, product = 0;
  if (!readId(ids.substr(0, amp), vendor) || !readId(ids.substr(amp + 1), product)) return;
  vendorId = vendor;
  productId = product;
  serial = Voxlet::UTF8to16(parts[2]);
}

bool CReceiverManager::DeviceArrival(const std::string& devicePath, bool retryAllowed) {
  uint16_t vendor, product;
  Voxlet::StringBuffer serial;
  ParseDevicePath(devicePath, vendor, product, serial);
  if (CReceiverEnumerator::IsRecognizedDevice(vendor, product) != 0) {
    OV_LOG(kLogDiagnostic, "Arrived device path, vid or pid not recognized: %s", devicePath.c_str());
    return false;
  }
  auto retryLater = [&] {
    if (!retryAllowed) return;
    OV_LOG(kLogDiagnostic, "Will check port %s again later", devicePath.c_str());
    std::lock_guard<std::mutex> guard(m_pendingLock);
    m_pending.push_back({0, devicePath});
  };
  Voxlet::StringBuffer port;
  if (CReceiverEnumerator::GetDeviceVirtualPort(vendor, product, serial, port) != 0) {
    OV_LOG(kLogDiagnostic, "Arrived device path, could not find port: %s", devicePath.c_str());
    retryLater();
    return false;
  }
  OV_LOG(kLogMilestone, "Arrived device port: %s", Utf8(port).c_str());
  if (ReceiverConnect(port) == 0) {
    RememberDevicePort(serial, port);
    return true;
  }
  retryLater();
  return false;
}

void CReceiverManager::DeviceRemoval(const std::string& devicePath) {
  uint16_t vendor, product;
  Voxlet::StringBuffer serial, port;
  ParseDevicePath(devicePath, vendor, product, serial);
  if (CReceiverEnumerator::IsRecognizedDevice(vendor, product) != 0) return;
  if (CReceiverEnumerator::GetDeviceVirtualPort(vendor, product, serial, port) != 0) {
    std::lock_guard<std::mutex> guard(m_listLock);
    auto it = m_devicePorts.find(serial);
    if (it == m_devicePorts.end()) return;
    port = it->second;
  }
  RemoveReceiver(port);
}

void CReceiverManager::RetryPendingDevices() {
  std::lock_guard<std::mutex> guard(m_pendingLock);
  std::vector<Pending> kept;
  for (Pending& entry : m_pending) {
    if (entry.attempts < static_cast<uint32_t>(kRetryLimit)) {
      if (DeviceArrival(entry.devicePath, false)) continue;
      ++entry.attempts;
      kept.push_back(entry);
    } else {
      OV_LOG(kLogDiagnostic, "Giving up trying to connect to %s ", entry.devicePath.c_str());
    }
  }
  m_pending.swap(kept);
}

// ---- software service ------------------------------------------------------------------

void CReceiverManager::SendRequest(int method, const Voxlet::StringBuffer& path) {
  Voxlet::ClientPtr client = Client();
  if (!client) return;
  auto message = Voxlet::Message::Create();
  message->Open(method, path);
  client->Send(message);
}

void CReceiverManager::SendHello(int method) {
  Voxlet::ClientPtr client = Client();
  if (!client) return;
  auto message = Voxlet::Message::Create();
  message->Open(method, u"/voxlet/builtins/anyone/hello?subject=" + Voxlet::Url::Encode(kServiceSubject));
  message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = kServiceEndpoint;
  if (method == Voxlet::Methods::Post) {
    message->Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::ApplicationRdfXml;
    message->SetContent(Voxlet::Content(HelloDocument()));
  }
  message->Completed().connect([this](const Voxlet::MessagePtr& reply) { OnHelloReply(reply); });
  client->Send(message);
}

void CReceiverManager::OnHelloReply(const Voxlet::MessagePtr& reply) {
  if (reply->Failure() || !reply->Success(Voxlet::Content::Types::TextXml)) return;
  if (reply->StatusCode() == Voxlet::StatusCodes::Created) {
    SendRequest(Voxlet::Methods::Post,
                u"/voxlet/scripts/teachers/subscribe/HarewareServiceSubscribe.js?endpointXmlId=" +
                    Voxlet::Url::Encode(kServiceEndpoint));
    SendRequest(Voxlet::Methods::Post, u"/voxlet/builtins/teachers/modeSwitching");
    return;
  }
  Voxlet::XmlDocumentPtr document = Voxlet::XmlSchema::ParseUtf8(reply->ReplyBody());
  if (!document) return;
  xercesc::DOMElement* list =
      Voxlet::XPathExpression(u"/voxlet:runtime/voxlet:notifications").EvaluateFirst(document->Root());
  if (!list) return;
  Voxlet::XmlElementList notifications = Voxlet::XmlSchema::GetAllChildElements(list);
  Voxlet::XmlSchema::SortElementsByAttributeValue(notifications, u"xml:id");
  const Voxlet::StringBuffer modeSwitching = Voxlet::VocabularyTerm(u"notifications/hardware/modeswitching");
  for (xercesc::DOMElement* notification : notifications)
    if (Voxlet::XmlSchema::GetAttribute(notification, u"voxlet:kind") == modeSwitching)
      m_work->Post(CReceiverWork::kEnumerate);
}

void CReceiverManager::ReportServiceReach(bool reachable, const std::string& reason) {
  std::lock_guard<std::mutex> guard(m_reachLock);
  const ServiceReach now = reachable ? ServiceReach::kConnected : ServiceReach::kUnreachable;
  if (now == m_reach) return;
  m_reach = now;
  if (reachable)
    OV_LOG(kLogMilestone, "Software service at %s connected", EscapeForLog(m_serviceUri).c_str());
  else
    OV_LOG(kLogMilestone, "Software service not reachable at %s: %s; retrying", EscapeForLog(m_serviceUri).c_str(),
           reason.c_str());
}

void CReceiverManager::OnClientStateChanged(Voxlet::Client& client, int state) {
  if (m_stopping.load()) return;
  if (state == Voxlet::ClientStates::Connected) {
    ReportServiceReach(true, {});
    m_work->Post(CReceiverWork::kEnumerate);
    SendHello(Voxlet::Methods::Post);
  } else if (state == Voxlet::ClientStates::Disconnected) {
    ReportServiceReach(false, "the connection was lost");
    client.SetReconnectWanted(true);
  }
}

void CReceiverManager::OnClientTick(Voxlet::Client& client) {
  if (m_stopping.load()) return;
  // A connection that cannot be made does not change the state: the client keeps connecting,
  // and its last socket error says why.
  if (client.State() == Voxlet::ClientStates::Connecting && client.LastSocketException() != 0)
    ReportServiceReach(false, Utf8(Voxlet::SocketExceptions::ToString(client.LastSocketException())));
  if (client.State() == Voxlet::ClientStates::Connected) {
    int countdown = kHelloTicks;
    try {
      countdown = boost::any_cast<int>(client.UserData());
    } catch (const boost::bad_any_cast&) {
    }
    if (countdown > 0) {
      if (--countdown == 0) {
        SendHello(Voxlet::Methods::Get);
        countdown = kHelloTicks;
      }
      client.SetUserData(countdown);
    }
    if (countdown % 3 == 1) m_work->Post(CReceiverWork::kRetryPending);
  }
  m_work->Post(CReceiverWork::kResetQueue);
  CheckEmailLogSetting();
}

void CReceiverManager::DoReceiverWork(unsigned kinds) {
  if (m_stopping.load()) return;
  if (kinds & CReceiverWork::kEnumerate) EnumerateReceivers();
  if (kinds & CReceiverWork::kRetryPending) RetryPendingDevices();
  if (kinds & CReceiverWork::kResetQueue) ProcessResetQueue();
}

void CReceiverManager::WaitForReceiverWork() { m_work->WaitIdle(); }

void CReceiverManager::ProcessResetQueue() {
  // One pass at a time with the opens and closes: a receiver still opening is listed (and so
  // found below) by the time the pass looks for it.
  std::lock_guard<std::recursive_mutex> connect(m_connectLock);
  const uint32_t reconnect = ReadRegistryDword(Platform::kLocalMachine, HardwareServiceKeyPath(),
                                               "ReconnectOnSoftReset", 0, PreferenceStore());
  for (const Voxlet::StringBuffer& port : ResetQueue()) {
    if (ManagedReceiverPtr receiver = FindByPort(port)) {
      const Voxlet::StringBuffer endpoint = receiver->EndpointId();
      SendRequest(Voxlet::Methods::Post,
                  u"/voxlet/scripts/teachers/receiverRemoved.js?failure=true&endpoint=" +
                      (endpoint.empty() ? Voxlet::StringBuffer() : Voxlet::Url::Encode(endpoint)) + u"&reconnect=" +
                      Voxlet::FormatBoolean(reconnect != 0));
      RemoveReceiver(port);  // the port stays queued: the next tick reconnects it
      continue;
    }
    if (reconnect != 0) ReceiverConnect(port);
    std::lock_guard<std::mutex> guard(m_listLock);
    auto it = std::find(m_resetQueue.begin(), m_resetQueue.end(), port);
    if (it != m_resetQueue.end()) m_resetQueue.erase(it);
  }
}

// ---- e-mail log ------------------------------------------------------------------------

void CReceiverManager::SetEmailLog(bool on, bool atStartup) {
  {
    std::lock_guard<std::mutex> guard(m_mailLock);
    m_emailLogOn = on;
    m_nextMailTime = on ? Utf8(Voxlet::CurrentTimestamp(kMailIntervalSeconds)) : std::string();
  }
  if (on) {
    OV_LOG(kLogMilestone, atStartup ? "Email log at startup is: ON+++" : "Turning email log ON+++");
    SetMask(kMaskAll);
  } else {
    OV_LOG(kLogMilestone, "Turning email log OFF---");
    SetMask(LogServicesMessages() ? kMaskAll : kMaskMilestones);
  }
}

void CReceiverManager::CheckEmailLogSetting() {
  const bool on = EmailLogSetting();
  bool current;
  {
    std::lock_guard<std::mutex> guard(m_mailLock);
    current = m_emailLogOn;
  }
  if (on != current) SetEmailLog(on, false);
}

void CReceiverManager::OnLogChanged() {
  {
    std::lock_guard<std::mutex> guard(m_sdkLock);
    if (m_sdkServer) m_sdkServer->SendLogChanged();
  }
  {
    std::lock_guard<std::mutex> guard(m_mailLock);
    if (!m_emailLogOn) return;
    const std::string now = Utf8(Voxlet::CurrentTimestamp(0));
    if (now < m_nextMailTime) return;
    m_nextMailTime = Utf8(Voxlet::CurrentTimestamp(kMailIntervalSeconds));
  }
  if (auto logger = g_pLogger.Acquire()) logger->EmailLog(MailSettings());
}

// ---- SDK server and receivers' events ---------------------------------------------------

int CReceiverManager::GetReceiverCount() {
  std::lock_guard<std::mutex> guard(m_listLock);
  return static_cast<int>(m_receivers.size());
}

int CReceiverManager::GetReceiverStatus(int count, ReceiverStatusW* records) {
  std::lock_guard<std::mutex> guard(m_listLock);
  int filled = 0;
  for (const auto& r : m_receivers) {
    if (filled >= count) break;
    ReceiverStatusW& record = records[filled++];
    record = ReceiverStatusW{};
    record.receiverNumber = r->Number();
    record.receiverState = r->State();
    const Voxlet::StringBuffer name = r->PortName();
    const size_t units = std::min<size_t>(name.size(), 31);
    std::copy_n(name.begin(), units, record.receiverName);
  }
  return filled;
}

void CReceiverManager::OnSendCommand(int receiverNumber, const std::string& command) {
  OV_LOG(kLogDiagnostic, "CReceiverManager::OnSendCommand(receiver = %d).", receiverNumber);
  ManagedReceiverPtr receiver;
  {
    std::lock_guard<std::mutex> guard(m_listLock);
    for (const auto& r : m_receivers)
      if (static_cast<int>(r->Number()) == receiverNumber) receiver = r;
  }
  if (receiver) receiver->SendCommandText(command);
}

void CReceiverManager::GetLogFileName(std::string& path) { path = m_settings ? m_settings->GetLogFileName() : ""; }

void CReceiverManager::SetLogFlags(uint16_t flags) {
  SetMask(flags);
  if (m_settings) m_settings->SetLogFlags(flags);
}

uint16_t CReceiverManager::GetLogFlags() { return m_settings ? m_settings->GetLogFlags() : 0; }

void CReceiverManager::FlushLog() {
  bool reset = false;
  if (auto logger = g_pLogger.Acquire()) reset = logger->ResetLog();
  if (reset) OnLogChanged();
}

void CReceiverManager::BroadcastStatus() {
  const int count = GetReceiverCount();
  if (count == 0) return;
  std::vector<ReceiverStatusW> records(static_cast<size_t>(count));
  records.resize(static_cast<size_t>(GetReceiverStatus(count, records.data())));
  if (records.empty()) return;
  std::lock_guard<std::mutex> guard(m_sdkLock);
  if (m_sdkServer) m_sdkServer->SendReceiverStatus(records);
}

void CReceiverManager::StopSdkServer() {
  std::shared_ptr<ISDKServer> sdk;
  {
    std::lock_guard<std::mutex> guard(m_sdkLock);
    sdk.swap(m_sdkServer);
  }
  // Outside the lock: stopping waits for the server's calls into the manager, which may be
  // waiting for the lock themselves.
  sdk.reset();
}

void CReceiverManager::OnReceiverStatusChanged(uint32_t, uint32_t) { BroadcastStatus(); }

void CReceiverManager::QueueReceiverReset(const Voxlet::StringBuffer& portName) {
  std::lock_guard<std::mutex> guard(m_listLock);
  m_resetQueue.push_back(portName);
}
