// The teacher's side of the simulated session manager: queued notifications, the class,
// assessment and question being activated and deactivated, and the scenario's timeline actions.
#include <cstdio>

#include "tools/service-sim/SessionManager.h"
#include "tools/service-sim/SimText.h"

namespace ServiceSim {

std::string SessionManager::QueueLocked(const std::string& endpointId, const std::string& kind,
                                        const std::string& inner) {
  char id[16];
  std::snprintf(id, sizeof id, "n%08llu", static_cast<unsigned long long>(++m_notificationSeq));
  const std::string xml = std::string("<voxlet:notification xml:id=\"") + id + "\" voxlet:kind=\"" +
                          XmlEscape(kVocabulary + kind) + "\">" + inner + "</voxlet:notification>";
  for (auto& [eid, endpoint] : m_endpoints) {
    const bool wanted = endpointId.empty() ? (endpoint.kind == "receiver" && endpoint.subscribed) : eid == endpointId;
    if (wanted) endpoint.queue.emplace_back(id, xml);
  }
  ++m_version;
  return id;
}

std::string SessionManager::QueueNotification(const std::string& endpointId, const std::string& kind,
                                              const std::string& inner) {
  std::string id;
  {
    std::lock_guard lock(m_lock);
    id = QueueLocked(endpointId, kind, inner);
  }
  m_changed.notify_all();
  return id;
}

int SessionManager::FindClassLocked(const std::string& id) const {
  for (size_t c = 0; c < m_classes.size(); ++c)
    if (m_classes[c].id == id) return static_cast<int>(c);
  return -1;
}

const AssessmentKey& SessionManager::KeyLocked(size_t cls, size_t assessment) const {
  return m_keys.at(cls).at(assessment);
}

size_t SessionManager::CurrentAssessmentLocked() const {
  return m_assessment >= 0 ? static_cast<size_t>(m_assessment) : 0;
}

std::string SessionManager::AssessmentRefLocked(size_t assessment, bool full) const {
  const ClassSpec& cls = m_classes[m_class];
  const std::string id = assessment < cls.assessments.size() ? cls.assessments[assessment].id : m_scenario.assessmentId;
  const std::string classLink = "classes/" + cls.id;
  std::string ref = "<voxlet:assessmentref" + VoxletAttribute("assessmentid", id);
  if (!full) return ref + "/>";
  const auto it = m_assessments.find({m_class, assessment});
  const AssessmentState state = it == m_assessments.end() ? AssessmentState() : it->second;
  ref += VoxletAttribute("started", state.started) + VoxletAttribute("stopped", state.stopped) + ">";
  ref += "<voxlet:classref xlink:href=\"" + XmlEscape(classLink) + "\"/>";
  if (!state.currentQuestion.empty())
    ref += "<voxlet:currentQuestion" + VoxletAttribute("questionid", state.currentQuestion) + "/>";
  ref += "<voxlet:link" + VoxletAttribute("rel", kVocabulary + "rel#provides-metadata") + " xlink:href=\"" +
         XmlEscape(classLink + "/" + id + "/metadata") + "\"/>";
  return ref + "</voxlet:assessmentref>";
}

std::string SessionManager::ActivatedDocumentLocked() const {
  const ClassSpec& cls = m_classes[m_class];
  std::string doc =
      XmlDeclaration() + "<voxlet:activated" + VoxletNamespaces() + VoxletAttribute("networkname", m_networkName) + ">";
  doc += "<voxlet:classref xml:id=\"activated-class\"" + VoxletAttribute("classid", m_classActive ? cls.id : "") +
         VoxletAttribute("started", m_classStarted) + VoxletAttribute("stopped", m_classStopped) +
         VoxletAttribute("anonymous", m_anonymous ? "true" : "false") + "/>";
  doc += "<voxlet:assessmentrefs>";
  const size_t count = std::max<size_t>(1, cls.assessments.size());
  for (size_t a = 0; a < count; ++a) doc += AssessmentRefLocked(a, true);
  doc += "</voxlet:assessmentrefs></voxlet:activated>\n";
  return doc;
}

std::string SessionManager::ActivatedDocument() const {
  std::lock_guard lock(m_lock);
  return ActivatedDocumentLocked();
}

void SessionManager::StartClassLocked(size_t index) {
  m_class = index;
  m_classActive = true;
  m_anonymous = m_classes[index].anonymous;
  m_assessment = -1;
  m_classStarted = UtcTimestamp();
  m_classStopped.clear();
  QueueLocked("", "notifications/class/activated",
              "<voxlet:classref" + VoxletAttribute("classid", m_classes[index].id) + "/>");
}

void SessionManager::StopAssessmentLocked() {
  if (m_assessment < 0) return;
  AssessmentState& state = m_assessments[{m_class, static_cast<size_t>(m_assessment)}];
  state.stopped = UtcTimestamp();
  state.currentQuestion.clear();
  QueueLocked("", "notifications/assessment/deactivated",
              AssessmentRefLocked(static_cast<size_t>(m_assessment), false));
  m_assessment = -1;
}

void SessionManager::StopClassLocked(bool logoff, bool nextAnonymous) {
  // The class's assessment ends with it (the hardware service ends it on its side too).
  if (m_assessment >= 0) {
    AssessmentState& state = m_assessments[{m_class, static_cast<size_t>(m_assessment)}];
    state.stopped = UtcTimestamp();
    state.currentQuestion.clear();
    m_assessment = -1;
  }
  m_classActive = logoff;  // a log-off switch keeps a class running
  m_classStopped = logoff ? std::string() : UtcTimestamp();
  m_anonymous = nextAnonymous;
  QueueLocked("", "notifications/class/deactivated",
              "<voxlet:classref" + VoxletAttribute("classid", m_classes[m_class].id) +
                  VoxletAttribute("nextclassanonymous", nextAnonymous ? "true" : "false") +
                  VoxletAttribute("logoff", logoff ? "true" : "false") + "/>");
}

bool SessionManager::ActivateClass(const std::string& classId) {
  {
    std::lock_guard lock(m_lock);
    const int index = classId.empty() ? static_cast<int>(m_class) : FindClassLocked(classId);
    if (index < 0) return false;
    if (m_classActive && static_cast<size_t>(index) != m_class) StopClassLocked(false, m_classes[index].anonymous);
    StartClassLocked(static_cast<size_t>(index));
  }
  m_changed.notify_all();
  return true;
}

void SessionManager::DeactivateClass(bool logoff, bool nextAnonymous) {
  {
    std::lock_guard lock(m_lock);
    StopClassLocked(logoff, nextAnonymous);
  }
  m_changed.notify_all();
}

bool SessionManager::SwitchClass(const std::string& classId) {
  {
    std::lock_guard lock(m_lock);
    const int index = FindClassLocked(classId);
    if (index < 0) return false;
    if (m_classActive) StopClassLocked(true, m_classes[index].anonymous);
    StartClassLocked(static_cast<size_t>(index));
  }
  m_changed.notify_all();
  return true;
}

bool SessionManager::ActivateAssessment(const std::string& assessmentId) {
  {
    std::lock_guard lock(m_lock);
    const ClassSpec& cls = m_classes[m_class];
    size_t index = 0;
    if (!assessmentId.empty()) {
      const AssessmentSpec* entry = cls.FindAssessment(assessmentId);
      if (!entry) return false;
      index = static_cast<size_t>(entry - cls.assessments.data());
    }
    if (m_assessment >= 0 && static_cast<size_t>(m_assessment) != index) StopAssessmentLocked();
    AssessmentState& state = m_assessments[{m_class, index}];
    state.started = UtcTimestamp();
    state.stopped.clear();
    state.currentQuestion.clear();
    m_assessment = static_cast<int>(index);
    QueueLocked("", "notifications/assessment/activated", AssessmentRefLocked(index, true));
  }
  m_changed.notify_all();
  return true;
}

void SessionManager::DeactivateAssessment() {
  {
    std::lock_guard lock(m_lock);
    if (m_assessment < 0) m_assessment = 0;  // without a running one, the class's first is named
    StopAssessmentLocked();
  }
  m_changed.notify_all();
}

bool SessionManager::ActivateQuestionLocked(const std::string& question) {
  const size_t assessment = CurrentAssessmentLocked();
  std::string id = question;
  if (assessment < m_keys[m_class].size()) {
    const AssessmentKey& key = KeyLocked(m_class, assessment);
    if (!key.questions.empty() && !key.Find(question)) {
      // Not an id: a question number.
      const std::optional<double> number = ParseNumber(question);
      const auto it = std::find_if(key.questions.begin(), key.questions.end(),
                                   [&](const QuestionKey& q) { return number && q.number == *number; });
      if (it == key.questions.end()) return false;
      id = it->id;
    }
  }
  if (id.empty()) return false;
  m_assessments[{m_class, assessment}].currentQuestion = id;
  QueueLocked("", "notifications/question/activated",
              "<voxlet:currentQuestion" + VoxletAttribute("questionid", id) + "/>");
  return true;
}

bool SessionManager::ActivateQuestion(const std::string& questionId) {
  bool done;
  {
    std::lock_guard lock(m_lock);
    done = ActivateQuestionLocked(questionId);
  }
  m_changed.notify_all();
  return done;
}

bool SessionManager::NextQuestion() {
  bool done = false;
  {
    std::lock_guard lock(m_lock);
    const size_t assessment = CurrentAssessmentLocked();
    if (assessment < m_keys[m_class].size()) {
      const AssessmentKey& key = KeyLocked(m_class, assessment);
      const std::string current = m_assessments[{m_class, assessment}].currentQuestion;
      auto it = key.questions.begin();
      if (!current.empty()) {
        it = std::find_if(key.questions.begin(), key.questions.end(),
                          [&](const QuestionKey& q) { return q.id == current; });
        if (it != key.questions.end()) ++it;
      }
      if (it != key.questions.end()) done = ActivateQuestionLocked(it->id);
    }
  }
  m_changed.notify_all();
  return done;
}

void SessionManager::DeactivateQuestion() {
  {
    std::lock_guard lock(m_lock);
    m_assessments[{m_class, CurrentAssessmentLocked()}].currentQuestion.clear();
    QueueLocked("", "notifications/question/deactivated", "");
  }
  m_changed.notify_all();
}

void SessionManager::SetNetworkName(const std::string& name) {
  {
    std::lock_guard lock(m_lock);
    m_networkName = name;
    QueueLocked("", "notifications/networkname/updated", XmlEscape(name));
  }
  m_changed.notify_all();
}

bool SessionManager::NotifyAboutStudent(const std::string& studentId, const std::string& kind) {
  bool found = false;
  {
    std::lock_guard lock(m_lock);
    for (const auto& [id, endpoint] : m_endpoints) {
      if (endpoint.kind != "clicker" || endpoint.studentId != studentId) continue;
      QueueLocked("", kind, "<voxlet:endpointref" + VoxletAttribute("endpointid", id) + "/>");
      found = true;
      break;
    }
  }
  m_changed.notify_all();
  return found;
}

bool SessionManager::DisconnectStudent(const std::string& studentId) {
  return NotifyAboutStudent(studentId, "notifications/disconnect/student");
}

bool SessionManager::CancelRaisedHand(const std::string& studentId) {
  return NotifyAboutStudent(studentId, "notifications/class/cancelraisedhand");
}

void SessionManager::ReviewModeOff() { QueueNotification("", "notifications/reviewmode/deactivated", ""); }

void SessionManager::DatabaseOpened() { QueueNotification("", "notifications/database/activated", ""); }

void SessionManager::ModeSwitching() {
  std::vector<std::string> targets;
  {
    std::lock_guard lock(m_lock);
    for (const auto& [id, endpoint] : m_endpoints)
      if (endpoint.kind == "hardwareservice") targets.push_back(id);
  }
  for (const std::string& id : targets) QueueNotification(id, "notifications/hardware/modeswitching", "");
}

void SessionManager::HoldNotifications(bool held) {
  {
    std::lock_guard lock(m_lock);
    m_notificationsHeld = held;
  }
  m_changed.notify_all();
}

bool SessionManager::RunAction(const TimelineEvent& event) {
  const auto& a = event.args;
  auto has = [&](const char* word) { return std::find(a.begin(), a.end(), word) != a.end(); };
  const std::string& action = event.action;
  if (action == "activate-class" && a.size() <= 1)
    return ActivateClass(a.empty() ? "" : a[0]);
  else if (action == "deactivate-class")
    DeactivateClass(has("logoff"), has("next-anonymous"));
  else if (action == "switch-class" && a.size() == 1)
    return SwitchClass(a[0]);
  else if (action == "activate-assessment" && a.size() <= 1)
    return ActivateAssessment(a.empty() ? "" : a[0]);
  else if (action == "deactivate-assessment")
    DeactivateAssessment();
  else if (action == "activate-question" && a.size() == 1)
    return ActivateQuestion(a[0]);
  else if (action == "next-question")
    return NextQuestion();
  else if (action == "deactivate-question")
    DeactivateQuestion();
  else if (action == "network-name" && !a.empty()) {
    std::string name;
    for (const std::string& w : a) name += (name.empty() ? "" : " ") + w;
    SetNetworkName(name);
  } else if (action == "disconnect-student" && a.size() == 1)
    return DisconnectStudent(a[0]);
  else if (action == "cancel-raised-hand" && a.size() == 1)
    return CancelRaisedHand(a[0]);
  else if (action == "review-mode-off")
    ReviewModeOff();
  else if (action == "database-opened")
    DatabaseOpened();
  else if (action == "mode-switching")
    ModeSwitching();
  else if (action == "hold-notifications" || action == "release-notifications")
    HoldNotifications(action == "hold-notifications");
  else
    return false;
  return true;
}

}  // namespace ServiceSim
