// The receiver's channel to the software service: the client, the endpoint's state and the
// requests.
#include "bridge/ServiceChannel.h"

#include "bridge/UnexpectedEvent.h"
#include "client/Strings.h"
#include "client/http/Client.h"
#include "log/Logger.h"

namespace {
constexpr int kMaxPollsOutstanding = 3;

void LogPollTroubleEnded(const std::string& trouble, uint64_t count, const char* how) {
  OV_LOG(kLogDiagnostic, "%llu replies to the receiver's hello in a row could not be read (%s); %s",
         static_cast<unsigned long long>(count), trouble.c_str(), how);
}
}  // namespace

CServiceChannel::CServiceChannel(std::function<std::shared_ptr<CallGate>()> gate) : m_gate(std::move(gate)) {}

bool CServiceChannel::Connect(const Voxlet::ClientPtr& client, const Voxlet::StringBuffer& title,
                              const Voxlet::StringBuffer& uri, const std::function<bool()>& goingAway,
                              StateHandler onState, TickHandler onTick) {
  const std::shared_ptr<CallGate> gate = m_gate();
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_leaving || goingAway()) return false;
  m_client = client;
  client->MonitorPerformance(title);
  m_stateConnection = client->StateChanged().connect([gate, onState = std::move(onState)](Voxlet::Client& c, int s) {
    if (CallGate::Pass pass = gate->Enter()) onState(c, s);
  });
  m_tickConnection = client->Tick().connect([gate, onTick = std::move(onTick)](Voxlet::Client& c) {
    if (CallGate::Pass pass = gate->Enter()) onTick(c);
  });
  OV_LOG(kLogDiagnostic, "Connecting to software service...");
  OV_LOG(kLogMilestone, "%s", Voxlet::UTF16to8(uri).c_str());
  client->Connect(uri);
  return true;
}

Voxlet::ClientPtr CServiceChannel::Release() {
  Voxlet::ClientPtr client;
  std::lock_guard<std::mutex> guard(m_lock);
  m_leaving = true;
  m_farewell = true;
  m_stateConnection.disconnect();
  m_tickConnection.disconnect();
  client.swap(m_client);
  return client;
}

void CServiceChannel::Reopen() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_leaving = false;
    m_subscribed = false;
    m_statusQueryPending = false;
    m_delayLogged = false;
    m_pollsOutstanding = 0;
    m_endpointId.clear();
    m_farewell = false;
  }
  m_serviceAway = false;
}

Voxlet::ClientPtr CServiceChannel::Client() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_client;
}

bool CServiceChannel::Connected() const {
  const Voxlet::ClientPtr client = Client();
  return client && client->State() == Voxlet::ClientStates::Connected;
}

void CServiceChannel::ServiceReached() { m_serviceAway = false; }

void CServiceChannel::ServiceLost() {
  m_serviceAway = true;
  std::lock_guard<std::mutex> guard(m_lock);
  m_subscribed = false;
  m_endpointId.clear();
  m_pollsOutstanding = 0;
}

void CServiceChannel::SetReceiverAddress(const Voxlet::StringBuffer& address) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_receiverAddress = address;
  m_endpointId = u"receiver." + address;
}

Voxlet::StringBuffer CServiceChannel::ReceiverAddress() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_receiverAddress;
}

Voxlet::StringBuffer CServiceChannel::EndpointId() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_endpointId;
}

bool CServiceChannel::Subscribed() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_subscribed;
}

bool CServiceChannel::Leaving() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_leaving;
}

bool CServiceChannel::Farewell() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_farewell;
}

Voxlet::MessagePtr CServiceChannel::NewRequest(int method, const Voxlet::StringBuffer& path, Completion completion,
                                               bool endpointHeader) {
  const std::shared_ptr<CallGate> gate = m_gate();
  const Voxlet::StringBuffer endpointId = EndpointId();
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

bool CServiceChannel::Send(const Voxlet::MessagePtr& message) {
  // Under the channel's lock, so that nothing can be sent after the goodbye.
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_leaving || !m_client) return false;
  return m_client->Send(message);
}

void CServiceChannel::LogIfFailed(const Voxlet::MessagePtr& message) {
  if (message->Failure()) LogUnexpectedEvent(message);
}

void CServiceChannel::LogUnexpectedEvent(const Voxlet::MessagePtr& message) {
  int clientState = Voxlet::ClientStates::Disconnected;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_client) clientState = m_client->State();
  }
  const std::string text = Bridge::UnexpectedEventText(*message, clientState);
  if (!text.empty()) OV_LOG(kLogDiagnostic, "%s", text.c_str());
}

bool CServiceChannel::TakePollSlot() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_pollsOutstanding >= kMaxPollsOutstanding) return false;
  ++m_pollsOutstanding;
  return true;
}

void CServiceChannel::ReturnPollSlot() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_pollsOutstanding > 0) --m_pollsOutstanding;
}

bool CServiceChannel::Subscribe(bool endpointCreated) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_subscribed && !endpointCreated) return false;
  m_subscribed = true;
  m_delayLogged = false;
  m_statusQueryPending = true;
  return true;
}

bool CServiceChannel::StatusQueryPending() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_statusQueryPending;
}

void CServiceChannel::AskActivatedStatusAgain() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_statusQueryPending = true;
  m_delayLogged = false;
}

void CServiceChannel::TakeStatusQuery() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_statusQueryPending = false;
}

bool CServiceChannel::FirstDelay() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_delayLogged) return false;
  m_delayLogged = true;
  return true;
}

bool CServiceChannel::StartPollTrouble(const std::string& trouble) {
  std::string ended;
  uint64_t endedCount = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pollTrouble == trouble) {
      ++m_pollTroubleCount;
      return false;
    }
    ended.swap(m_pollTrouble);
    endedCount = m_pollTroubleCount;
    m_pollTrouble = trouble;
    m_pollTroubleCount = 1;
  }
  if (!ended.empty()) LogPollTroubleEnded(ended, endedCount, "other replies followed");
  return true;
}

void CServiceChannel::EndPollTrouble(const char* how) {
  std::string ended;
  uint64_t endedCount = 0;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    ended.swap(m_pollTrouble);
    endedCount = m_pollTroubleCount;
    m_pollTroubleCount = 0;
  }
  if (!ended.empty()) LogPollTroubleEnded(ended, endedCount, how);
}

bool CServiceChannel::BeginFarewell() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_farewell = true;
  if (!m_endpointId.empty()) return true;
  m_leaving = true;  // no endpoint: a hello now would leave one behind
  return false;
}

bool CServiceChannel::SendGoodbye(const Voxlet::MessagePtr& goodbye) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_leaving = true;
  if (m_endpointId.empty() || !m_client) return false;
  m_client->Send(goodbye);
  return true;
}

void CServiceChannel::ForgetEndpoint() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_endpointId.clear();
}
