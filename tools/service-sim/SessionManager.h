#pragma once
// The simulated session manager: endpoints, subscriptions, notification queues, the class and
// assessment state, and a record of everything received. Transport-free: the HTTP server hands
// it each request. Thread-safe (one lock).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/service-sim/Grading.h"
#include "tools/service-sim/Results.h"
#include "tools/service-sim/Scenario.h"
#include "tools/service-sim/SimTypes.h"
#include "tools/service-sim/SubmissionLedger.h"

namespace ServiceSim {

inline const std::string kEndpointHeader = "X-Vantrel-Voxlet-Endpoint";
inline const std::string kStudentHeader = "X-Vantrel-Voxlet-Student";
inline const std::string kMacHeader = "X-Vantrel-Voxlet-MacAddress";

struct Endpoint {
  std::string id;
  std::string subject;  // the hello's subject
  std::string kind;     // "receiver", "clicker", "hardwareservice" or "other", from the subject
  bool subscribed = false;
  bool networkUp = false;  // last receiverConnected.js report
  std::string address;     // voxlet:address of a receiver hello, or the clicker's MAC
  std::string receiverId;  // a clicker's receiver endpoint
  std::string studentId;   // from whois
  bool signedIn = false;
  std::string battery, signal;                            // a clicker's last status
  std::deque<std::pair<std::string, std::string>> queue;  // (xml:id, notification XML)
};

// Everything received, in order.
struct ReceivedRequest {
  std::string route;  // the handler's name ("hello", "whois", ..., "unknown")
  std::string method;
  std::string path;  // decoded, without the query
  std::map<std::string, std::string> query;
  std::map<std::string, std::string> headers;
  std::string body;
  int status = 0;                                 // the status answered
  std::chrono::steady_clock::time_point arrived;  // when the whole request was handed over
};

struct Submission {
  std::string endpointId, studentId, assessmentId, classId;
  std::string questionId;  // empty for an empty (session-end) submission
  std::string answer;      // the response's text
  std::string document;    // the submission document as received
  size_t parts = 0;        // sections of a multipart body
  std::string partContentType, partDisposition;
  bool accepted = false;
  std::chrono::steady_clock::time_point arrived;  // of the request that carried it
};

struct RaisedHand {
  std::string endpointId, studentId, value, time;
};

class SessionManager {
 public:
  explicit SessionManager(Scenario scenario);

  SimReply Handle(const SimRequest& request);

  // Teacher actions; each queues its notification to every subscribed receiver endpoint.
  // Classes and assessments are named by id; an empty id means the current class (at first the
  // scenario's first) and its first assessment. False for an unknown name.
  // Activating another class while one runs stops that one first (no log-off switch).
  bool ActivateClass(const std::string& classId = "");
  void DeactivateClass(bool logoff, bool nextAnonymous);
  // Switches from the running class to another without stopping the network: class
  // deactivated with log-off (next-anonymous as the new class is) and class activated, both in
  // the same batch. With no class running it activates the class.
  bool SwitchClass(const std::string& classId);
  // Activating another assessment of the class stops the one that runs first.
  bool ActivateAssessment(const std::string& assessmentId = "");
  void DeactivateAssessment();
  // By xml:id, or by question number; of the running assessment (else the class's first).
  bool ActivateQuestion(const std::string& questionId);
  // The question after the current one in document order (the first when none is current);
  // false after the last.
  bool NextQuestion();
  void DeactivateQuestion();
  void SetNetworkName(const std::string& name);
  // By student id; false when no clicker endpoint has that student.
  bool DisconnectStudent(const std::string& studentId);
  bool CancelRaisedHand(const std::string& studentId);
  void ReviewModeOff();
  void DatabaseOpened();
  // To the hardware-service endpoint.
  void ModeSwitching();
  // While held, polls carry no notifications; what was queued meanwhile goes out in one batch at
  // each endpoint's next poll after the release (several teacher actions in one poll reply).
  void HoldNotifications(bool held);
  // Runs a timeline action; false for an unknown action or bad arguments.
  bool RunAction(const TimelineEvent& event);
  // Queues a notification of `kind` (relative to the vocabulary) with `inner` XML to the endpoint
  // (or, with an empty id, to every subscribed receiver); returns its xml:id.
  std::string QueueNotification(const std::string& endpointId, const std::string& kind, const std::string& inner);

  // The activated-status document of the current state.
  std::string ActivatedDocument() const;
  // The assessment document as served: with the results of the submissions recorded for it,
  // once there are any. Empty for an unknown class or assessment.
  std::string AssessmentDocument(const std::string& classId, const std::string& assessmentId) const;
  // The results of an assessment of a class from the submissions recorded for it.
  std::optional<ResultsTable> Results(const std::string& classId, const std::string& assessmentId) const;
  // The results tables of every assessment with submissions, as text.
  std::string ResultsSummary() const;
  // Current state, for the control path: class, assessment, question.
  std::string State() const;
  // One line for a person following a lesson: the state, the clickers signed in, raised hands,
  // and the answers to each question of the running assessment so far.
  std::string Progress() const;

  // Observations (copies).
  std::vector<ReceivedRequest> Requests() const;
  std::vector<Submission> Submissions() const;
  // The submissions from the `first`-th on, and how many there are, without copying the rest.
  std::vector<Submission> SubmissionsFrom(size_t first) const;
  size_t SubmissionCount() const;
  // The same for every request received.
  std::vector<ReceivedRequest> RequestsFrom(size_t first) const;
  size_t RequestCount() const;
  std::vector<RaisedHand> RaisedHands() const;
  std::map<std::string, Endpoint> Endpoints() const;
  // The kind of an endpoint ("receiver", "clicker", ...), empty for an unknown id.
  std::string EndpointKind(const std::string& id) const;
  // Submissions that repeat an earlier one of the same endpoint byte for byte (the same
  // document, so the same answer sent again rather than a second thought).
  size_t DuplicateSubmissions() const;
  size_t Count(const std::string& route) const;
  // Blocks until `predicate` holds (evaluated after every request handled and every action) or
  // `seconds` pass; the predicate may call the observers above.
  bool WaitFor(const std::function<bool()>& predicate, double seconds) const;
  // Every submission is recorded in `ledger` (not owned; it outlives the manager) from now on.
  void SetLedger(SubmissionLedger* ledger);
  // Submissions of the clicker with this student id or MAC address are refused with 403 (the
  // service's verdict) until cleared; an empty text clears.
  void RefuseClicker(const std::string& studentOrMac);
  // Replies to submissions (handled and recorded at once) go out only after `ms`; 0 ends it.
  void DelaySubmissionReplies(int ms);

  // Called (without the lock) when the first receiver subscribes.
  void OnFirstReceiverSubscribed(std::function<void()> callback);

  // What was received, in words.
  std::string Summary() const;

 private:
  using Route = SimReply (SessionManager::*)(const SimRequest&, ReceivedRequest&);
  struct RouteEntry {
    const char* name;
    const char* method;  // "" for any
    const char* path;
    bool prefix;
    Route handler;
  };
  static const RouteEntry kRoutes[];

  SimReply Hello(const SimRequest&, ReceivedRequest&);
  SimReply Subscribe(const SimRequest&, ReceivedRequest&);
  SimReply ModeSwitchingRequest(const SimRequest&, ReceivedRequest&);
  SimReply ReceiverConnected(const SimRequest&, ReceivedRequest&);
  SimReply ReceiverRemoved(const SimRequest&, ReceivedRequest&);
  SimReply Battery(const SimRequest&, ReceivedRequest&);
  SimReply ActivatedStatus(const SimRequest&, ReceivedRequest&);
  SimReply Database(const SimRequest&, ReceivedRequest&);
  SimReply Whois(const SimRequest&, ReceivedRequest&);
  SimReply Signin(const SimRequest&, ReceivedRequest&);
  SimReply RaisedHandRequest(const SimRequest&, ReceivedRequest&);
  SimReply Submit(const SimRequest&, ReceivedRequest&);
  SimReply Goodbye(const SimRequest&, ReceivedRequest&);

  // Puts the scenario's running class, assessment and question in place (the constructor).
  void ResumeRunning();
  // Queues `kind` naming the clicker endpoint of the student; false when there is none.
  bool NotifyAboutStudent(const std::string& studentId, const std::string& kind);

  struct AssessmentState {
    std::string started, stopped, currentQuestion;
  };

  // Under m_lock.
  std::string QueueLocked(const std::string& endpointId, const std::string& kind, const std::string& inner);
  std::string AssessmentRefLocked(size_t assessment, bool full) const;
  std::string ActivatedDocumentLocked() const;
  Endpoint* FindEndpoint(const std::string& id);
  int FindClassLocked(const std::string& id) const;
  void StopAssessmentLocked();
  void StopClassLocked(bool logoff, bool nextAnonymous);
  void StartClassLocked(size_t index);
  bool ActivateQuestionLocked(const std::string& questionId);
  const AssessmentKey& KeyLocked(size_t cls, size_t assessment) const;
  size_t CurrentAssessmentLocked() const;  // the running one, else the class's first
  std::optional<ResultsTable> ResultsLocked(size_t cls, size_t assessment) const;

  const Scenario m_scenario;
  const std::vector<ClassSpec> m_classes;          // at least one
  std::vector<std::vector<AssessmentKey>> m_keys;  // per class, per assessment
  std::map<std::pair<size_t, size_t>, AssessmentState> m_assessments;
  size_t m_class = 0;               // the class the activated status describes
  int m_assessment = -1;            // the running assessment of that class, -1 for none
  std::set<std::string> m_retired;  // clicker endpoints removed with their receiver
  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  std::map<std::string, Endpoint> m_endpoints;
  uint64_t m_notificationSeq = 0;
  uint64_t m_version = 0;  // bumped by every change
  std::string m_networkName;
  bool m_classActive = false;
  bool m_anonymous = false;
  std::string m_classStarted, m_classStopped;
  std::vector<ReceivedRequest> m_requests;
  std::vector<Submission> m_submissions;
  std::vector<RaisedHand> m_hands;
  bool m_receiverSubscribed = false;
  bool m_notificationsHeld = false;
  std::function<void()> m_onFirstSubscription;
  SubmissionLedger* m_ledger = nullptr;
  std::string m_refused;  // student id or MAC address whose submissions get 403
  int m_submitDelayMs = 0;
  std::set<std::pair<std::string, std::string>> m_acceptedDocuments;  // (endpoint, document digest)
};

}  // namespace ServiceSim
