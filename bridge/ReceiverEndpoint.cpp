// The receiver's endpoint in the software service: the hello with the receiver's description,
// the replies to the hellos, the report of a network that came up, and the goodbye.
#include <future>

#include "bridge/HelloDocument.h"
#include "bridge/ReceiverSession.h"
#include "client/Strings.h"
#include "client/http/Client.h"
#include "log/Logger.h"

namespace {
// The order key of the polls: never an endpoint id, which the submissions use.
const Voxlet::StringBuffer kPollOrderKey = u"poll hello";

// What makes a complete reply that is not a failure unreadable, in words: replies alike in it
// are one trouble.
std::string OddReplyTrouble(const Voxlet::Message& reply) {
  return "status " + std::to_string(reply.StatusCode()) + ", content type \"" +
         Voxlet::UTF16to8(reply.ReplyHeaders().Get(Voxlet::Header::ContentType)) + "\"";
}
}  // namespace

void CReceiverSession::OnPropertyQueryMacAddr(uint32_t macHigh, uint32_t macLow) {
  CallGate::Pass pass = m_bridgeCalls->Enter();
  if (!pass) return;
  {
    const Voxlet::ClientPtr client = ServiceClient();
    if (!client || client->State() == Voxlet::ClientStates::Disconnected) return;
  }
  const Voxlet::StringBuffer address = Bridge::FormatMacAddress(macHigh, macLow);
  m_channel.SetReceiverAddress(address);
  OV_LOG(kLogDiagnostic, "OnPropertyQueryMacAddr addr=%s; saying hello to software service...",
         Voxlet::UTF16to8(address).c_str());
  SendHello(Voxlet::Methods::Post);
}

void CReceiverSession::SendHello(int method) {
  const bool poll = method == Voxlet::Methods::Get;
  // A slow software service gets a few polls at a time: the ticks that come while they are
  // outstanding do not pile up more behind them.
  if (poll && !m_channel.TakePollSlot()) return;
  Voxlet::MessagePtr message =
      NewServiceRequest(method, Bridge::kReceiverHelloPath, [this, poll](const Voxlet::MessagePtr& reply) {
        if (poll) m_channel.ReturnPollSlot();
        OnHelloResponse(reply);
      });
  // The polls go in order among themselves but beside the answers: a slow or stalled poll holds
  // up no submission (nor does one that breaks off fail any).
  if (poll) message->SetOrderKey(kPollOrderKey);
  if (method == Voxlet::Methods::Post) {
    Bridge::ReceiverDescription description;
    description.make = m_receiver.ReceiverType();
    description.address = ReceiverAddress();
    description.title = Network().FirmwareVersion();
    description.product = Network().ProductText();
    message->Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::ApplicationRdfXml;
    message->SetContent(Voxlet::Content(Bridge::BuildHelloDocument(description)));
  }
  if (!SendServiceRequest(message) && poll) m_channel.ReturnPollSlot();
}

void CReceiverSession::OnHelloResponse(const Voxlet::MessagePtr& message) {
  if (message->Failure()) {
    LogUnexpectedEvent(message);
    return;
  }
  if (!message->Success(Voxlet::Content::Types::TextXml)) {
    // A reply that is neither a failure nor an XML document (another content type, a
    // redirection, no content) is written out in full like a failure when such replies start;
    // the ones like it that follow (one a poll) are only counted until a reply can be read.
    if (message->State() == Voxlet::RequestStates::Complete && m_channel.StartPollTrouble(OddReplyTrouble(*message)))
      LogUnexpectedEvent(message);
    return;
  }
  if (m_receiver.GetReceiverNumber() == 0) return;

  bool report = false;
  if (message->StatusCode() == Voxlet::StatusCodes::Created) {
    const Voxlet::StringBuffer endpointId = EndpointId();
    OV_LOG(kLogDiagnostic, "Endpoint %s created; subscribing for notifications and querying the current state...",
           Voxlet::UTF16to8(endpointId).c_str());
    SendServiceRequest(
        Voxlet::Methods::Post,
        u"/voxlet/scripts/teachers/subscribe/ReceiverSubscribe.js?endpointXmlId=" + Voxlet::Url::Encode(endpointId),
        &CReceiverSession::LogIfFailed, false);
    // A software service that had forgotten the receiver has forgotten its clickers too.
    m_clickerEndpoints.AnnounceKnownClickers();
    report = m_channel.Subscribe(true);
  } else {
    report = m_channel.Subscribe(false);
  }
  if (report) {
    Network().SetUpNotificationPending(true);
    SendConnectionReport(Network().NetworkStarted());
    // The answers taken while the software service was away, now that it knows the receiver
    // (and its clickers) again.
    m_answers.DeliverHeldAnswers();
  }

  if (!m_channel.StatusQueryPending()) {
    QueueNotifications(message);
    return;
  }
  // No notification is read from a reply while the activated status is still to be asked for.
  if (Network().Scanning()) {
    if (m_channel.FirstDelay())
      OV_LOG(kLogDiagnostic, "Delaying getting the server activated status because we're still scanning");
    return;
  }
  OV_LOG(kLogDiagnostic, "Getting the server activated status...");
  m_channel.TakeStatusQuery();
  m_classLifecycle.SendActivatedStatusQuery();
}

void CReceiverSession::ReportNetworkUpIfPending() {
  CallGate::Pass pass = m_bridgeCalls->Enter();
  if (!pass) return;
  {
    const Voxlet::ClientPtr client = ServiceClient();
    if (!client || client->State() != Voxlet::ClientStates::Connected) return;
  }
  if (!Network().TakeUpNotificationPending()) return;
  SendConnectionReport(true);
}

void CReceiverSession::AskActivatedStatusAgain() {
  CallGate::Pass pass = m_bridgeCalls->Enter();
  if (!pass) return;
  m_channel.AskActivatedStatusAgain();
}

void CReceiverSession::SayGoodbye() {
  // Answers that come from now on are kept for the next opening.
  if (!m_channel.BeginFarewell()) return;
  // The software service forgets the receiver's clickers with it: the answers the radio
  // acknowledged before go first, while the software service is there to take them. What is
  // still on its way when the wait is over stays in the answer spool.
  if (ServiceConnected() &&
      !m_lines.WaitUntilEmpty(std::chrono::milliseconds(m_env.farewellWaitMs), m_channel.ServiceAway()))
    OV_LOG(kLogDiagnostic, "Saying goodbye with %u clicker request(s) still on their way",
           static_cast<unsigned>(m_lines.Pending()));
  SendServiceRequest(Voxlet::Methods::Post,
                     u"/voxlet/scripts/teachers/receiverRemoved.js?endpoint=" + Voxlet::Url::Encode(EndpointId()),
                     &CReceiverSession::LogIfFailed);
  const std::vector<uint16_t> addresses = ClassClickers().ShortAddresses();
  OV_LOG(kLogDiagnostic, "Saying goodbye by faking a goodbye for every connected clicker...");
  for (uint16_t address : addresses) m_receiver.OnDeviceDisassociated(address);

  // The goodbye is the last request: sent and the door shut in one step, so that nothing
  // (a poll hello would create the endpoint again) follows it.
  Voxlet::MessagePtr goodbye =
      NewServiceRequest(Voxlet::Methods::Post, u"/voxlet/builtins/anyone/goodbye", &CReceiverSession::LogIfFailed);
  auto completed = std::make_shared<std::promise<void>>();
  std::future<void> handled = completed->get_future();
  goodbye->Completed().connect([completed](const Voxlet::MessagePtr&) { completed->set_value(); });
  if (!m_channel.SendGoodbye(goodbye)) return;
  const auto start = std::chrono::steady_clock::now();
  goodbye->BlockUntil(Voxlet::RequestStates::Complete, m_env.goodbyeWaitMs / 1000.0);
  // Its completion (the failure log) runs just after the exchange ends: let it finish before
  // the client is let go, within the same limit.
  if (goodbye->Ended()) handled.wait_until(start + std::chrono::milliseconds(m_env.goodbyeWaitMs));
  m_channel.ForgetEndpoint();
}
