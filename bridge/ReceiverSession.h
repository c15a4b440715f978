#pragma once
#include <atomic>
#include <boost/signals2/connection.hpp>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/AnswerPipeline.h"
#include "bridge/AnswerSpool.h"
#include "bridge/CallGate.h"
#include "bridge/ClassLifecycle.h"
#include "bridge/ClickerEndpoints.h"
#include "bridge/ClickerLines.h"
#include "bridge/ClickerRegistry.h"
#include "bridge/SerialWorker.h"
#include "bridge/ServiceChannel.h"
#include "bridge/SessionEnvironment.h"
#include "bridge/SimulatedAnswers.h"
#include "client/RdfGraph.h"
#include "client/XmlDocument.h"
#include "content/PacketContainer.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverSession.h"
#include "text/StringBuffer.h"

namespace Voxlet {
class Client;
class Message;
using ClientPtr = std::shared_ptr<Client>;
using MessagePtr = std::shared_ptr<Message>;
}  // namespace Voxlet

// A receiver's session with the software service: the client and its signals, the receiver's
// endpoint and subscription, the notifications, and the class and assessment state they drive.
// It is the front the receiver and the client call: every call passes its call gate and goes to
// the part that handles it. The parts (each with a lock of its own):
//   CServiceChannel    the client and its signals, the endpoint, its subscription, the polls, the
//                      goodbye, the requests
//   CClickerEndpoints  the clickers as endpoints of the software service, and their registry
//   CAnswerPipeline    the answers on their way to the software service, and the answer spool
//   CClassLifecycle    the class and assessment state, the lifecycle worker, the notifications'
//                      steps, the wait for log-offs, the simulated answers
// ask the session for what they do not own through their host interfaces (ISessionHost). What
// the client's signals and the hello replies lead to (the orchestration of the parts) is the
// session's own. The lifecycle, the notifications and the goodbye reach the clickers through
// IClassClickers, and the notifications reach the lifecycle through IClassSteps
// (UseClassClickers and UseClassSteps put others in front of them).
// It attaches itself to its receiver when built and detaches when destroyed; it closes the
// receiver first, so that no receiver thread and no client callback reaches it afterwards. The
// receiver must outlive its session (build the receiver first, destroy the session first).
// A subclass that overrides the hand-overs below calls Close in its own destructor for the same
// reason.
//
// Threads. Client-library threads run the state, tick and completion handlers; the receiver's
// dispatcher runs the packet hand-overs (IReceiverSession); the receiver's start-up worker
// connects; the close step shuts down. Every call from those threads passes the call gate, which
// the close step shuts and drains. The class and assessment lifecycle (the notifications, the
// activated status and the assessment's requests) runs on the lifecycle worker, one step at a
// time in the order the software service gave them: a class switch waiting for its clickers'
// log-offs holds the steps after it, and neither the client library's threads nor the
// receiver's dispatcher (which brings the log-offs) wait for it.
//
// Locks.
// - The command lock serialises the session's receiver commands (IssueReceiverCommands) and
//   guards the closing flag. It is taken before the network's state lock and the protocol
//   handler's send lock, never the other way round, and never around a wait: pauses between
//   commands are queued in the send queue (CReceiverProtocolHandler::QueuePause), so that no
//   client-library thread sleeps.
// - The session lock guards the call gate of the moment; it is a leaf.
// - The service channel's lock (CServiceChannel) guards the client, its signal connections and
//   the connection's state; it is held around the client's connect, send (which keeps requests
//   and the goodbye in order) and state, and nothing else is called with it held.
// - The answer pipeline's lock (CAnswerPipeline) guards the answers on their way; it takes
//   nothing else while holding it but a late record's lock, and calls the session
//   (IAnswerPipelineHost) only without it.
// - The clicker endpoints' lock (CClickerEndpoints: the software side's cooldown, the clickers
//   a closing receiver keeps) is a leaf; so are the lifecycle's (CClassLifecycle: the class and
//   assessment state, the log-off count its switch waits on), the clicker registry's, the
//   clicker lines', the answer spool's and the call gate's.
// In order: command lock -> network state lock -> send lock; service channel lock -> the
// client's connect, send and state; answer pipeline lock -> late record lock. No part is called
// with the session lock held, and no part calls out with its own lock held.
// The protocol handler calls its packet handlers without its send lock held, so a hand-over may
// take the command lock.
class CReceiverSession : public IReceiverSession,
                         private IAnswerPipelineHost,
                         private IClickerEndpointsHost,
                         private ILifecycleHost {
 public:
  CReceiverSession(CReceiver& receiver, SessionEnvironment environment = {});
  ~CReceiverSession() override;
  CReceiverSession(const CReceiverSession&) = delete;
  CReceiverSession& operator=(const CReceiverSession&) = delete;

  CReceiver& Receiver() { return m_receiver; }
  // Closes the receiver (and with it this session's connection).
  void Close() { m_receiver.Close(); }

  // IReceiverSession.
  // The start-up worker's last step: creates the client, connects its signals, connects.
  void ConnectToSoftwareService() override;
  void ReopenServiceConnection() override;
  // The close step's first part: the lifecycle stopped, the answers already on their way sent,
  // the goodbye.
  void ShutDownServiceConnection() override;
  // Its last part: signals off, closing set, client let go, callbacks drained, and every answer
  // not yet taken by the software service left in the answer spool.
  void ReleaseServiceConnection() override;
  // The receiver-connected report of a network that came up, when one is pending (dispatcher).
  void ReportNetworkUpIfPending() override;
  // Sets the activated-status query pending again, to be sent with the next poll reply.
  void AskActivatedStatusAgain() override;
  void OnPropertyQueryMacAddr(uint32_t macHigh, uint32_t macLow) override;
  void OnDeviceDisassociated(uint16_t address) override;
  void OnLoginOff(uint16_t address) override;
  void OnClickerStatus(uint16_t address, uint8_t battery, uint8_t linkQuality) override;
  void OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow, const Voxlet::StringBuffer& studentId,
                           bool autoLogin) override;
  void OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow) override;
  void OnHandUp(uint16_t address, bool handUp) override;
  void OnLoginGrantConfirm(uint16_t address, bool confirmed) override;
  void OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer) override;
  void OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets, uint8_t packetNumber,
                              uint8_t questionNumber, const uint8_t* data, uint32_t dataLength) override;
  void OnSessionEndRemote(uint16_t address) override;

  // The client's state-changed and periodic signals.
  void OnClientStateChanged(Voxlet::Client& client, int state);
  void OnClientTick(Voxlet::Client& client);
  // Completion of every receiver hello: endpoint creation, subscription, notifications.
  void OnHelloResponse(const Voxlet::MessagePtr& message);
  // Completion of requests whose reply is not used.
  void LogIfFailed(const Voxlet::MessagePtr& message) override;
  void LogUnexpectedEvent(const Voxlet::MessagePtr& message) override;
  // The close step's farewell: removes the receiver and its clickers from the software service.
  void SayGoodbye();
  Voxlet::ClientPtr ServiceClient() const;
  // "receiver." + the receiver address; empty while the receiver has no endpoint.
  Voxlet::StringBuffer EndpointId() const override;
  // The MAC as "00-11-22-33-44-55-66-77"; empty until the receiver reported it.
  Voxlet::StringBuffer ReceiverAddress() const override;
  bool Subscribed() const override;
  Voxlet::StringBuffer CurrentClassId() const;
  void SetCurrentClassId(const Voxlet::StringBuffer& classId);
  Voxlet::StringBuffer CurrentQuestionId() const;
  void SetCurrentQuestionId(const Voxlet::StringBuffer& questionId);
  // The clickers of this receiver.
  const ClickerRegistry& Clickers() const { return m_clickerEndpoints.Registry(); }
  // Answers waiting for the software service to come back.
  size_t HeldAnswerCount() const;
  // Ticks left before another software-side clicker action is taken.
  int SoftwareActionCooldown() const;
  void SetSoftwareActionCooldown(int ticks);

 protected:
  // The class lifecycle's steps, as the notifications and the activated status reach them: the
  // lifecycle, or what UseClassSteps put in front of it (before the receiver opens).
  IClassSteps& ClassLifecycle() { return m_classLifecycle; }
  void UseClassSteps(IClassSteps& steps) { m_classLifecycle.UseClassSteps(steps); }

  // The clickers as the class lifecycle, the notifications and the goodbye use them: the
  // clicker endpoints, or what UseClassClickers put in front of them.
  IClassClickers& ClassClickers() override { return *m_classClickers; }
  // Puts `clickers` between the lifecycle and the clicker endpoints; before the receiver opens.
  void UseClassClickers(IClassClickers& clickers) { m_classClickers = &clickers; }
  // The clicker endpoints themselves, whatever stands in front of them.
  IClassClickers& ClickerEndpoints() { return m_clickerEndpoints; }

  // Runs send(handler) under the command lock unless the receiver is closing; false when
  // nothing was sent. Every receiver command of the session goes through here.
  template <class F>
  bool IssueReceiverCommands(F&& send) {
    std::lock_guard<std::mutex> guard(m_commandLock);
    CReceiverProtocolHandler* handler = m_receiver.Handler();
    if (m_closing || !handler) return false;
    send(*handler);
    return true;
  }

  // Requests to the software service.
  using CompletionHandler = void (CReceiverSession::*)(const Voxlet::MessagePtr&);
  using Completion = std::function<void(const Voxlet::MessagePtr&)>;
  Voxlet::MessagePtr NewServiceRequest(int method, const Voxlet::StringBuffer& path, Completion completion,
                                       bool endpointHeader = true) override;
  // A request with the completion bound (run only while the session admits callbacks) and, when
  // endpointHeader, the endpoint header with the receiver endpoint id.
  Voxlet::MessagePtr NewServiceRequest(int method, const Voxlet::StringBuffer& path, CompletionHandler completion,
                                       bool endpointHeader = true);
  // Runs the task on the lifecycle worker after everything posted before; dropped once the
  // session shuts down.
  bool PostToLifecycle(SerialWorker::Task task) { return m_classLifecycle.Post(std::move(task)); }
  // Sends it; false (nothing sent) once the receiver has said goodbye or without a client.
  bool SendServiceRequest(const Voxlet::MessagePtr& message) override;
  bool SendServiceRequest(int method, const Voxlet::StringBuffer& path, CompletionHandler completion,
                          bool endpointHeader = true);
  void SendConnectionReport(bool up);

  CReceiverNetwork& Network() { return m_receiver.Network(); }

  bool ServiceConnected() const override;
  // The receiver's port name, as the packet log lines begin.
  std::string PortUtf8() const override { return Voxlet::UTF16to8(m_receiver.GetPortName()); }

  // The question of the active assessment an answer is for.
  std::optional<AnsweredQuestion> FindAnsweredQuestion(unsigned int questionNumber) override;

 private:
  // What the answer pipeline asks of the session.
  bool Leaving() const override;
  bool Farewell() const override;
  std::shared_ptr<CallGate> Gate() const override;
  Voxlet::StringBuffer SubmitPath() const override;
  bool AssessmentStarted() const override;
  bool SendReceiverCommands(const ReceiverCommands& send) override;
  // What the clicker endpoints ask of the session.
  ClassLogin CurrentClassLogin() const override;
  void ClickerAnnounced(const Voxlet::StringBuffer& endpointId) override;
  // What the class lifecycle asks of the session.
  void AskActivatedStatusAfterScan() override;
  void ClearAnswerParts() override;

  void SendHello(int method);
  // Reads the notifications of a hello reply and hands them to the lifecycle worker.
  void QueueNotifications(const Voxlet::MessagePtr& message);

  CReceiver& m_receiver;
  SessionEnvironment m_env;

  std::mutex m_commandLock;
  bool m_closing = false;
  // Client callbacks and dispatcher entries into the session; callbacks hold the gate itself.
  std::shared_ptr<CallGate> m_bridgeCalls = std::make_shared<CallGate>();
  // The session lock: the call gate of the moment.
  mutable std::mutex m_bridgeLock;
  // The client, the endpoint and the requests (a lock of its own).
  CServiceChannel m_channel{[this] { return Gate(); }};
  // Each clicker's requests in order (a leaf lock of its own).
  ClickerLines m_lines;
  // The clickers as endpoints, and their registry (locks of their own).
  CClickerEndpoints m_clickerEndpoints{*this, m_lines};
  IClassClickers* m_classClickers = &m_clickerEndpoints;
  // The answers on their way to the software service (a lock of its own).
  CAnswerPipeline m_answers{*this, m_clickerEndpoints.Registry(), m_lines, m_env};
  // The class and assessment lifecycle, its worker and the simulated answers (a lock of its
  // own). Declared last: its threads are gone before any other member.
  CClassLifecycle m_classLifecycle{*this, m_receiver, m_env};
};
