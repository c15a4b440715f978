// What the simulated session manager shows its tests and its program: the requests and
// submissions it received, the endpoints, the results and the state and progress summaries.
#include <chrono>
#include <set>
#include <sstream>

#include "tools/service-sim/SessionManager.h"
#include "tools/service-sim/SimText.h"

namespace ServiceSim {

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
