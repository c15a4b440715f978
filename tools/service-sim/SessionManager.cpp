#include "tools/service-sim/SessionManager.h"

#include <chrono>
#include <cstdio>
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
    : m_scenario(std::move(scenario)), m_networkName(m_scenario.networkName), m_anonymous(m_scenario.anonymous) {}

SimReply SessionManager::Handle(const SimRequest& request) {
  ReceivedRequest record;
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
  for (const auto& entry : endpoint->queue) notifications += entry.second;
  endpoint->queue.clear();
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

SimReply SessionManager::ReceiverRemoved(const SimRequest&, ReceivedRequest&) { return Ack(200, "receiverRemoved"); }

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
  const std::string assessmentPath = "classes/" + m_scenario.classId + "/" + m_scenario.assessmentId;
  if (rest == assessmentPath && !m_scenario.assessmentXml.empty()) return XmlReply(200, m_scenario.assessmentXml);
  if (rest == assessmentPath + "/metadata" && !m_scenario.metadataRdf.empty())
    return XmlReply(200, m_scenario.metadataRdf);
  return Ack(404, record.path);
}

SimReply SessionManager::Whois(const SimRequest& request, ReceivedRequest&) {
  Endpoint* endpoint = FindEndpoint(request.Header(kEndpointHeader));
  if (!endpoint) return Ack(404, "unknown endpoint");
  const XmlFields fields = ReadXmlFields(request.body);
  const auto number = fields.texts.find("number");
  if (number == fields.texts.end() || number->second.empty()) return Ack(400, "whois without number");
  std::string studentId;
  if (const Student* student = m_scenario.FindByNumber(number->second))
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
  submission.accepted = fields.wellFormed && FindEndpoint(submission.endpointId) &&
                        submission.assessmentId == m_scenario.assessmentId && submission.classId == m_scenario.classId;
  m_submissions.push_back(submission);
  return submission.accepted ? Ack(200, "submit") : Ack(404, "submission not accepted");
}

SimReply SessionManager::Goodbye(const SimRequest& request, ReceivedRequest&) {
  if (m_endpoints.erase(request.Header(kEndpointHeader)) == 0) return Ack(404, "unknown endpoint");
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

std::string SessionManager::AssessmentRefLocked(bool full) const {
  const std::string classLink = "classes/" + m_scenario.classId;
  std::string ref = "<voxlet:assessmentref" + Attribute("assessmentid", m_scenario.assessmentId);
  if (!full) return ref + "/>";
  ref += Attribute("started", m_assessmentStarted) + Attribute("stopped", m_assessmentStopped) + ">";
  ref += "<voxlet:classref xlink:href=\"" + XmlEscape(classLink) + "\"/>";
  if (!m_currentQuestion.empty()) ref += "<voxlet:currentQuestion" + Attribute("questionid", m_currentQuestion) + "/>";
  ref += "<voxlet:link" + Attribute("rel", kVocabulary + "rel#provides-metadata") + " xlink:href=\"" +
         XmlEscape(classLink + "/" + m_scenario.assessmentId + "/metadata") + "\"/>";
  return ref + "</voxlet:assessmentref>";
}

std::string SessionManager::ActivatedDocumentLocked() const {
  std::string doc = Declaration() + "<voxlet:activated" + Namespaces() + Attribute("networkname", m_networkName) + ">";
  doc += "<voxlet:classref xml:id=\"activated-class\"" + Attribute("classid", m_classActive ? m_scenario.classId : "") +
         Attribute("started", m_classStarted) + Attribute("stopped", m_classStopped) +
         Attribute("anonymous", m_anonymous ? "true" : "false") + "/>";
  doc += "<voxlet:assessmentrefs>" + AssessmentRefLocked(true) + "</voxlet:assessmentrefs></voxlet:activated>\n";
  return doc;
}

std::string SessionManager::ActivatedDocument() const {
  std::lock_guard lock(m_lock);
  return ActivatedDocumentLocked();
}

void SessionManager::ActivateClass() {
  {
    std::lock_guard lock(m_lock);
    m_classActive = true;
    m_classStarted = UtcTimestamp();
    m_classStopped.clear();
    QueueLocked("", "notifications/class/activated",
                "<voxlet:classref" + Attribute("classid", m_scenario.classId) + "/>");
  }
  m_changed.notify_all();
}

void SessionManager::DeactivateClass(bool logoff, bool nextAnonymous) {
  {
    std::lock_guard lock(m_lock);
    m_classActive = logoff;  // a log-off switch keeps a class running
    m_classStopped = logoff ? std::string() : UtcTimestamp();
    m_anonymous = nextAnonymous;
    QueueLocked("", "notifications/class/deactivated",
                "<voxlet:classref" + Attribute("classid", m_scenario.classId) +
                    Attribute("nextclassanonymous", nextAnonymous ? "true" : "false") +
                    Attribute("logoff", logoff ? "true" : "false") + "/>");
  }
  m_changed.notify_all();
}

void SessionManager::ActivateAssessment() {
  {
    std::lock_guard lock(m_lock);
    m_assessmentStarted = UtcTimestamp();
    m_assessmentStopped.clear();
    m_currentQuestion.clear();
    QueueLocked("", "notifications/assessment/activated", AssessmentRefLocked(true));
  }
  m_changed.notify_all();
}

void SessionManager::DeactivateAssessment() {
  {
    std::lock_guard lock(m_lock);
    m_assessmentStopped = UtcTimestamp();
    m_currentQuestion.clear();
    QueueLocked("", "notifications/assessment/deactivated", AssessmentRefLocked(false));
  }
  m_changed.notify_all();
}

void SessionManager::ActivateQuestion(const std::string& questionId) {
  {
    std::lock_guard lock(m_lock);
    m_currentQuestion = questionId;
    QueueLocked("", "notifications/question/activated",
                "<voxlet:currentQuestion" + Attribute("questionid", questionId) + "/>");
  }
  m_changed.notify_all();
}

void SessionManager::DeactivateQuestion() {
  {
    std::lock_guard lock(m_lock);
    m_currentQuestion.clear();
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

bool SessionManager::RunAction(const TimelineEvent& event) {
  const auto& a = event.args;
  auto has = [&](const char* word) { return std::find(a.begin(), a.end(), word) != a.end(); };
  const std::string& action = event.action;
  if (action == "activate-class")
    ActivateClass();
  else if (action == "deactivate-class")
    DeactivateClass(has("logoff"), has("next-anonymous"));
  else if (action == "activate-assessment")
    ActivateAssessment();
  else if (action == "deactivate-assessment")
    DeactivateAssessment();
  else if (action == "activate-question" && a.size() == 1)
    ActivateQuestion(a[0]);
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

std::vector<RaisedHand> SessionManager::RaisedHands() const {
  std::lock_guard lock(m_lock);
  return m_hands;
}

std::map<std::string, Endpoint> SessionManager::Endpoints() const {
  std::lock_guard lock(m_lock);
  return m_endpoints;
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
  out << "Submissions: " << m_submissions.size() << "\n";
  for (const Submission& s : m_submissions)
    out << "  " << (s.studentId.empty() ? "?" : s.studentId) << " "
        << (s.questionId.empty() ? "(no answer)" : s.questionId + " = \"" + s.answer + "\"")
        << (s.accepted ? "" : " [refused]") << "\n";
  return out.str();
}

}  // namespace ServiceSim
