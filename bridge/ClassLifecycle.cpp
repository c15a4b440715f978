// The class lifecycle: the activated status, starting a class on the receiver's network, the
// network name, and stopping or switching classes.
#include "bridge/ClassLifecycle.h"

#include <chrono>

#include "bridge/ClickerDocuments.h"
#include "bridge/RelayText.h"
#include "client/Strings.h"
#include "client/XPath.h"
#include "client/XmlSchema.h"
#include "client/http/Client.h"
#include "client/http/Message.h"
#include "log/Logger.h"
#include "protocol/NetworkName.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverProtocolHandler.h"

using Bridge::Utf8;
using Voxlet::XmlSchema;

CClassLifecycle::CClassLifecycle(ILifecycleHost& host, CReceiver& receiver, const SessionEnvironment& environment)
    : m_host(host),
      m_receiver(receiver),
      m_powerDownStepMs(environment.powerDownStepMs),
      m_switchWaitMs(environment.switchWaitMs),
      m_simulatedAnswersFirstWaitMs(environment.simulatedAnswersFirstWaitMs),
      m_sendWholeAssessment(environment.sendWholeAssessment) {}

CReceiverNetwork& CClassLifecycle::Network() { return m_receiver.Network(); }

Voxlet::MessagePtr CClassLifecycle::NewLifecycleRequest(int method, const Voxlet::StringBuffer& path,
                                                        ISessionHost::Completion completion) {
  return m_host.NewServiceRequest(
      method, path,
      [this, completion = std::move(completion)](const Voxlet::MessagePtr& reply) {
        Post([completion, reply] { completion(reply); });
      },
      true);
}

void CClassLifecycle::SendActivatedStatusQuery() {
  m_host.SendServiceRequest(
      NewLifecycleRequest(Voxlet::Methods::Get, u"/voxlet/scripts/teachers/getServerActivatedStatus.js",
                          [this](const Voxlet::MessagePtr& reply) { m_steps->OnActivatedStatusResponse(reply); }));
}

void CClassLifecycle::Stop() {
  // The steps queued are dropped, then a class switch still waiting for log-offs ends here.
  m_worker.Stop([this] {
    {
      std::lock_guard<std::mutex> guard(m_lock);
      m_stopping = true;
    }
    m_logOffsChanged.notify_all();
  });
  m_simulatedAnswers.StopAndJoin();
}

void CClassLifecycle::Restart() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopping = false;
  }
  m_worker.Restart();
}

void CClassLifecycle::CountLogOff() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_logOffCount;
  }
  m_logOffsChanged.notify_all();
}

Voxlet::StringBuffer CClassLifecycle::CurrentClassId() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_currentClassId;
}

void CClassLifecycle::SetCurrentClassId(const Voxlet::StringBuffer& classId) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_currentClassId = classId;
}

Voxlet::StringBuffer CClassLifecycle::CurrentQuestionId() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_currentQuestionId;
}

void CClassLifecycle::SetCurrentQuestionId(const Voxlet::StringBuffer& questionId) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_currentQuestionId = questionId;
}

IClickerEndpointsHost::ClassLogin CClassLifecycle::CurrentClassLogin() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return {.anonymous = m_anonymous, .switching = m_switchingClasses};
}

Voxlet::StringBuffer CClassLifecycle::SubmitPath() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return Bridge::SubmitPath(m_currentAssessmentId, m_currentClassId);
}

bool CClassLifecycle::AssessmentStarted() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return !m_currentAssessmentId.empty();
}

void CClassLifecycle::PowerDown(CReceiverProtocolHandler& handler) {
  const auto pause = static_cast<uint32_t>(m_powerDownStepMs);
  handler.SendSessionEnd(0, SessionEndMode::kPowerDown, Delivery::kOnce);
  handler.QueuePause(pause);
  handler.SetNetworkState(NetworkState::kStop, Delivery::kOnce);
  handler.QueuePause(pause);
}

void CClassLifecycle::OnActivatedStatusResponse(const Voxlet::MessagePtr& message) {
  const int state = message->State();
  if (state < Voxlet::RequestStates::Writing || state > Voxlet::RequestStates::Complete) {
    m_host.LogUnexpectedEvent(message);
    return;
  }
  if (state != Voxlet::RequestStates::Complete) return;
  const int code = message->StatusCode();
  if (!((code >= 200 && code <= 299) || code == 409)) {
    m_host.LogUnexpectedEvent(message);
    return;
  }
  const Voxlet::XmlDocumentPtr document = XmlSchema::ParseUtf8(message->ReplyBody());
  static const Voxlet::XPathExpression kActivated(u"/voxlet:activated");
  xercesc::DOMElement* activated = document ? kActivated.EvaluateFirst(document->Dom()) : nullptr;

  Voxlet::StringBuffer classroomName;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    classroomName = m_classroomName;
  }
  if (classroomName.empty()) {
    const Voxlet::StringBuffer networkName = XmlSchema::GetAttribute(activated, u"voxlet:networkname");
    if (networkName.empty()) {
      OV_LOG(kLogMilestone, "Not starting a class because there is no network name");
      SetCurrentClassId({});
      IssueReceiverCommands([this](CReceiverProtocolHandler& handler) {
        Network().SetNetworkStartPending(false);
        if (!Network().NetworkStarted()) return;
        Network().SetNetworkStarted(false);
        OV_LOG(kLogDiagnostic, "No network name. Receiver Network is already started. Power off clickers");
        PowerDown(handler);
      });
      return;
    }
    m_steps->SetClassroomName(networkName);
  }

  static const Voxlet::XPathExpression kClassRef(u"/voxlet:activated/voxlet:classref[@xml:id = 'activated-class']");
  xercesc::DOMElement* classRef = document ? kClassRef.EvaluateFirst(document->Dom()) : nullptr;
  const char* refusal = nullptr;
  if (!classRef) {
    OV_LOG(kLogDiagnostic, "Not starting a class because no activated-class classref");
  } else if (XmlSchema::GetAttribute(classRef, u"voxlet:classid").empty()) {
    refusal = "activated classref has empty classid";
  } else if (XmlSchema::GetAttribute(classRef, u"voxlet:started").empty()) {
    refusal = "activated classref has empty start timestamp";
  } else if (!XmlSchema::GetAttribute(classRef, u"voxlet:stopped").empty()) {
    refusal = "activated classref has non-empty stop timestamp";
  }
  if (refusal) OV_LOG(kLogDiagnostic, "Not starting a class because %s", refusal);
  if (!classRef || refusal) {
    SetCurrentClassId({});
    const bool logPowerOff = classRef != nullptr;
    IssueReceiverCommands([&](CReceiverProtocolHandler& handler) {
      Network().SetNetworkStartPending(false);
      if (!Network().NetworkStarted()) return;
      Network().SetNetworkStarted(false);
      if (logPowerOff)
        OV_LOG(kLogMilestone, "Network name is valid, but starting a class is failed.Power off all clickers");
      PowerDown(handler);
    });
    return;
  }

  StartClass(classRef);
  static const Voxlet::XPathExpression kAssessmentRef(
      u"/voxlet:activated/voxlet:assessmentrefs/voxlet:assessmentref[fn:string-length(@voxlet:started) != 0 and "
      u"fn:string-length(@voxlet:stopped) = 0]");
  xercesc::DOMElement* assessmentRef = kAssessmentRef.EvaluateFirst(document->Dom());
  if (!assessmentRef) {
    OV_LOG(kLogDiagnostic, "Not starting an assessment because %s",
           "no activated assessmentref with non-blank start timestamp and blank stop timestamp");
    IssueReceiverCommands(
        [](CReceiverProtocolHandler& handler) { handler.SendSessionEnd(0, SessionEndMode::kReview, Delivery::kOnce); });
    std::lock_guard<std::mutex> guard(m_lock);
    m_currentAssessmentId.clear();
    return;
  }
  m_steps->ActivateAssessment(assessmentRef);
}

void CClassLifecycle::StartClass(xercesc::DOMElement* classRef) {
  if (Network().Scanning()) {
    // The activated status is asked for again once the scan is over.
    m_host.AskActivatedStatusAfterScan();
    return;
  }
  const Voxlet::StringBuffer classId = XmlSchema::GetAttribute(classRef, u"voxlet:classid");
  if (Network().NetworkStarted()) {
    if (classId == CurrentClassId()) {
      OV_LOG(kLogDiagnostic,
             "Skipping this class activation notification because we think the receiver network is started already "
             "for this class");
      return;
    }
    OV_LOG(kLogDiagnostic, "Got a ClassActivated while the receiver network is already started; sending a networkstop");
    IssueReceiverCommands([this](CReceiverProtocolHandler& handler) {
      Network().SetNetworkStarted(false);
      handler.SetNetworkState(NetworkState::kStop, Delivery::kRetry);
      handler.QueuePause(static_cast<uint32_t>(m_powerDownStepMs));
    });
  }
  if (Network().ChannelAnalysisOn()) {
    OV_LOG(kLogDiagnostic,
           "Channel analysis has been turned on. Classes cannot be started to enable channel scanning.");
    return;
  }
  const auto* parent = classRef->getParentNode();
  const Voxlet::StringBuffer networkName =
      parent && parent->getNodeType() == xercesc::DOMNode::ELEMENT_NODE
          ? XmlSchema::GetAttribute(static_cast<const xercesc::DOMElement*>(parent), u"voxlet:networkname")
          : Voxlet::StringBuffer();
  Voxlet::StringBuffer classroomName;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    classroomName = m_classroomName;
  }
  if (!networkName.empty() && networkName != classroomName) m_steps->SetClassroomName(networkName);

  const bool anonymous = Voxlet::ParseBoolean(XmlSchema::GetAttribute(classRef, u"voxlet:anonymous"));
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_anonymous = anonymous;
    m_currentClassId = classId;
  }
  IssueReceiverCommands([&](CReceiverProtocolHandler& handler) {
    Network().SetUpNotificationPending(true);
    Network().SetNetworkStartPending(true);
    int channel = Network().ChooseChannel();
    // No usable channel: the receiver stays on the one it has.
    if (channel < 11 || channel > 26) channel = Network().CurrentChannel();
    if (channel >= 11 && channel <= 26) handler.SetChannel(static_cast<uint8_t>(channel - 11));
    bool loginTrigger = false;
    bool teamTrigger = false;
    Network().FlipLoginTrigger(loginTrigger, teamTrigger);
    handler.SetLoginRequirement(
        {.loginRequired = !anonymous, .loginTrigger = loginTrigger, .teamTrigger = teamTrigger});
    handler.SetNetworkState(NetworkState::kStart, Delivery::kRetry);
    handler.QueuePause(static_cast<uint32_t>(m_powerDownStepMs));
  });
}

void CClassLifecycle::SetClassroomName(const Voxlet::StringBuffer& name) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_classroomName = name;
  }
  const std::string networkName = BuildNetworkName(name, m_receiver.GetReceiverNumber(), ConnectedReceiverCount());
  OV_LOG(kLogDiagnostic, "Classroom name changed - classroom name is \"%s\" receiver network name will be \"%s\"",
         Utf8(name).c_str(), networkName.c_str());
  IssueReceiverCommands([&](CReceiverProtocolHandler& handler) {
    if (!Network().NetworkStarted()) handler.SetClassName(networkName);
  });
}

bool CClassLifecycle::StopClass(xercesc::DOMElement* classRef) {
  bool hadAssessment = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    hadAssessment = !m_currentAssessmentId.empty();
    m_currentAssessmentId.clear();
  }
  if (hadAssessment)
    IssueReceiverCommands([](CReceiverProtocolHandler& handler) {
      handler.SendSessionEnd(0, SessionEndMode::kEndReview, Delivery::kRetry);
    });
  const bool nextAnonymous = Voxlet::ParseBoolean(XmlSchema::GetAttribute(classRef, u"voxlet:nextclassanonymous"));
  const bool logOff = Voxlet::ParseBoolean(XmlSchema::GetAttribute(classRef, u"voxlet:logoff"));
  bool previousAnonymous = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    previousAnonymous = m_anonymous;
    m_anonymous = nextAnonymous;
  }

  if (!logOff) {
    SetCurrentClassId({});
    IssueReceiverCommands([this](CReceiverProtocolHandler& handler) {
      Network().SetNetworkStartPending(false);
      Network().SetNetworkStarted(false);
      OV_LOG(kLogMilestone, "Class is stopped.Power off all clickers");
      const auto pause = static_cast<uint32_t>(m_powerDownStepMs);
      handler.SendSessionEnd(0, SessionEndMode::kPowerDown, Delivery::kRetry);
      handler.QueuePause(pause);
      handler.SetNetworkState(NetworkState::kStop, Delivery::kRetry);
      handler.QueuePause(pause);
    });
    m_host.ClassClickers().Clear();
    return false;
  }

  // Switching runs on the lifecycle worker like every notification: the ones after it (the new
  // class's assessment and questions too) take effect once the clickers are in the new login
  // session, as the software service ordered them, and a second switch waits for this one.
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_switchingClasses = true;
    m_logOffCount = 0;
  }
  OV_LOG(kLogDiagnostic, "Switching classes by faking devices saying goodbye and then coming back");
  const std::vector<KnownClicker> clickers = m_host.ClassClickers().KnownClickers();
  bool logOffSent = false;
  for (const KnownClicker& clicker : clickers) {
    const bool logOffClicker = !previousAnonymous && !nextAnonymous;
    // The clicker is gone for the software service before it is told on the radio: its LOGIN_OFF
    // answer then only counts for the switch. Told first, a quick clicker's answer could find it
    // still known and announce it again as a new clicker that the switch then forgets.
    m_receiver.OnDeviceDisassociated(clicker.address);
    IssueReceiverCommands([&](CReceiverProtocolHandler& handler) {
      handler.SendHandUpReply(clicker.address);
      if (logOffClicker) handler.SendLoginOff(clicker.address);
    });
    logOffSent = logOffSent || logOffClicker;
  }
  m_host.ClassClickers().Clear();
  if (logOffSent && !WaitForLogOffs(static_cast<int>(clickers.size()))) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_switchingClasses = false;  // the receiver closes
    return true;
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_logOffCount = 0;
  }
  IssueReceiverCommands([&](CReceiverProtocolHandler& handler) {
    bool loginTrigger = false;
    bool teamTrigger = false;
    Network().FlipLoginTrigger(loginTrigger, teamTrigger);
    handler.SetLoginRequirement(
        {.loginRequired = !nextAnonymous, .loginTrigger = loginTrigger, .teamTrigger = teamTrigger});
  });
  if (nextAnonymous)
    for (const KnownClicker& clicker : clickers)
      m_host.ClassClickers().RejoinWithoutLogin(clicker.address, clicker.macHigh, clicker.macLow);
  std::lock_guard<std::mutex> guard(m_lock);
  m_switchingClasses = false;
  return true;
}

bool CClassLifecycle::WaitForLogOffs(int expected) {
  // The log-offs come through the receiver's dispatcher (OnLoginOff), which signals each.
  std::unique_lock<std::mutex> lock(m_lock);
  m_logOffsChanged.wait_for(lock, std::chrono::milliseconds(m_switchWaitMs),
                            [&] { return m_stopping || m_logOffCount >= expected; });
  return !m_stopping;
}
