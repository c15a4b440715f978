#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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
};

// Timed action kinds (queued by the class lifecycle).
enum TimedActionKind : int32_t { kTimedNetworkStop = 1 };
struct TimedAction {
  int32_t kind = 0;
  uint32_t dueTime = 0;
};

// One receiver: its link, its protocol handler, its I/O loop and start-up worker, and the
// receiver-side packet handlers with the network status and channel scanning they keep.
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
  // Stops the I/O loop (the network is told to stop), the dispatcher and the link.
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

 private:
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
};
