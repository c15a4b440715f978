// A receiver's connection to the software service: creating and connecting the client, its
// state changes and periodic tick, and letting go of it when the receiver closes.
#include <stdexcept>

#include "bridge/ReceiverSession.h"
#include "client/Format.h"
#include "client/Preferences.h"
#include "client/http/Client.h"
#include "client/http/Globals.h"
#include "log/Logger.h"

namespace {

Voxlet::ClientPtr MakeServiceClient() {
  if (!Voxlet::Globals::Exists()) return nullptr;
  try {
    return std::make_shared<Voxlet::Client>(true, nullptr, nullptr);
  } catch (const std::logic_error&) {
    return nullptr;  // the library went away in between
  }
}

}  // namespace

void CReceiverSession::ConnectToSoftwareService() {
  if (m_receiver.GoingAway()) return;
  Voxlet::ClientPtr client = m_env.makeClient ? m_env.makeClient() : MakeServiceClient();
  if (!client) return;
  const Voxlet::StringBuffer title = u"ZORIN Ovanta Hardware service (" + m_receiver.GetPortName() + u")";
  const Voxlet::StringBuffer uri = Voxlet::Preferences::SoftwareService::GetUri();
  // An unused client is destroyed here, outside the channel's lock.
  m_channel.Connect(
      client, title, uri, [this] { return m_receiver.GoingAway(); },
      [this](Voxlet::Client& c, int state) { OnClientStateChanged(c, state); },
      [this](Voxlet::Client& c) { OnClientTick(c); });
}

void CReceiverSession::OnClientStateChanged(Voxlet::Client& client, int state) {
  if (state == Voxlet::ClientStates::Connected) {
    m_channel.ServiceReached();
    OV_LOG(kLogDiagnostic, "Connected to software service; querying information from the receiver");
    SetCurrentClassId({});
    IssueReceiverCommands([](CReceiverProtocolHandler& handler) {
      handler.QueryProductCode();
      handler.QueryLoginRequirement();
      handler.QueryFirmwareInfo();
      handler.QueryMacAddress();
    });
    return;
  }
  if (state != Voxlet::ClientStates::Disconnected) return;
  m_channel.ServiceLost();
  m_lines.Notify();  // a goodbye waiting for the answers on their way waits no more
  OV_LOG(kLogDiagnostic, "Disconnected from session manager; exception - %s.",
         Voxlet::UTF16to8(Voxlet::SocketExceptions::ToString(client.LastSocketException())).c_str());
  m_answers.ForgetAnnouncedClickers();
  if (Network().NetworkStarted()) {
    // The pauses are kept by the send queue, not by this thread (one of the client library's,
    // which carry every receiver's traffic): whatever is queued later goes out after them.
    const auto pause = static_cast<uint32_t>(m_env.powerDownStepMs);
    IssueReceiverCommands([&](CReceiverProtocolHandler& handler) {
      Network().SetNetworkStarted(false);
      OV_LOG(kLogMilestone, "Client state is changed to disconnected.Power down all clickers.");
      handler.SendSessionEnd(0, SessionEndMode::kPowerDown, Delivery::kOnce);
      handler.QueuePause(pause);
      handler.SetNetworkState(NetworkState::kStop, Delivery::kOnce);
      handler.QueuePause(pause);
    });
  }
  client.SetReconnectWanted(true);
}

void CReceiverSession::OnClientTick(Voxlet::Client& client) {
  // Answers wait unkept while the software service is away too.
  m_answers.KeepUnkeptAnswers();
  if (client.State() == Voxlet::ClientStates::Disconnected) return;
  m_clickerEndpoints.CountDownCooldown();
  m_answers.CountDownWaits();
  // The scan and the timed work send receiver commands: under the command lock, like the
  // bridge's other commands.
  IssueReceiverCommands([this](CReceiverProtocolHandler&) {
    if (Network().BackgroundScanDue()) Network().RunBackgroundScan(0);
  });
  if (m_receiver.GetReceiverNumber() != 0 && !EndpointId().empty()) SendHello(Voxlet::Methods::Get);
  IssueReceiverCommands([this](CReceiverProtocolHandler&) { Network().RunTimedWork(); });
}

void CReceiverSession::ShutDownServiceConnection() {
  // The lifecycle first: the steps queued are dropped, then a class switch still waiting for
  // log-offs ends here.
  m_classLifecycle.Stop();
  SayGoodbye();
}

void CReceiverSession::ReleaseServiceConnection() {
  const std::shared_ptr<CallGate> gate = Gate();
  Voxlet::ClientPtr client = m_channel.Release();
  {
    std::lock_guard<std::mutex> guard(m_commandLock);
    m_closing = true;
  }
  if (client) {
    client->Disconnect();
    client.reset();  // the last reference: no signal of it fires after this
  }
  gate->CloseAndDrain();
  m_classLifecycle.JoinSimulatedAnswers();  // one a callback started before the gate shut
  m_channel.EndPollTrouble("the receiver closed");
  // Every answer the software service has not taken goes back to the spool for the next opening.
  m_lines.Clear();
  m_answers.LetGoUnsent();
  // The clickers the goodbye let go stayed on record while their last packets came in.
  m_clickerEndpoints.RemoveFarewellClickers();
}

void CReceiverSession::ReopenServiceConnection() {
  m_channel.Reopen();
  {
    std::lock_guard<std::mutex> guard(m_bridgeLock);
    m_bridgeCalls = std::make_shared<CallGate>();
  }
  m_lines.Clear();
  m_classLifecycle.Restart();
  std::lock_guard<std::mutex> guard(m_commandLock);
  m_closing = false;
}

Voxlet::ClientPtr CReceiverSession::ServiceClient() const { return m_channel.Client(); }

Voxlet::StringBuffer CReceiverSession::EndpointId() const { return m_channel.EndpointId(); }

Voxlet::StringBuffer CReceiverSession::ReceiverAddress() const { return m_channel.ReceiverAddress(); }

bool CReceiverSession::Subscribed() const { return m_channel.Subscribed(); }

Voxlet::StringBuffer CReceiverSession::CurrentClassId() const { return m_classLifecycle.CurrentClassId(); }

void CReceiverSession::SetCurrentClassId(const Voxlet::StringBuffer& classId) {
  m_classLifecycle.SetCurrentClassId(classId);
}

Voxlet::StringBuffer CReceiverSession::CurrentQuestionId() const { return m_classLifecycle.CurrentQuestionId(); }

void CReceiverSession::SetCurrentQuestionId(const Voxlet::StringBuffer& questionId) {
  m_classLifecycle.SetCurrentQuestionId(questionId);
}

bool CReceiverSession::ServiceConnected() const { return m_channel.Connected(); }
