// The simulated session manager: its routes and the requests of the hardware service it answers
// (hello, subscription, receivers, batteries, whois, sign-in, raised hands, submissions, goodbye).
// The teacher's actions are in SessionTeacherActions.cpp, what it shows in SessionObservations.cpp.
#include "tools/service-sim/SessionManager.h"

#include <chrono>

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

// A small acknowledgement document (or an error one) for requests whose reply carries nothing.
SimReply Ack(int status, const std::string& what) {
  return XmlReply(status, XmlDeclaration() + "<voxlet:" + (status < 400 ? "ok" : "error") + VoxletNamespaces() +
                              " voxlet:request=\"" + XmlEscape(what) + "\"/>\n");
}

std::string KindOfSubject(const std::string& subject) {
  if (subject == kSubjectBase + "receiver") return "receiver";
  if (subject == kSubjectBase + "clicker") return "clicker";
  if (subject == kSubjectBase + "hardwareservice") return "hardwareservice";
  return "other";
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
    m_saidGoodbye.erase(id);
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
  return XmlReply(created ? 201 : 200, XmlDeclaration() + "<voxlet:runtime" + VoxletNamespaces() +
                                           "><voxlet:notifications>" + notifications +
                                           "</voxlet:notifications></voxlet:runtime>\n");
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
  SimReply reply =
      XmlReply(200, XmlDeclaration() + "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"" +
                        VoxletNamespaces() + "><rdf:Description rdf:about=\"" +
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
    // Refused because its clicker's goodbye came first: the requests of one clicker out of order.
    const bool afterGoodbye = !endpoint && m_saidGoodbye.count(submission.endpointId);
    entry.outcome = submission.accepted ? (repeated ? "duplicate" : "accepted")
                    : afterGoodbye      ? "after-goodbye"
                                        : "refused";
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
  m_saidGoodbye.insert(id);
  return Ack(200, "goodbye");
}

}  // namespace ServiceSim
