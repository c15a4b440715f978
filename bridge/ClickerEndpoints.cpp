// The clickers as endpoints of the software service: announced on their first status report,
// identified (whois) and signed in when they join, their batteries, raised hands, log-offs and
// departures relayed, and the software side's disconnect and raised-hand cancellation.
#include "bridge/ClickerEndpoints.h"

#include <algorithm>

#include "bridge/ClickerDocuments.h"
#include "bridge/HelloDocument.h"
#include "bridge/RelayReasons.h"
#include "bridge/RelayText.h"
#include "client/Format.h"
#include "client/Strings.h"
#include "client/XmlSchema.h"
#include "client/http/Client.h"
#include "client/http/Message.h"
#include "log/Logger.h"
#include "protocol/ReceiverProtocolHandler.h"

using namespace Bridge::Reasons;
using Bridge::kStudentHeader;
using Bridge::Utf8;

namespace {

const Voxlet::StringBuffer kMacHeader = u"X-Vantrel-Voxlet-MacAddress";
constexpr int kSoftwareActionCooldownTicks = 4;

}  // namespace

CClickerEndpoints::CClickerEndpoints(IClickerEndpointsHost& host, ClickerLines& lines) : m_host(host), m_lines(lines) {}

Voxlet::MessagePtr CClickerEndpoints::NewClickerRequest(int method, const Voxlet::StringBuffer& path,
                                                        Handler completion) {
  return m_host.NewServiceRequest(
      method, path, [this, completion](const Voxlet::MessagePtr& reply) { (this->*completion)(reply); }, false);
}

void CClickerEndpoints::SendClickerMessage(const Voxlet::MessagePtr& message) {
  const Voxlet::StringBuffer endpointId = message->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint);
  if (endpointId.empty()) {
    m_host.SendServiceRequest(message);
    return;
  }
  const std::shared_ptr<CallGate> gate = m_host.Gate();
  // The line moves on once the exchange has ended and its completion has run (connected before
  // this one, so it runs first): what that completion sends for the clicker comes next.
  m_lines.Add(endpointId, true, [this, gate, message](ClickerLines::Ticket turn) {
    CallGate::Pass pass = gate->Enter();
    if (!pass) return;
    message->Completed().connect([this, gate, turn](const Voxlet::MessagePtr&) {
      if (CallGate::Pass inside = gate->Enter()) m_lines.Done(turn);
    });
    if (!m_host.SendServiceRequest(message)) m_lines.Done(turn);
  });
}

void CClickerEndpoints::SendClickerRequest(int method, const Voxlet::StringBuffer& path,
                                           const ClickerEndpointInfo& clicker, Handler completion, bool studentHeader) {
  Voxlet::MessagePtr message = NewClickerRequest(method, path, completion);
  message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = clicker.endpointId;
  if (studentHeader) message->Headers()[kStudentHeader] = clicker.studentId;
  SendClickerMessage(message);
}

// ---- status reports ----------------------------------------------------------------------------

void CClickerEndpoints::OnClickerStatus(uint16_t address, uint8_t battery, uint8_t linkQuality) {
  ReportClickerStatus(address, battery, linkQuality);
}

void CClickerEndpoints::ReportClickerStatus(uint16_t address, uint8_t battery, uint8_t linkQuality) {
  const bool connected = m_host.ServiceConnected();
  const bool subscribed = m_host.Subscribed();
  if (!connected || !subscribed)
    OV_LOG(kLogPacket, "%s - DEVICE_STATUS remote packet: addr - %u, battery level - %u, link quality - %u; %s",
           m_host.PortUtf8().c_str(), address, battery, linkQuality, connected ? kNotSubscribed : kNotConnected);
  if (address == 0 || !connected || !subscribed) return;
  const Voxlet::StringBuffer receiverEndpointId = m_host.EndpointId();
  if (receiverEndpointId.empty()) return;

  const ClickerRegistry::StatusOutcome outcome =
      m_clickers.ReportStatus(address, battery, linkQuality, receiverEndpointId);
  if (outcome.created || outcome.relay) {
    Voxlet::MessagePtr message = NewClickerRequest(
        outcome.created ? Voxlet::Methods::Post : Voxlet::Methods::Get, Bridge::ClickerHelloPath(),
        outcome.created ? &CClickerEndpoints::LogMessageIfEndpointCreated : &CClickerEndpoints::LogIfFailed);
    message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = outcome.clicker.endpointId;
    message->Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::ApplicationRdfXml;
    message->SetContent(Voxlet::Content(Bridge::BuildClickerStatusDocument(
        battery, linkQuality, outcome.created ? receiverEndpointId : Voxlet::StringBuffer())));
    SendClickerMessage(message);
  }
  if (outcome.lowBattery)
    SendClickerRequest(Voxlet::Methods::Post, u"/voxlet/scripts/teachers/lowBattery.js?", outcome.clicker,
                       &CClickerEndpoints::LogIfFailed, true);
  if (outcome.goodBattery)
    SendClickerRequest(Voxlet::Methods::Post, u"/voxlet/scripts/teachers/goodBattery.js?", outcome.clicker,
                       &CClickerEndpoints::LogIfFailed, true);
}

void CClickerEndpoints::AnnounceKnownClickers() {
  const Voxlet::StringBuffer receiverEndpointId = m_host.EndpointId();
  if (receiverEndpointId.empty()) return;
  for (const ClickerEndpointInfo& clicker : m_clickers.All()) {
    Voxlet::MessagePtr message = NewClickerRequest(Voxlet::Methods::Post, Bridge::ClickerHelloPath(),
                                                   &CClickerEndpoints::LogMessageIfEndpointCreated);
    message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = clicker.endpointId;
    message->Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::ApplicationRdfXml;
    if (!clicker.macText.empty()) message->Headers()[kMacHeader] = clicker.macText;
    message->SetContent(Voxlet::Content(Bridge::BuildClickerStatusDocument(
        std::max(clicker.batteryLevel, 0), std::max(clicker.linkQuality, 0), receiverEndpointId)));
    // Ahead of the clicker's line: a software service that forgot the receiver refuses the
    // clicker's answers until it knows the clicker again.
    m_host.SendServiceRequest(message);
  }
}

void CClickerEndpoints::LogMessageIfEndpointCreated(const Voxlet::MessagePtr& message) {
  if (message->Failure()) {
    m_host.LogUnexpectedEvent(message);
    return;
  }
  const Voxlet::StringBuffer endpointId = message->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint);
  // The software service knows the clicker again: its answers from the spool may go.
  if (message->StatusCode() / 100 == 2) m_host.ClickerAnnounced(endpointId);
  if (message->StatusCode() != Voxlet::StatusCodes::Created) return;
  if (!endpointId.empty())
    OV_LOG(kLogDiagnostic, "LogMessageIfEndpointCreated: Endpoint %s created; ", Utf8(endpointId).c_str());
}

// ---- joins, whois and sign-in ------------------------------------------------------------------

void CClickerEndpoints::OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow,
                                            const Voxlet::StringBuffer& studentId, bool autoLogin) {
  const bool anonymous = m_host.CurrentClassLogin().anonymous;
  OV_LOG(kLogPacket,
         "%s - JOIN_LOGIN_RESPONSE_LOGIN_REQUIRED packet: addr - %u, MAC high - %u, MAC low - %u, student id - %s, "
         "auto - %u; %s",
         m_host.PortUtf8().c_str(), address, macHigh, macLow, Utf8(studentId).c_str(), autoLogin,
         anonymous ? kAnonymous : kRelaying);
  if (address != 0 && !anonymous) JoinClicker(address, macHigh, macLow, studentId);
}

void CClickerEndpoints::OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow) {
  // A clicker counts as joined once it has a student: a record made by its status report alone
  // (which comes before the join) still needs the whois and the sign-in.
  const std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByAddress(address);
  const bool known = clicker && !clicker->studentId.empty();
  const IClickerEndpointsHost::ClassLogin login = m_host.CurrentClassLogin();
  const bool anonymous = login.anonymous;
  const bool joined = known && !login.switching;
  OV_LOG(kLogPacket, "%s - JOIN_LOGIN_RESPONSE_NO_LOGIN_REQUIRED packet: addr - %u, MAC high - %u, MAC low - %u; %s",
         m_host.PortUtf8().c_str(), address, macHigh, macLow,
         !anonymous ? kNotAnonymous : (joined ? kAlreadyCreated : kRelaying));
  if (address == 0) return;
  if (!anonymous) {
    // The clicker takes itself for signed in (its receiver announced the network without the
    // login requirement, or the class changed under it), but the class needs a student: it is
    // told so at once, or its student's answers would go nowhere.
    OV_LOG(kLogDiagnostic, "joined without signing in to a class that requires it; booting clicker...");
    m_host.SendReceiverCommands([&](CReceiverProtocolHandler& handler) { handler.SendLoginGrant(address, false, {}); });
    return;
  }
  if (joined) return;
  JoinClicker(address, macHigh, macLow, u"clickerstudent." + Bridge::FormatMacAddress(macHigh, macLow));
}

void CClickerEndpoints::RejoinWithoutLogin(uint16_t address, uint32_t macHigh, uint32_t macLow) {
  JoinClicker(address, macHigh, macLow, u"clickerstudent." + Bridge::FormatMacAddress(macHigh, macLow));
}

void CClickerEndpoints::JoinClicker(uint16_t address, uint32_t macHigh, uint32_t macLow,
                                    const Voxlet::StringBuffer& studentNumber) {
  if (!m_host.ServiceConnected()) {
    OV_LOG(kLogDiagnostic, "not connected; booting clicker...");
    m_host.SendReceiverCommands([&](CReceiverProtocolHandler& handler) { handler.SendLoginGrant(address, false, {}); });
    return;
  }
  std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByAddress(address);
  if (!clicker) {
    ReportClickerStatus(address, 0, 0);
    clicker = m_clickers.FindByAddress(address);
    if (!clicker) return;
  }
  const Voxlet::StringBuffer macText = Bridge::FormatMacAddress(macHigh, macLow);
  m_clickers.SetMac(address, macHigh, macLow, macText);

  Voxlet::MessagePtr macHello =
      NewClickerRequest(Voxlet::Methods::Post, Bridge::ClickerHelloPath(), &CClickerEndpoints::LogIfFailed);
  macHello->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = clicker->endpointId;
  macHello->Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::ApplicationRdfXml;
  macHello->Headers()[kMacHeader] = macText;
  macHello->SetContent(Voxlet::Content(Bridge::BuildMacHelloDocument(macText)));
  SendClickerMessage(macHello);

  Voxlet::MessagePtr whois = NewClickerRequest(
      Voxlet::Methods::Post,
      u"/voxlet/builtins/teachers/whois?subject=" + Voxlet::Url::Encode(Bridge::StudentUrn(studentNumber)),
      &CClickerEndpoints::OnWhoisResponse);
  whois->Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::ApplicationRdfXml;
  whois->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = clicker->endpointId;
  whois->Headers()[kMacHeader] = macText;
  whois->SetContent(Voxlet::Content(Bridge::BuildWhoisDocument(studentNumber)));
  SendClickerMessage(whois);
}

void CClickerEndpoints::OnWhoisResponse(const Voxlet::MessagePtr& message) {
  const std::optional<ClickerEndpointInfo> clicker =
      m_clickers.FindByEndpoint(message->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint));
  if (!clicker) {
    if (message->State() != Voxlet::RequestStates::Complete) return;
    OV_LOG(kLogDiagnostic, "whois ignored because endpoint not found; logging message...");
    m_host.LogUnexpectedEvent(message);
    return;
  }
  // A whois that got no answer at all boots the clicker as a refused one does: otherwise the
  // student would sit at a clicker that neither logs in nor says why.
  const Voxlet::StringBuffer studentId = message->State() == Voxlet::RequestStates::Complete
                                             ? message->ReplyHeaders().Get(kStudentHeader)
                                             : Voxlet::StringBuffer();
  if (message->State() != Voxlet::RequestStates::Complete || message->StatusCode() != Voxlet::StatusCodes::OK ||
      studentId.empty()) {
    OV_LOG(kLogDiagnostic, "whois failed; booting clicker...");
    m_host.SendReceiverCommands(
        [&](CReceiverProtocolHandler& handler) { handler.SendLoginGrant(clicker->shortAddress, false, {}); });
    m_host.LogUnexpectedEvent(message);
    return;
  }
  const std::optional<ClickerEndpointInfo> known = m_clickers.SetStudent(clicker->endpointId, studentId);
  if (!known) return;
  if (!m_host.CurrentClassLogin().anonymous) {
    m_host.SendReceiverCommands(
        [&](CReceiverProtocolHandler& handler) { handler.SendLoginGrant(known->shortAddress, true, studentId); });
    return;
  }
  OV_LOG(kLogDiagnostic, "gotWhoIs: signing in with endpoint: %s", Utf8(known->endpointId).c_str());
  SendSignin(*known);
}

void CClickerEndpoints::SendSignin(const ClickerEndpointInfo& clicker) {
  Voxlet::MessagePtr signin = NewClickerRequest(Voxlet::Methods::Post, u"/voxlet/builtins/teachers/signin",
                                                &CClickerEndpoints::OnSigninResponse);
  signin->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = clicker.endpointId;
  signin->Headers()[kStudentHeader] = clicker.studentId;
  signin->Headers()[kMacHeader] = clicker.macText;
  SendClickerMessage(signin);
}

void CClickerEndpoints::OnLoginGrantConfirm(uint16_t address, bool confirmed) {
  const bool connected = m_host.ServiceConnected();
  std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByAddress(address);
  OV_LOG(kLogPacket, "%s - LOGIN_GRANT_CONFIRM packet: addr - %u, ;  %s", m_host.PortUtf8().c_str(), address,
         !clicker ? kNotFound : (!connected ? kNotConnected : kRelaying));
  if (!clicker || !connected || !confirmed) return;
  ReportClickerStatus(address, 0, 0);
  clicker = m_clickers.FindByAddress(address);
  if (!clicker) return;
  OV_LOG(kLogDiagnostic, "Sending sign in message to software service: addr - %u, ;  %s", address,
         Utf8(clicker->endpointId).c_str());
  SendSignin(*clicker);
}

void CClickerEndpoints::OnSigninResponse(const Voxlet::MessagePtr& message) {
  if (message->State() != Voxlet::RequestStates::Complete) {
    m_host.LogUnexpectedEvent(message);
    return;
  }
  const std::optional<ClickerEndpointInfo> clicker =
      m_clickers.FindByEndpoint(message->Headers().Get(Voxlet::Header::XVantrelVoxletEndpoint));
  if (!clicker) {
    OV_LOG(kLogDiagnostic, "signin ignored because endpoint not found; logging message...");
    m_host.LogUnexpectedEvent(message);
    return;
  }
  if (message->StatusCode() != Voxlet::StatusCodes::OK) {
    if (clicker->shortAddress == 0) return;
    OV_LOG(kLogMilestone, "Post Signin. status code is not OK, is %u. Has valid endpoint. Turn off clicker:%u",
           static_cast<unsigned>(message->StatusCode()), clicker->shortAddress);
    OV_LOG(kLogMilestone, "Post Signin. content of message: %s", message->ReplyBody().c_str());
    m_host.SendReceiverCommands(
        [&](CReceiverProtocolHandler& handler) { handler.SendLoginOff(clicker->shortAddress); });
    return;
  }
  if (!m_host.CurrentClassLogin().anonymous)
    m_host.SendReceiverCommands(
        [&](CReceiverProtocolHandler& handler) { handler.SendLoginGrantReply(clicker->shortAddress); });
}

// ---- raised hands, log-offs and departures -----------------------------------------------------

void CClickerEndpoints::OnHandUp(uint16_t address, bool handUp) {
  const bool connected = m_host.ServiceConnected();
  const std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByAddress(address);
  OV_LOG(kLogPacket, "%s - HAND_UP packet: addr - %u, hand up - %u; %s...", m_host.PortUtf8().c_str(), address, handUp,
         !clicker ? kNotFound : (!connected ? kNotConnected : kRelaying));
  if (clicker && connected) SendRaisedHand(*clicker, handUp);
}

void CClickerEndpoints::SendRaisedHand(const ClickerEndpointInfo& clicker, bool handUp) {
  Voxlet::XmlDocumentPtr document =
      Voxlet::XmlSchema::Parse(Bridge::RaisedHandText(Voxlet::CurrentTimestamp(), clicker.studentId, handUp));
  if (!document) return;
  Voxlet::MessagePtr message = NewClickerRequest(Voxlet::Methods::Post, u"/voxlet/builtins/teachers/raisedhand",
                                                 &CClickerEndpoints::LogIfFailed);
  message->Headers()[kStudentHeader] = clicker.studentId;
  message->Headers()[Voxlet::Header::XVantrelVoxletEndpoint] = clicker.endpointId;
  message->Headers()[Voxlet::Header::ContentType] = Voxlet::Content::Types::TextXml;
  message->SetContent(Voxlet::Content(document));
  SendClickerMessage(message);
}

bool CClickerEndpoints::OnLoginOff(uint16_t address) {
  const bool known = m_clickers.FindByAddress(address).has_value();
  OV_LOG(kLogPacket, "%s - LOGIN_OFF packet: addr - %u; %s", m_host.PortUtf8().c_str(), address,
         known ? kFakingDisassociate : kNotFound);
  return known;
}

void CClickerEndpoints::OnDeviceDisassociated(uint16_t address) {
  const bool connected = m_host.ServiceConnected();
  const bool farewell = m_host.Farewell();
  // While the receiver closes, its clickers stay on record until the last packet the radio
  // acknowledged has been handed over: their answers are kept for the next opening.
  const std::optional<ClickerEndpointInfo> clicker =
      farewell ? m_clickers.FindByAddress(address) : m_clickers.Remove(address);
  if (farewell && clicker) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_farewellClickers.push_back(address);
  }
  OV_LOG(kLogPacket, "%s - DEVICE_DISASSOCIATED packet: addr - %u, ; %s", m_host.PortUtf8().c_str(), address,
         !clicker ? kNotFound : (!connected ? kNotConnected : kRelaying));
  if (clicker && connected)
    SendClickerRequest(Voxlet::Methods::Post, u"/voxlet/builtins/anyone/goodbye", *clicker,
                       &CClickerEndpoints::LogIfFailed, false);
}

// ---- the software side's actions ---------------------------------------------------------------

int CClickerEndpoints::TakeSoftwareActionTurn() {
  std::lock_guard<std::mutex> guard(m_lock);
  const int remaining = m_softwareActionCooldown;
  if (remaining <= 0) m_softwareActionCooldown = kSoftwareActionCooldownTicks;
  return remaining;
}

void CClickerEndpoints::DisconnectClickerInSoftware(const Voxlet::StringBuffer& endpointId) {
  const std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByEndpoint(endpointId);
  if (!clicker) return;
  const int cooldown = TakeSoftwareActionTurn();
  if (cooldown > 0) {
    OV_LOG(kLogDiagnostic,
           "Specifically disregarding clicker disconnect in software because the previous clicker you attempted to "
           "disconnect may not have yet got its message; must wait %d more second(s) for next disconnect attempt",
           cooldown);
    return;
  }
  OV_LOG(kLogDiagnostic,
         "Clicker disconnected in software - student %s endpoint %s shortaddr %d macaddr %08X%08X - sending session "
         "end (power down) to clicker",
         Utf8(clicker->studentId).c_str(), Utf8(clicker->endpointId).c_str(), clicker->shortAddress, clicker->macHigh,
         clicker->macLow);
  m_host.SendReceiverCommands([&](CReceiverProtocolHandler& handler) {
    handler.SendSessionEnd(clicker->shortAddress, SessionEndMode::kPowerDown, Delivery::kRetry);
  });
}

void CClickerEndpoints::CancelRaisedHandInSoftware(const Voxlet::StringBuffer& endpointId) {
  const std::optional<ClickerEndpointInfo> clicker = m_clickers.FindByEndpoint(endpointId);
  if (!clicker) return;
  const int cooldown = TakeSoftwareActionTurn();
  if (cooldown > 0) {
    OV_LOG(kLogDiagnostic,
           "Specifically disregarding this raised hands cancellation because we need to wait %d more second(s) for a "
           "previous one to finish",
           cooldown);
    return;
  }
  OV_LOG(kLogDiagnostic,
         "Raised hand cancelled in software - student %s endpoint %s shortaddr %d macaddr %08X%08X - sending hand up "
         "response to clicker",
         Utf8(clicker->studentId).c_str(), Utf8(clicker->endpointId).c_str(), clicker->shortAddress, clicker->macHigh,
         clicker->macLow);
  m_host.SendReceiverCommands(
      [&](CReceiverProtocolHandler& handler) { handler.SendHandUpReply(clicker->shortAddress); });
  SendRaisedHand(*clicker, false);
}

int CClickerEndpoints::SoftwareActionCooldown() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_softwareActionCooldown;
}

void CClickerEndpoints::SetSoftwareActionCooldown(int ticks) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_softwareActionCooldown = ticks;
}

void CClickerEndpoints::CountDownCooldown() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_softwareActionCooldown > 0) --m_softwareActionCooldown;
}

// ---- the clickers as the class lifecycle and the goodbye see them ------------------------------

std::vector<uint16_t> CClickerEndpoints::ShortAddresses() const { return m_clickers.ShortAddresses(); }

std::vector<KnownClicker> CClickerEndpoints::KnownClickers() const {
  std::vector<KnownClicker> known;
  for (const ClickerEndpointInfo& clicker : m_clickers.All())
    known.push_back({clicker.shortAddress, clicker.macHigh, clicker.macLow, clicker.studentId});
  return known;
}

void CClickerEndpoints::Clear() { m_clickers.Clear(); }

void CClickerEndpoints::RemoveFarewellClickers() {
  std::vector<uint16_t> farewellClickers;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    farewellClickers.swap(m_farewellClickers);
  }
  for (uint16_t address : farewellClickers) m_clickers.Remove(address);
}
