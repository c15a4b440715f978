#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "client/XmlDocument.h"
#include "protocol/ChannelAnalysis.h"
#include "protocol/ReceiverEnvironment.h"
#include "protocol/ReceiverEvents.h"
#include "protocol/ScanResultsTable.h"
#include "text/StringBuffer.h"

class CReceiver;
class CReceiverProtocolHandler;

// A receiver's radio network as this service knows it: the network status reports, whether the
// network runs or is about to, the channel scans and their results, the channel choice, the
// channel-analysis mode, the timed actions, and the receiver's own properties (firmware, product,
// login and team trigger bits).
//
// Locking. One lock, the state lock, guards every field below. It is taken by the dispatcher
// (status, channel and scan reports), the start-up worker, and the session's threads; it is
// never held while calling out of this object, except into the protocol handler, whose send lock
// it may take (a scan start, a channel set during channel analysis). Order: the session's command
// lock, then this state lock, then the protocol handler's send lock.
class CReceiverNetwork {
 public:
  static constexpr int kMismatchTolerance = 8;
  static constexpr int kStatusRepeatLogEvery = 100;

  // The receiver outlives its network object (it owns it); its environment is read, not copied.
  CReceiverNetwork(CReceiver& receiver, const ReceiverEnvironment& environment);
  ~CReceiverNetwork();
  CReceiverNetwork(const CReceiverNetwork&) = delete;
  CReceiverNetwork& operator=(const CReceiverNetwork&) = delete;

  // A DEVICE_STATUS report of the receiver: repeat logging, mismatch tolerance, scan end.
  void OnReceiverStatus(uint8_t networkStatus);
  void OnScanResults(uint16_t scannedMask, uint16_t panMask, const ChannelScanResultsArray& results);

  bool NetworkStarted();
  void SetNetworkStarted(bool started);
  void SetUpNotificationPending(bool pending);
  // Clears the up-notification-pending flag; true when it was set.
  bool TakeUpNotificationPending();
  bool NetworkStartPending();
  void SetNetworkStartPending(bool pending);
  bool Scanning();
  int CurrentChannel();
  // The channel the receiver reported (11..26); the one before becomes the previous channel.
  void SetCurrentChannel(int channel);
  // The start-up worker's channel: the remembered one and the one taken for now.
  void SetStartChannels(int previous, int current);
  Voxlet::StringBuffer FirmwareVersion();
  void SetFirmwareVersion(const Voxlet::StringBuffer& version);
  Voxlet::StringBuffer ProductText();
  void SetProductText(const Voxlet::StringBuffer& text);
  // The login- and team-trigger bits as the receiver last reported (or was sent) them.
  void SetTriggers(bool loginTrigger, bool teamTrigger);
  // Flips the login-trigger bit (a new session for the clickers); answers both bits after it.
  void FlipLoginTrigger(bool& loginTrigger, bool& teamTrigger);
  // No network runs or is about to start and no scan runs.
  bool BackgroundScanDue();

  // Channel scanning.
  void RunBackgroundScan(uint16_t channelMask);
  // A channel from 11 to 26, or -1 when none is usable.
  int ChooseChannel();
  void RunTimedWork();
  void QueueTimedAction(const TimedAction& action);
  ScanResultsTable ScanResults();
  // The scan results as the receiver's scan-results document.
  Voxlet::XmlDocumentPtr ScanResultsDocument();
  bool ChannelAnalysisOn();
  void ReportChannelAnalysis();

 private:
  CReceiverProtocolHandler* Handler();
  int LastChannelPreference();
  void StartChannelAnalysis();
  void StopChannelAnalysis();
  // The choice with the current channel and threshold as they stand (caller holds m_stateLock).
  int ChooseChannelLocked();

  CReceiver& m_receiver;
  const ReceiverEnvironment& m_env;

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
};
