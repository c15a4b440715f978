#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/XmlDocument.h"
#include "connections/SBConnection.h"
#include "platform/Thread.h"
#include "platform/WaitEvent.h"
#include "protocol/ReceiverCommands.h"
#include "protocol/ReceiverEnvironment.h"
#include "protocol/ReceiverEvents.h"
#include "protocol/ReceiverNetwork.h"
#include "protocol/ReceiverProtocolHandler.h"
#include "protocol/ReceiverSession.h"
#include "text/StringBuffer.h"

// Receivers connected in this process.
uint32_t ConnectedReceiverCount();

// One receiver: its link, its protocol handler, its I/O loop and start-up worker, and the
// receiver-side packet handlers. What it knows of the radio network is kept by its
// CReceiverNetwork; what it does for the software service is the session's (IReceiverSession,
// built in bridge/), which it calls at the start-up worker's end, on open and close, on a network
// that came up and on the clicker packets the session acts on.
//
// Threads and locks. The I/O loop (Run) owns the link's reads and the send queue's timing; the
// start-up worker runs once after open; the protocol handler's dispatcher runs every packet
// handler, without the handler's send lock held. The receiver has no lock of its own: the link,
// the handler and the session pointer are set before the threads start (Open, AttachSession) and
// left alone until they have stopped (Close). The network state has its own lock
// (CReceiverNetwork); a session serialises its receiver commands under its command lock, which
// is taken before the network's state lock and the protocol handler's send lock.
class CReceiver : public CThread, public IReceiverCommands {
 public:
  static constexpr int kMismatchTolerance = CReceiverNetwork::kMismatchTolerance;
  static constexpr int kStatusRepeatLogEvery = CReceiverNetwork::kStatusRepeatLogEvery;

  explicit CReceiver(IReceiverEvents* events, ReceiverEnvironment environment = {});
  ~CReceiver() override;

  // The session this receiver serves; set before Open and cleared only while closed. The
  // session must outlive every Open/Close cycle it is attached for.
  void AttachSession(IReceiverSession* session) { m_session = session; }

  // The connect step: opens the link on the port (kind COM) or on the description given;
  // answers the link status (0 open, 2 not present, 3 in use, other codes).
  uint32_t Open(const Voxlet::StringBuffer& portName);
  uint32_t Open(const SBConnectionInfo& info);
  // Lets the session say goodbye and shut its connection, then stops the I/O loop (the network
  // is told to stop), the dispatcher and the link.
  void Close();

  Voxlet::StringBuffer GetPortName() const { return m_portName; }
  uint32_t GetReceiverNumber() const { return m_receiverNumber.load(); }
  uint32_t GetState() const { return m_state.load(); }
  // True once the receiver is being closed or its link went away.
  bool GoingAway() const { return m_goingAway.load(); }
  // Queues the packet a comma-separated hexadecimal text lists.
  void SendCommandText(const std::string& text, Delivery delivery);
  // A command text from a diagnostic client (the SDK), sent once: which answer acknowledges an
  // arbitrary command is not known here, so a retried one would go out seven times and hold
  // every packet behind it for about 5 s. The client reads the answer in the log.
  void SendDiagnosticCommand(const std::string& text) { SendCommandText(text, Delivery::kOnce); }
  CReceiverProtocolHandler* Handler() { return m_handler.get(); }
  // Waits until every packet the radio acknowledged so far has been handed to its handler (the
  // dispatcher may be pausing after joins); false only when the time is up.
  bool WaitUntilHandedOver(uint32_t timeoutMs) { return !m_handler || m_handler->WaitUntilDispatched(timeoutMs); }
  CReceiverNetwork& Network() { return m_network; }
  Voxlet::StringBuffer ReceiverType() const { return u"ZORIN Ovanta\u2122 Receiver Hardware"; }

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
  friend class CReceiverNetwork;
  void StartupWorker();
  // Waits one start-up step; false once the receiver is going away.
  bool StartupPause();
  void ReadLink();
  void ReportStatus(uint32_t status);
  void QueueReset();
  // The network came up: the session reports it when a class start is waiting for it.
  void ReportNetworkUp();
  // Scan results came while a class start waits for its network: the session asks again.
  void AskActivatedStatusAgain();
  int LastChannelPreference();
  std::string NameUtf8() const { return Voxlet::UTF16to8(m_portName); }

  IReceiverEvents* m_events;
  ReceiverEnvironment m_env;
  CReceiverNetwork m_network{*this, m_env};
  IReceiverSession* m_session = nullptr;
  Voxlet::StringBuffer m_portName;
  std::atomic<uint32_t> m_receiverNumber{0};
  std::atomic<uint32_t> m_state{0};
  bool m_counted = false;  // took part in the connected-receiver count

  std::unique_ptr<ISBConnection> m_link;
  std::unique_ptr<CReceiverProtocolHandler> m_handler;
  CWaitEvent m_stopEvent;
  std::atomic<bool> m_goingAway{false};
  std::thread m_startupWorker;
};
