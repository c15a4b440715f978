#pragma once
#include <atomic>
#include <boost/signals2/connection.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge/CallGate.h"
#include "client/StringBuffer.h"
#include "client/XmlDocument.h"
#include "connections/SBConnection.h"
#include "platform/Thread.h"
#include "platform/WaitEvent.h"
#include "protocol/ChannelAnalysis.h"
#include "protocol/ReceiverCommands.h"
#include "protocol/ReceiverEvents.h"
#include "protocol/ReceiverProtocolHandler.h"
#include "protocol/ScanResultsTable.h"

namespace Voxlet {
class Client;
class Message;
using ClientPtr = std::shared_ptr<Client>;
using MessagePtr = std::shared_ptr<Message>;
}  // namespace Voxlet

// Receivers connected in this process.
uint32_t ConnectedReceiverCount();

// Creates the link for a connection description (tests give their own).
using LinkFactory = std::function<std::unique_ptr<ISBConnection>(const SBConnectionInfo&)>;

// What the receiver side needs from the outside world besides the link; tests replace them.
struct ReceiverEnvironment {
  LinkFactory makeLink;
  // Timestamp text seconds from now (the client library's CurrentTimestamp).
  std::function<Voxlet::StringBuffer(int64_t)> timestamp;
  std::function<uint32_t()> random;
  TickSource clock;
  // Pause between the steps of the start-up worker.
  int startupStepMs = 2000;
  // The software-service client (Client(true, no user, no password)); null when the client
  // library is not live.
  std::function<Voxlet::ClientPtr()> makeClient;
  // Pause after the power-down and after the network stop when the software service goes away
  // while a class runs.
  int powerDownStepMs = 2000;
};

// Timed action kinds (queued by the class lifecycle).
enum TimedActionKind : int32_t { kTimedNetworkStop = 1 };
struct TimedAction {
  int32_t kind = 0;
  uint32_t dueTime = 0;
};

// One receiver: its link, its protocol handler, its I/O loop and start-up worker, the
// receiver-side packet handlers with the network status and channel scanning they keep, and
// (bridge/) its connection to the software service.
//
// A subclass that overrides the session-bridge operations calls Close in its own destructor, so
// that no client callback reaches an override of an object being destroyed.
class CReceiver : public CThread, public IReceiverCommands {
 public:
  static constexpr int kMismatchTolerance = 8;
  static constexpr int kStatusRepeatLogEvery = 100;

  explicit CReceiver(IReceiverEvents* events, ReceiverEnvironment environment = {});
  ~CReceiver() override;

  // The connect step: opens the link on the port (kind COM) or on the description given;
  // answers the link status (0 open, 2 not present, 3 in use, other codes).
  uint32_t Open(const Voxlet::StringBuffer& portName);
  uint32_t Open(const SBConnectionInfo& info);
  // Says goodbye to the software service and lets go of the client, then stops the I/O loop
  // (the network is told to stop), the dispatcher and the link.
  void Close();

  Voxlet::StringBuffer GetPortName() const { return m_portName; }
  uint32_t GetReceiverNumber() const { return m_receiverNumber.load(); }
  uint32_t GetState() const { return m_state.load(); }
  // Queues the packet a comma-separated hexadecimal text lists.
  void SendCommandText(const std::string& text, bool retry);
  CReceiverProtocolHandler* Handler() { return m_handler.get(); }

  // Receiver-side state read by the session bridge.
  bool NetworkStarted();
  void SetNetworkStarted(bool started);
  void SetUpNotificationPending(bool pending);
  bool NetworkStartPending();
  void SetNetworkStartPending(bool pending);
  bool Scanning();
  int CurrentChannel();
  Voxlet::StringBuffer FirmwareVersion();
  Voxlet::StringBuffer ProductText();
  Voxlet::StringBuffer ReceiverType() const { return u"ZORIN Ovanta\u2122 Receiver Hardware"; }

  // Channel scanning.
  void RunBackgroundScan(uint16_t channelMask);
  int ChooseChannel();
  void RunTimedWork();
  void QueueTimedAction(const TimedAction& action);
  ScanResultsTable ScanResults();
  // The scan results as the receiver's scan-results document.
  Voxlet::XmlDocumentPtr ScanResultsDocument();
  bool ChannelAnalysisOn();
  void ReportChannelAnalysis();

  // Session bridge: the connection to the software service (bridge/).
  // The start-up worker's last step: creates the client, connects its signals, connects.
  void ConnectToSoftwareService();
  // The client's state-changed and periodic signals.
  void OnClientStateChanged(Voxlet::Client& client, int state);
  void OnClientTick(Voxlet::Client& client);
  // Completion of every receiver hello: endpoint creation, subscription, notifications.
  void OnHelloResponse(const Voxlet::MessagePtr& message);
  // Completion of requests whose reply is not used.
  void LogIfFailed(const Voxlet::MessagePtr& message);
  void LogUnexpectedEvent(const Voxlet::MessagePtr& message);
  // The close step's farewell: removes the receiver and its clickers from the software service.
  void SayGoodbye();
  Voxlet::ClientPtr ServiceClient() const;
  // "receiver." + the receiver address; empty while the receiver has no endpoint.
  Voxlet::StringBuffer EndpointId() const;
  // The MAC as "00-11-22-33-44-55-66-77"; empty until the receiver reported it.
  Voxlet::StringBuffer ReceiverAddress() const;
  bool Subscribed() const;
  Voxlet::StringBuffer CurrentClassId() const;
  void SetCurrentClassId(const Voxlet::StringBuffer& classId);
  Voxlet::StringBuffer CurrentQuestionId() const;
  void SetCurrentQuestionId(const Voxlet::StringBuffer& questionId);
  // Ticks left before another software-side clicker action is taken.
  int SoftwareActionCooldown() const;
  void SetSoftwareActionCooldown(int ticks);

  // IReceiverCommands.
  void SendBytes(const uint8_t* bytes, uint32_t length) override;
  void LogReceived(const uint8_t* bytes, uint32_t length) override;
  void GetName(Voxlet::StringBuffer& name) override;
  void OnFirmwareInfo(uint8_t major, uint8_t minor, uint8_t build, uint16_t checksum) override;
  void OnPropertyQueryMacAddr(uint32_t macHigh, uint32_t macLow) override;
  void OnReceiverStatus(uint8_t networkStatus) override;
  void OnClickerStatus(uint16_t address, uint8_t batteryFlag, uint8_t linkQuality) override;
  void OnTransmitPower(uint16_t address, uint8_t paLevel) override;
  void OnPanId(uint16_t address, uint16_t panId) override;
  void OnClassName(uint16_t address, const Voxlet::StringBuffer& name) override;
  void OnLoginRequirement(uint16_t address, bool loginRequired, bool loginTrigger, bool teamTrigger) override;
  void OnJoinLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow, const Voxlet::StringBuffer& studentId,
                           bool autoLogin) override;
  void OnJoinNoLoginRequired(uint16_t address, uint32_t macHigh, uint32_t macLow) override;
  void OnLoginGrant(uint16_t address, const Voxlet::StringBuffer& studentName, bool loginGrant, bool bootOut) override;
  void OnLoginOff(uint16_t address) override;
  void OnHandUp(uint16_t address, bool handUp) override;
  void OnChannel(uint16_t address, uint8_t channelIndex) override;
  void OnSelectTeam(uint16_t address, uint8_t team) override;
  void OnStartGame(uint16_t address, uint8_t keyCode) override;
  void OnScanResults(uint16_t scannedMask, uint16_t panMask, const ChannelScanResultsArray& results) override;
  void OnAnswerUpload(uint16_t address, uint8_t questionNumber, const std::vector<uint8_t>& answer) override;
  void OnEnhancedAnswerUpload(uint16_t address, uint8_t sequenceNumber, uint8_t totalPackets, uint8_t packetNumber,
                              uint8_t questionNumber, const uint8_t* data, uint32_t dataLength) override;
  void OnDeviceDisassociated(uint16_t address) override;
  void OnLoginGrantConfirm(uint16_t address, bool confirm) override;
  void OnSessionEndRemote(uint16_t address) override;
  void OnCommandNacked(uint8_t commandId) override;
  void OnNetworkState(bool running) override;
  void OnReceiverPrintf(uint16_t address, const Voxlet::StringBuffer& text) override;
  void OnProductCode(uint8_t productCode) override;

 protected:
  // The receiver's I/O loop.
  unsigned Run() override;

  // What the software service's notifications and replies lead to beyond the connection
  // itself. Each runs on a client-library thread; until the class lifecycle and the clicker
  // endpoints are in place each writes one diagnostic line and does nothing more.
  // Completion of the activated-status query.
  virtual void OnActivatedStatusResponse(const Voxlet::MessagePtr& message);
  // assessment/activated and assessment/deactivated: their voxlet:assessmentref (may be null).
  virtual void ActivateAssessment(xercesc::DOMElement* assessmentRef);
  virtual void DeactivateAssessment(xercesc::DOMElement* assessmentRef);
  // class/deactivated: its voxlet:classref (may be null); true while classes are being switched.
  virtual bool StopClass(xercesc::DOMElement* classRef);
  // question/activated: the question id.
  virtual void ActivateQuestion(const Voxlet::StringBuffer& questionId);
  // networkname/updated: the new classroom name.
  virtual void SetClassroomName(const Voxlet::StringBuffer& name);
  // disconnect/student and class/cancelraisedhand: the clicker's endpoint id.
  virtual void DisconnectClickerInSoftware(const Voxlet::StringBuffer& endpointId);
  virtual void CancelRaisedHandInSoftware(const Voxlet::StringBuffer& endpointId);
  // The short addresses of the clickers known to the receiver.
  virtual std::vector<uint16_t> ClickerShortAddresses();

  // Runs send(handler) under the command lock unless the receiver is closing; false when
  // nothing was sent. Every receiver command of the session bridge goes through here.
  template <class F>
  bool IssueReceiverCommands(F&& send) {
    std::lock_guard<std::mutex> guard(m_commandLock);
    if (m_closing || !m_handler) return false;
    send(*m_handler);
    return true;
  }

  // Requests to the software service.
  using CompletionHandler = void (CReceiver::*)(const Voxlet::MessagePtr&);
  // A request with the completion bound (run only while the bridge admits callbacks) and, when
  // endpointHeader, the endpoint header with the receiver endpoint id.
  Voxlet::MessagePtr NewServiceRequest(int method, const Voxlet::StringBuffer& path, CompletionHandler completion,
                                       bool endpointHeader = true);
  // Sends it; false (nothing sent) once the receiver has said goodbye or without a client.
  bool SendServiceRequest(const Voxlet::MessagePtr& message);
  bool SendServiceRequest(int method, const Voxlet::StringBuffer& path, CompletionHandler completion,
                          bool endpointHeader = true);
  void SendConnectionReport(bool up);
  void SendActivatedStatusQuery();

 private:
  friend struct BridgeNotifications;
  void StartupWorker();
  // Waits one start-up step; false once the receiver is going away.
  bool StartupPause();
  void ReadLink();
  void ReportStatus(uint32_t status);
  void QueueReset();
  // Scan end and overdue scan detection of a status report (under m_stateLock).
  void DetectScanEnd(uint8_t status);
  int LastChannelPreference();
  void StartChannelAnalysis();
  void StopChannelAnalysis();
  // The choice with the current channel and threshold as they stand (caller holds m_stateLock).
  int ChooseChannelLocked();
  std::string NameUtf8() const { return Voxlet::UTF16to8(m_portName); }
  // The receiver-connected report of a network that came up, when one is pending (dispatcher).
  void ReportNetworkUpIfPending();
  // The close step's bridge part: goodbye, signals off, closing set, client let go, callbacks
  // drained. Open makes the bridge usable again.
  void ShutDownServiceConnection();
  void ReopenServiceConnection();
  void SendHello(int method);
  void DispatchNotifications(const Voxlet::MessagePtr& message);
  // No network runs or is about to start and no scan runs.
  bool BackgroundScanDue();

  IReceiverEvents* m_events;
  ReceiverEnvironment m_env;
  Voxlet::StringBuffer m_portName;
  std::atomic<uint32_t> m_receiverNumber{0};
  std::atomic<uint32_t> m_state{0};
  bool m_counted = false;  // took part in the connected-receiver count

  std::unique_ptr<ISBConnection> m_link;
  std::unique_ptr<CReceiverProtocolHandler> m_handler;
  CWaitEvent m_stopEvent;
  std::atomic<bool> m_goingAway{false};
  std::thread m_startupWorker;

  // Receiver status and scanning fields, shared by the dispatcher, the start-up worker and
  // the bridge's threads.
  std::mutex m_stateLock;
  int m_previousStatus = -1;
  int m_repeatCount = 0;
  int m_mismatchCount = 0;
  bool m_networkStarted = false;
  bool m_scanning = false;
  int m_nonScanningCount = 0;
  Voxlet::StringBuffer m_scanDeadline;
  uint16_t m_pendingScanMask = 0;
  int m_expectedScanSeconds = 0;
  bool m_upNotificationPending = false;
  int m_currentChannel = -1;
  int m_previousChannel = -1;
  Voxlet::StringBuffer m_firmwareVersion;
  Voxlet::StringBuffer m_productText;
  bool m_loginTrigger = false;
  bool m_teamTrigger = false;
  int m_scanCounter = 0;
  int m_nextScanChannel = 0;
  ScanResultsTable m_scanResults;
  int m_thresholdGoodPoor = 0;  // as read when the receiver was created
  int m_thresholdExcellentGood = 0;
  std::deque<std::shared_ptr<TimedAction>> m_timedActions;
  ChannelAnalysis m_analysis;
  bool m_networkStartPending = false;

  // Session-bridge state. The command lock serialises the bridge's receiver commands and
  // guards the closing flag; the bridge lock guards the client and everything below it.
  std::mutex m_commandLock;
  bool m_closing = false;
  // Client callbacks and dispatcher entries into the bridge; callbacks hold the gate itself.
  std::shared_ptr<CallGate> m_bridgeCalls = std::make_shared<CallGate>();
  mutable std::mutex m_bridgeLock;
  Voxlet::ClientPtr m_client;
  boost::signals2::scoped_connection m_stateConnection;
  boost::signals2::scoped_connection m_tickConnection;
  bool m_leaving = false;  // the goodbye went out (or there was none to say): nothing more is sent
  Voxlet::StringBuffer m_receiverAddress;
  Voxlet::StringBuffer m_endpointId;
  Voxlet::StringBuffer m_currentClassId;
  Voxlet::StringBuffer m_currentQuestionId;
  bool m_subscribed = false;
  bool m_statusQueryPending = false;
  bool m_delayLogged = false;
  int m_softwareActionCooldown = 0;
};
