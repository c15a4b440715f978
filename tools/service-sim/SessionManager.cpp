#include "tools/service-sim/SessionManager.h"

#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>

#include "tools/service-sim/SimText.h"

namespace ServiceSim {

namespace {

const std::string kSubjectBase = "urn:com.vantrel.voxlet:";

SimReply XmlReply(int status, std::string body) {
  SimReply reply;
  reply.status = status;
  reply.contentType = "text/xml";
  reply.body = std::move(body);
  return reply;
}

std::string Declaration() { return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"; }

std::string Namespaces() { return " xmlns:voxlet=\"" + kVocabulary + "\" xmlns:xlink=\"" + kXLink + "\""; }

// A small acknowledgement document (or an error one) for requests whose reply carries nothing.
SimReply Ack(int status, const std::string& what) {
  return XmlReply(status, Declaration() + "<voxlet:" + (status < 400 ? "ok" : "error") + Namespaces() +
                              " voxlet:request=\"" + XmlEscape(what) + "\"/>\n");
}

std::string KindOfSubject(const std::string& subject) {
  if (subject == kSubjectBase + "receiver") return "receiver";
  if (subject == kSubjectBase + "clicker") return "clicker";
  if (subject == kSubjectBase + "hardwareservice") return "hardwareservice";
  return "other";
}

std::string Attribute(const std::string& name, const std::string& value) {
  return " voxlet:" + name + "=\"" + XmlEscape(value) + "\"";
}

}  // namespace

const SessionManager::RouteEntry SessionManager::kRoutes[] = {
    {"hello", "", "/voxlet/builtins/anyone/hello", false, &SessionManager::Hello},
    {"subscribe", "POST", "/voxlet/scripts/teachers/subscribe/", true, &SessionManager::Subscribe},
    {"modeSwitching", "POST", "/voxlet/builtins/teachers/modeSwitching", false, &SessionManager::ModeSwitchingRequest},
    {"receiverConnected", "GET", "/voxlet/scripts/teachers/receiverConnected.js", false,
     &SessionManager::ReceiverConnected},
    {"receiverRemoved", "POST", "/voxlet/scripts/teachers/receiverRemoved.js", false, &SessionManager::ReceiverRemoved},
    {"lowBattery", "POST", "/voxlet/scripts/teachers/lowBattery.js", false, &SessionManager::Battery},
    {"goodBattery", "POST", "/voxlet/scripts/teachers/goodBattery.js", false, &SessionManager::Battery},
    {"activatedStatus", "GET", "/voxlet/scripts/teachers/getServerActivatedStatus.js", false,
     &SessionManager::ActivatedStatus},
    {"database", "GET", "/voxlet/database/", true, &SessionManager::Database},
    {"whois", "POST", "/voxlet/builtins/teachers/whois", false, &SessionManager::Whois},
    {"signin", "POST", "/voxlet/builtins/teachers/signin", false, &SessionManager::Signin},
    {"raisedhand", "POST", "/voxlet/builtins/teachers/raisedhand", false, &SessionManager::RaisedHandRequest},
    {"submit", "POST", "/voxlet/builtins/teachers/submit", false, &SessionManager::Submit},
    {"goodbye", "POST", "/voxlet/builtins/anyone/goodbye", false, &SessionManager::Goodbye},
};

SessionManager::SessionManager(Scenario scenario)
    : m_scenario(std::move(scenario)),
      m_classes(m_scenario.AllClasses()),
      m_networkName(m_scenario.networkName),
      m_anonymous(m_classes.front().anonymous) {
  for (const ClassSpec& c : m_classes) {
    m_keys.emplace_back();
    for (const AssessmentSpec& a : c.assessments) m_keys.back().push_back(ReadAssessmentKey(a.xml, a.rdf));
  }
  ResumeRunning();
}

// A session manager started again in the middle of a lesson: the class, assessment and question
// it had running are running again, as its activated status shows them. No endpoint exists yet,
// so nothing is queued. Names the scenario does not have are left out.
void SessionManager::ResumeRunning() {
  std::lock_guard lock(m_lock);
  const int cls = FindClassLocked(m_scenario.runningClass);
  if (cls < 0) return;
  m_class = static_cast<size_t>(cls);
  m_classActive = true;
  m_anonymous = m_classes[m_class].anonymous;
  m_classStarted = UtcTimestamp();
  const AssessmentSpec* assessment = m_classes[m_class].FindAssessment(m_scenario.runningAssessment);
  if (!assessment) return;
  const auto index = static_cast<size_t>(assessment - m_classes[m_class].assessments.data());
  m_assessments[{m_class, index}].started = UtcTimestamp();
  m_assessment = static_cast<int>(index);
  if (!m_scenario.currentQuestion.empty()) ActivateQuestionLocked(m_scenario.currentQuestion);
}

SimReply SessionManager::Handle(const SimRequest& request) {
  ReceivedRequest record;
  record.arrived = std::chrono::steady_clock::now();
  record.method = request.method;
  record.headers = request.headers;
  record.body = request.body;
  SplitTarget(request.target, record.path, record.query);
  SimReply reply;
  std::function<void()> firstSubscription;
  {
    std::lock_guard lock(m_lock);
    const bool receiverWasSubscribed = m_receiverSubscribed;
    record.route = "unknown";
    reply = Ack(404, record.path);
    for (const RouteEntry& route : kRoutes) {
      const bool match = route.prefix ? record.path.rfind(route.path, 0) == 0 : record.path == route.path;
      if (!match) continue;
      record.route = route.name;
      if (*route.method && request.method != route.method)
        reply = Ack(405, record.path);
      else
        reply = (this->*route.handler)(request, record);
      break;
    }
    record.status = reply.status;
    m_requests.push_back(std::move(record));
    ++m_version;
    if (!receiverWasSubscribed && m_receiverSubscribed) firstSubscription = m_onFirstSubscription;
  }
  m_changed.notify_all();
  if (firstSubscription) firstSubscription();
  return reply;
}

Endpoint* SessionManager::FindEndpoint(const std::string& id) {
  const auto it = m_endpoints.find(id);
  return it == m_endpoints.end() ? nullptr : &it->second;
}

// ---- requests --------------------------------------------------------------------------------

SimReply SessionManager::Hello(const SimRequest& request, ReceivedRequest& record) {
  const std::string id = request.Header(kEndpointHeader);
  if (id.empty()) return Ack(400, "hello without endpoint");
  const XmlFields fields = ReadXmlFields(request.body);
  Endpoint* endpoint = FindEndpoint(id);
  const bool created = endpoint == nullptr;
  if (created) {
    endpoint = &m_endpoints[id];
    endpoint->id = id;
    endpoint->subject = record.query["subject"];
    endpoint->kind = KindOfSubject(endpoint->subject);
  }
  auto take = [&](const char* name, std::string& into) {
    const auto it = fields.texts.find(name);
    if (it != fields.texts.end()) into = it->second;
  };
  take("address", endpoint->address);
  take("receiverid", endpoint->receiverId);
  take("battery", endpoint->battery);
  take("signal", endpoint->signal);
  if (request.HasHeader(kMacHeader)) endpoint->address = request.Header(kMacHeader);

  std::string notifications;
  if (!m_notificationsHeld) {
    for (const auto& entry : endpoint->queue) notifications += entry.second;
    endpoint->queue.clear();
  }
  return XmlReply(created ? 201 : 200, Declaration() + "<voxlet:runtime" + Namespaces() + "><voxlet:notifications>" +
                                           notifications + "</voxlet:notifications></voxlet:runtime>\n");
}

SimReply SessionManager::Subscribe(const SimRequest&, ReceivedRequest& record) {
  const std::string script = record.path.substr(record.path.rfind('/') + 1);
  if (script != "ReceiverSubscribe.js" && script != "HarewareServiceSubscribe.js") return Ack(404, record.path);
  Endpoint* endpoint = FindEndpoint(record.query["endpointXmlId"]);
  if (!endpoint) return Ack(404, "unknown endpoint");
  endpoint->subscribed = true;
  if (endpoint->kind == "receiver") m_receiverSubscribed = true;
  return Ack(200, "subscribed");
}

SimReply SessionManager::ModeSwitchingRequest(const SimRequest&, ReceivedRequest&) { return Ack(200, "modeSwitching"); }

SimReply SessionManager::ReceiverConnected(const SimRequest& request, ReceivedRequest& record) {
  Endpoint* endpoint = FindEndpoint(request.Header(kEndpointHeader));
  if (!endpoint) return Ack(404, "unknown endpoint");
  endpoint->networkUp = record.query["up"] == "true";
  return Ack(200, "receiverConnected");
}

// The receiver's clickers go with it; their own goodbyes, which may follow, are still welcome.
SimReply SessionManager::ReceiverRemoved(const SimRequest&, ReceivedRequest& record) {
  const std::string receiver = record.query["endpoint"];
  if (receiver.empty()) return Ack(200, "receiverRemoved");
  const std::string prefix = "clickerhardware." + receiver + ".";
  for (auto it = m_endpoints.begin(); it != m_endpoints.end();) {
    const Endpoint& e = it->second;
    const bool belongs = e.kind == "clicker" && (e.receiverId == receiver || e.id.rfind(prefix, 0) == 0);
    if (belongs) {
      m_retired.insert(e.id);
      it = m_endpoints.erase(it);
    } else {
      ++it;
    }
  }
  return Ack(200, "receiverRemoved");
}

SimReply SessionManager::Battery(const SimRequest& request, ReceivedRequest& record) {
  Endpoint* endpoint = FindEndpoint(request.Header(kEndpointHeader));
  if (!endpoint) return Ack(404, "unknown endpoint");
  endpoint->battery = record.route == "lowBattery" ? "low" : "good";
  return Ack(200, record.route);
}

SimReply SessionManager::ActivatedStatus(const SimRequest&, ReceivedRequest&) {
  return XmlReply(200, ActivatedDocumentLocked());
}

SimReply SessionManager::Database(const SimRequest&, ReceivedRequest& record) {
  const std::string rest = record.path.substr(std::string("/voxlet/database/").size());
  for (size_t c = 0; c < m_classes.size(); ++c) {
    for (size_t a = 0; a < m_classes[c].assessments.size(); ++a) {
      const AssessmentSpec& entry = m_classes[c].assessments[a];
      const std::string assessmentPath = "classes/" + m_classes[c].id + "/" + entry.id;
      if (rest == assessmentPath && !entry.xml.empty()) {
        const std::optional<ResultsTable> results = ResultsLocked(c, a);
        return XmlReply(200, results ? WithSubmissions(entry.xml, *results) : entry.xml);
      }
      if (rest == assessmentPath + "/metadata" && !entry.rdf.empty()) return XmlReply(200, entry.rdf);
    }
  }
  return Ack(404, record.path);
}

SimReply SessionManager::Whois(const SimRequest& request, ReceivedRequest&) {
  Endpoint* endpoint = FindEndpoint(request.Header(kEndpointHeader));
  if (!endpoint) return Ack(404, "unknown endpoint");
  const XmlFields fields = ReadXmlFields(request.body);
  const auto number = fields.texts.find("number");
  if (number == fields.texts.end() || number->second.empty()) return Ack(400, "whois without number");
  std::string studentId;
  if (const Student* student = m_classes[m_class].FindByNumber(number->second))
    studentId = student->id;
  else if (m_anonymous)
    studentId = number->second;  // anonymous classes take every clicker under its own number
  if (studentId.empty()) return Ack(404, "unknown student");
  endpoint->studentId = studentId;
  SimReply reply = XmlReply(200, Declaration() + "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"" +
                                     Namespaces() + "><rdf:Description rdf:about=\"" +
                                     XmlEscape(kSubjectBase + "student:" + studentId) + "\"><voxlet:number>" +
                                     XmlEscape(number->second) + "</voxlet:number></rdf:Description></rdf:RDF>\n");
  reply.headers.emplace_back(kStudentHeader, studentId);
  return reply;
}

SimReply SessionManager::Signin(const SimRequest& request, ReceivedRequest&) {
  Endpoint* endpoint = FindEndpoint(request.Header(kEndpointHeader));
  if (!endpoint) return Ack(404, "unknown endpoint");
  const std::string student = request.Header(kStudentHeader);
  if (student.empty() || student != endpoint->studentId) return Ack(403, "student not identified");
  endpoint->signedIn = true;
  return Ack(200, "signin");
}

SimReply SessionManager::RaisedHandRequest(const SimRequest& request, ReceivedRequest&) {
  const XmlFields fields = ReadXmlFields(request.body);
  if (!fields.wellFormed) return Ack(400, "raised hand body");
  auto attribute = [&](const char* name) {
    const auto it = fields.attributes.find(std::string("raisedhand@") + name);
    return it == fields.attributes.end() ? std::string() : it->second;
  };
  m_hands.push_back({request.Header(kEndpointHeader), attribute("studentid"), attribute("value"), attribute("time")});
  return Ack(200, "raisedhand");
}

SimReply SessionManager::Submit(const SimRequest& request, ReceivedRequest& record) {
  Submission submission;
  submission.arrived = record.arrived;
  submission.endpointId = request.Header(kEndpointHeader);
  submission.studentId = request.Header(kStudentHeader);
  submission.assessmentId = record.query["assessment"];
  submission.classId = record.query["class"];
  const std::vector<BodyPart> parts = SplitMultipart(request.Header("Content-Type"), request.body);
  submission.parts = parts.size();
  submission.document = parts.empty() ? request.body : parts.front().content;
  if (!parts.empty()) {
    const auto type = parts.front().headers.find("content-type");
    const auto disposition = parts.front().headers.find("content-disposition");
    if (type != parts.front().headers.end()) submission.partContentType = type->second;
    if (disposition != parts.front().headers.end()) submission.partDisposition = disposition->second;
  }
  const XmlFields fields = ReadXmlFields(submission.document);
  const auto question = fields.attributes.find("response@questionid");
  if (question != fields.attributes.end()) submission.questionId = question->second;
  const auto answer = fields.texts.find("response");
  if (answer != fields.texts.end()) submission.answer = answer->second;
  if (submission.studentId.empty()) {
    const auto student = fields.attributes.find("submission@studentid");
    if (student != fields.attributes.end()) submission.studentId = student->second;
  }
  const int cls = FindClassLocked(submission.classId);
  const Endpoint* endpoint = FindEndpoint(submission.endpointId);
  const std::string mac = endpoint && endpoint->kind == "clicker" ? endpoint->address : std::string();
  const bool refused = !m_refused.empty() && (m_refused == submission.studentId || m_refused == mac);
  submission.accepted = !refused && fields.wellFormed && endpoint && cls >= 0 &&
                        m_classes[static_cast<size_t>(cls)].FindAssessment(submission.assessmentId);
  const bool repeated =
      submission.accepted &&
      !m_acceptedDocuments.emplace(submission.endpointId, SubmissionLedger::Digest(submission.document)).second;
  m_submissions.push_back(submission);
  SimReply reply = submission.accepted ? Ack(200, "submit")
                   : refused           ? Ack(403, "submissions of this clicker are refused")
                                       : Ack(404, "submission not accepted");
  reply.delayMs = m_submitDelayMs;
  if (m_ledger) {
    LedgerEntry entry;
    entry.outcome = !submission.accepted ? "refused" : repeated ? "duplicate" : "accepted";
    entry.status = reply.status;
    entry.delayMs = reply.delayMs;
    entry.endpoint = submission.endpointId;
    entry.student = submission.studentId;
    entry.mac = mac;
    entry.classId = submission.classId;
    entry.assessment = submission.assessmentId;
    entry.question = submission.questionId;
    entry.answer = submission.answer;
    entry.document = submission.document;
    m_ledger->Record(entry);
  }
  return reply;
}

void SessionManager::SetLedger(SubmissionLedger* ledger) {
  std::lock_guard lock(m_lock);
  m_ledger = ledger;
}

void SessionManager::RefuseClicker(const std::string& studentOrMac) {
  std::lock_guard lock(m_lock);
  m_refused = studentOrMac;
}

void SessionManager::DelaySubmissionReplies(int ms) {
  std::lock_guard lock(m_lock);
  m_submitDelayMs = ms;
}

SimReply SessionManager::Goodbye(const SimRequest& request, ReceivedRequest&) {
  const std::string id = request.Header(kEndpointHeader);
  if (m_endpoints.erase(id) == 0 && m_retired.erase(id) == 0) return Ack(404, "unknown endpoint");
  return Ack(200, "goodbye");
}

// ---- teacher actions -------------------------------------------------------------------------

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
  std::string ref = "<voxlet:assessmentref" + Attribute("assessmentid", id);
  if (!full) return ref + "/>";
  const auto it = m_assessments.find({m_class, assessment});
  const AssessmentState state = it == m_assessments.end() ? AssessmentState() : it->second;
  ref += Attribute("started", state.started) + Attribute("stopped", state.stopped) + ">";
  ref += "<voxlet:classref xlink:href=\"" + XmlEscape(classLink) + "\"/>";
  if (!state.currentQuestion.empty())
    ref += "<voxlet:currentQuestion" + Attribute("questionid", state.currentQuestion) + "/>";
  ref += "<voxlet:link" + Attribute("rel", kVocabulary + "rel#provides-metadata") + " xlink:href=\"" +
         XmlEscape(classLink + "/" + id + "/metadata") + "\"/>";
  return ref + "</voxlet:assessmentref>";
}

std::string SessionManager::ActivatedDocumentLocked() const {
  const ClassSpec& cls = m_classes[m_class];
  std::string doc = Declaration() + "<voxlet:activated" + Namespaces() + Attribute("networkname", m_networkName) + ">";
  doc += "<voxlet:classref xml:id=\"activated-class\"" + Attribute("classid", m_classActive ? cls.id : "") +
         Attribute("started", m_classStarted) + Attribute("stopped", m_classStopped) +
         Attribute("anonymous", m_anonymous ? "true" : "false") + "/>";
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
              "<voxlet:classref" + Attribute("classid", m_classes[index].id) + "/>");
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
              "<voxlet:classref" + Attribute("classid", m_classes[m_class].id) +
                  Attribute("nextclassanonymous", nextAnonymous ? "true" : "false") +
                  Attribute("logoff", logoff ? "true" : "false") + "/>");
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
  QueueLocked("", "notifications/question/activated", "<voxlet:currentQuestion" + Attribute("questionid", id) + "/>");
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
      QueueLocked("", kind, "<voxlet:endpointref" + Attribute("endpointid", id) + "/>");
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

// ---- observations ----------------------------------------------------------------------------

std::vector<ReceivedRequest> SessionManager::Requests() const {
  std::lock_guard lock(m_lock);
  return m_requests;
}

std::vector<Submission> SessionManager::Submissions() const {
  std::lock_guard lock(m_lock);
  return m_submissions;
}

namespace {

// The records from the `first`-th on.
template <class Record>
std::vector<Record> From(const std::vector<Record>& records, size_t first) {
  if (first >= records.size()) return {};
  return std::vector<Record>(records.begin() + static_cast<std::ptrdiff_t>(first), records.end());
}

}  // namespace

std::vector<Submission> SessionManager::SubmissionsFrom(size_t first) const {
  std::lock_guard lock(m_lock);
  return From(m_submissions, first);
}

size_t SessionManager::SubmissionCount() const {
  std::lock_guard lock(m_lock);
  return m_submissions.size();
}

std::vector<ReceivedRequest> SessionManager::RequestsFrom(size_t first) const {
  std::lock_guard lock(m_lock);
  return From(m_requests, first);
}

size_t SessionManager::RequestCount() const {
  std::lock_guard lock(m_lock);
  return m_requests.size();
}

std::vector<RaisedHand> SessionManager::RaisedHands() const {
  std::lock_guard lock(m_lock);
  return m_hands;
}

std::map<std::string, Endpoint> SessionManager::Endpoints() const {
  std::lock_guard lock(m_lock);
  return m_endpoints;
}

std::string SessionManager::EndpointKind(const std::string& id) const {
  std::lock_guard lock(m_lock);
  const auto found = m_endpoints.find(id);
  return found == m_endpoints.end() ? std::string() : found->second.kind;
}

namespace {
size_t RepeatedSubmissions(const std::vector<Submission>& submissions) {
  std::set<std::pair<std::string, std::string>> seen;
  size_t repeated = 0;
  for (const Submission& s : submissions) repeated += !seen.emplace(s.endpointId, s.document).second;
  return repeated;
}
}  // namespace

size_t SessionManager::DuplicateSubmissions() const {
  std::lock_guard lock(m_lock);
  return RepeatedSubmissions(m_submissions);
}

size_t SessionManager::Count(const std::string& route) const {
  std::lock_guard lock(m_lock);
  size_t n = 0;
  for (const ReceivedRequest& r : m_requests) n += r.route == route;
  return n;
}

bool SessionManager::WaitFor(const std::function<bool()>& predicate, double seconds) const {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
  std::unique_lock lock(m_lock);
  for (;;) {
    const uint64_t seen = m_version;
    lock.unlock();
    if (predicate()) return true;
    lock.lock();
    if (!m_changed.wait_until(lock, deadline, [&] { return m_version != seen; })) {
      lock.unlock();
      return predicate();
    }
  }
}

std::optional<ResultsTable> SessionManager::ResultsLocked(size_t cls, size_t assessment) const {
  const ClassSpec& c = m_classes[cls];
  const AssessmentSpec& entry = c.assessments.at(assessment);
  std::vector<RecordedAnswer> answers;
  for (const Submission& s : m_submissions)
    if (s.accepted && s.classId == c.id && s.assessmentId == entry.id)
      answers.push_back({s.studentId, s.questionId, s.answer});
  if (answers.empty()) return std::nullopt;
  return ComputeResults(c.id, entry.id, KeyLocked(cls, assessment), c.students, answers);
}

std::optional<ResultsTable> SessionManager::Results(const std::string& classId, const std::string& assessmentId) const {
  std::lock_guard lock(m_lock);
  const int cls = FindClassLocked(classId);
  if (cls < 0) return std::nullopt;
  const AssessmentSpec* entry = m_classes[static_cast<size_t>(cls)].FindAssessment(assessmentId);
  if (!entry) return std::nullopt;
  return ResultsLocked(static_cast<size_t>(cls),
                       static_cast<size_t>(entry - m_classes[static_cast<size_t>(cls)].assessments.data()));
}

std::string SessionManager::AssessmentDocument(const std::string& classId, const std::string& assessmentId) const {
  std::lock_guard lock(m_lock);
  const int cls = FindClassLocked(classId);
  if (cls < 0) return {};
  const ClassSpec& c = m_classes[static_cast<size_t>(cls)];
  const AssessmentSpec* entry = c.FindAssessment(assessmentId);
  if (!entry) return {};
  const auto results = ResultsLocked(static_cast<size_t>(cls), static_cast<size_t>(entry - c.assessments.data()));
  return results ? WithSubmissions(entry->xml, *results) : entry->xml;
}

std::string SessionManager::ResultsSummary() const {
  std::lock_guard lock(m_lock);
  std::string text;
  for (size_t c = 0; c < m_classes.size(); ++c)
    for (size_t a = 0; a < m_classes[c].assessments.size(); ++a)
      if (const auto results = ResultsLocked(c, a)) text += FormatResults(*results);
  return text.empty() ? "Results: no submissions recorded\n" : text;
}

std::string SessionManager::State() const {
  std::lock_guard lock(m_lock);
  const ClassSpec& cls = m_classes[m_class];
  std::string text = "class " + cls.id + (m_classActive ? " running" : " not running") +
                     (m_anonymous ? " (anonymous)" : "") + ", network name \"" + m_networkName + "\"";
  if (m_assessment >= 0) {
    const size_t a = static_cast<size_t>(m_assessment);
    const auto it = m_assessments.find({m_class, a});
    text += ", assessment " + cls.assessments[a].id + " running";
    if (it != m_assessments.end() && !it->second.currentQuestion.empty())
      text += ", question " + it->second.currentQuestion;
  } else {
    text += ", no assessment running";
  }
  return text + "\n";
}

std::string SessionManager::Progress() const {
  std::string text = State();
  text.pop_back();  // its line end
  std::lock_guard lock(m_lock);
  size_t signedIn = 0;
  for (const auto& [id, e] : m_endpoints) signedIn += e.kind == "clicker" && e.signedIn;
  size_t handsUp = 0;
  for (const RaisedHand& h : m_hands) handsUp += h.value == "true" ? 1 : 0;
  text += "; " + std::to_string(signedIn) + " clicker(s) signed in, " + std::to_string(handsUp) + " hand(s) raised";
  if (m_assessment >= 0) {
    const ClassSpec& cls = m_classes[m_class];
    const std::string& assessmentId = cls.assessments[static_cast<size_t>(m_assessment)].id;
    std::map<std::string, std::set<std::string>> answered;  // question -> students
    for (const Submission& s : m_submissions)
      if (s.accepted && s.classId == cls.id && s.assessmentId == assessmentId && !s.questionId.empty())
        answered[s.questionId].insert(s.studentId);
    text += "; answers:";
    if (answered.empty()) text += " none yet";
    for (const auto& [question, students] : answered) text += " " + question + "=" + std::to_string(students.size());
  }
  return text + "\n";
}

void SessionManager::OnFirstReceiverSubscribed(std::function<void()> callback) {
  std::lock_guard lock(m_lock);
  m_onFirstSubscription = std::move(callback);
}

std::string SessionManager::Summary() const {
  std::lock_guard lock(m_lock);
  std::ostringstream out;
  out << "Requests received: " << m_requests.size() << "\n";
  std::map<std::string, size_t> byRoute;
  for (const ReceivedRequest& r : m_requests) ++byRoute[r.route];
  for (const auto& [route, n] : byRoute) out << "  " << route << ": " << n << "\n";
  out << "Endpoints now: " << m_endpoints.size() << "\n";
  for (const auto& [id, e] : m_endpoints) {
    out << "  " << id << " (" << e.kind << (e.subscribed ? ", subscribed" : "") << (e.networkUp ? ", network up" : "");
    if (!e.studentId.empty()) out << ", student " << e.studentId << (e.signedIn ? " signed in" : "");
    if (!e.battery.empty()) out << ", battery " << e.battery;
    out << ")\n";
  }
  out << "Raised hands: " << m_hands.size() << "\n";
  for (const RaisedHand& h : m_hands) out << "  " << h.studentId << " " << h.value << " at " << h.time << "\n";
  out << "Submissions: " << m_submissions.size() << " (" << RepeatedSubmissions(m_submissions) << " duplicate)\n";
  for (const Submission& s : m_submissions)
    out << "  " << (s.studentId.empty() ? "?" : s.studentId) << " "
        << (s.questionId.empty() ? "(no answer)" : s.questionId + " = \"" + s.answer + "\"")
        << (s.accepted ? "" : " [refused]") << "\n";
  return out.str();
}

}  // namespace ServiceSim
