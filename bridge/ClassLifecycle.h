#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "bridge/AnswerPipeline.h"
#include "bridge/ClickerEndpoints.h"
#include "bridge/SerialWorker.h"
#include "bridge/SessionEnvironment.h"
#include "bridge/SessionHost.h"
#include "bridge/SimulatedAnswers.h"
#include "client/RdfGraph.h"
#include "client/XmlDocument.h"
#include "client/XmlSchema.h"
#include "text/StringBuffer.h"

class CReceiver;
class CReceiverNetwork;

// What the software service's notifications and the activated status lead to: the steps of the
// class and assessment lifecycle, each run on the lifecycle worker.
class IClassSteps {
 public:
  virtual ~IClassSteps() = default;
  // Completion of the activated-status query.
  virtual void OnActivatedStatusResponse(const Voxlet::MessagePtr& message) = 0;
  // assessment/activated and assessment/deactivated: their voxlet:assessmentref (may be null).
  virtual void ActivateAssessment(xercesc::DOMElement* assessmentRef) = 0;
  virtual void DeactivateAssessment(xercesc::DOMElement* assessmentRef) = 0;
  // class/deactivated: its voxlet:classref (may be null); true while classes are being switched.
  virtual bool StopClass(xercesc::DOMElement* classRef) = 0;
  // question/activated: the question id.
  virtual void ActivateQuestion(const Voxlet::StringBuffer& questionId) = 0;
  // networkname/updated: the new classroom name.
  virtual void SetClassroomName(const Voxlet::StringBuffer& name) = 0;
};

// What the lifecycle needs beyond the connection: the clickers, the activated-status query of
// the channel, and the answer pipeline's parts.
class ILifecycleHost : public ISessionHost {
 public:
  virtual IClassClickers& ClassClickers() = 0;
  // Sets the activated-status query pending again, to be sent with the next hello reply.
  virtual void AskActivatedStatusAfterScan() = 0;
  // A new assessment: the parts of multi-packet answers collected so far belong to none.
  virtual void ClearAnswerParts() = 0;
};

// The class and assessment lifecycle of one receiver: the notifications taken up one batch
// after the other, the activated status, starting, stopping and switching classes on the
// receiver's network, the assessment and its questions, the review mode and the results, and the
// simulated-answers mode. Its steps run on the lifecycle worker, one at a time in the order the
// software service gave them; a class switch waiting for its clickers' log-offs holds the steps
// after it.
//
// Owns the class and assessment state, the log-off count of a switch, the lifecycle worker and
// the simulated answers; its lock guards only the state and the count (and is what the wait
// for log-offs waits on). It is a leaf: the host, the receiver and the clickers are called
// without it.
class CClassLifecycle : public IClassSteps {
 public:
  CClassLifecycle(ILifecycleHost& host, CReceiver& receiver, const SessionEnvironment& environment);
  CClassLifecycle(const CClassLifecycle&) = delete;
  CClassLifecycle& operator=(const CClassLifecycle&) = delete;

  // IClassSteps.
  void OnActivatedStatusResponse(const Voxlet::MessagePtr& message) override;
  void ActivateAssessment(xercesc::DOMElement* assessmentRef) override;
  void DeactivateAssessment(xercesc::DOMElement* assessmentRef) override;
  bool StopClass(xercesc::DOMElement* classRef) override;
  void ActivateQuestion(const Voxlet::StringBuffer& questionId) override;
  void SetClassroomName(const Voxlet::StringBuffer& name) override;
  // Where the lifecycle's own steps and the notifications go: this lifecycle, or what
  // UseClassSteps put in front of it (before the receiver opens).
  IClassSteps& Steps() { return *m_steps; }
  void UseClassSteps(IClassSteps& steps) { m_steps = &steps; }

  // A batch of notifications, sorted, with the document that holds them: taken up after the
  // batches and replies before it.
  void TakeNotifications(Voxlet::XmlDocumentPtr document, Voxlet::XmlElementList notifications);
  void SendActivatedStatusQuery();

  Voxlet::StringBuffer CurrentClassId() const;
  void SetCurrentClassId(const Voxlet::StringBuffer& classId);
  Voxlet::StringBuffer CurrentQuestionId() const;
  void SetCurrentQuestionId(const Voxlet::StringBuffer& questionId);
  // The class takes clickers without a login; classes are being switched.
  IClickerEndpointsHost::ClassLogin CurrentClassLogin() const;
  // The question of the active assessment an answer is for.
  std::optional<AnsweredQuestion> FindAnsweredQuestion(unsigned int questionNumber);
  // Where the current assessment's submissions go.
  Voxlet::StringBuffer SubmitPath() const;
  bool AssessmentStarted() const;

  // A clicker logged off (a class switch counts them).
  void CountLogOff();
  // Runs the task on the lifecycle worker after everything posted before; dropped once the
  // lifecycle has stopped.
  bool Post(SerialWorker::Task task) { return m_worker.Post(std::move(task)); }
  // The receiver closes: the steps queued are dropped, a class switch still waiting for
  // log-offs ends, the simulated answers stop.
  void Stop();
  // The simulated answers one last call started before the call gate shut.
  void JoinSimulatedAnswers() { m_simulatedAnswers.StopAndJoin(); }
  // The receiver opens again.
  void Restart();

 private:
  friend struct BridgeNotifications;
  void StartClass(xercesc::DOMElement* classRef);
  void SendQuestions();
  Voxlet::StringBuffer GetAssessmentFeedback();
  // Session end to all, pause, network stop, pause: queued, nobody sleeps.
  void PowerDown(CReceiverProtocolHandler& handler);
  void SendResults(const Voxlet::XmlDocumentPtr& document);
  // Waits until `expected` log-offs came, the switch's time is up, or the lifecycle stops
  // (false).
  bool WaitForLogOffs(int expected);
  // A request with the completion run on the lifecycle worker, in order with the notifications.
  Voxlet::MessagePtr NewLifecycleRequest(int method, const Voxlet::StringBuffer& path,
                                         ISessionHost::Completion completion);
  bool IssueReceiverCommands(const ISessionHost::ReceiverCommands& send) { return m_host.SendReceiverCommands(send); }
  CReceiverNetwork& Network();

  ILifecycleHost& m_host;
  CReceiver& m_receiver;
  const int m_powerDownStepMs;
  const int m_switchWaitMs;
  const int m_simulatedAnswersFirstWaitMs;
  const bool m_sendWholeAssessment;
  IClassSteps* m_steps = this;

  mutable std::mutex m_lock;
  Voxlet::StringBuffer m_currentClassId;
  Voxlet::StringBuffer m_currentQuestionId;
  Voxlet::StringBuffer m_classroomName;
  bool m_anonymous = false;
  Voxlet::StringBuffer m_classLink;
  Voxlet::StringBuffer m_currentAssessmentId;
  bool m_assessmentActive = false;
  std::shared_ptr<Voxlet::RDF::Graph> m_assessmentGraph;
  Voxlet::XmlDocumentPtr m_assessmentDocument;
  std::vector<unsigned int> m_packagedQuestions;
  bool m_switchingClasses = false;
  // The log-off counter of a class switch, signalled by m_logOffsChanged, as is m_stopping (the
  // close step ends a switch's wait).
  int m_logOffCount = 0;
  bool m_stopping = false;
  std::condition_variable m_logOffsChanged;

  // The lifecycle worker: stopped by the close step before anything it uses goes.
  SerialWorker m_worker;
  // The simulated-answers mode (its own locks; never called with a lock held). Declared last:
  // its thread is gone before any other member.
  CSimulatedAnswers m_simulatedAnswers;
};
