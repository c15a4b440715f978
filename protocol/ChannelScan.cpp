// Background scans, scan results, the channel choice and timed work of a receiver.
#include <bit>
#include <chrono>

#include "client/HardwareServicePreferences.h"
#include "log/Logger.h"
#include "platform/Tick.h"
#include "protocol/ChannelChoice.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverNetwork.h"
#include "protocol/ReceiverPreferences.h"
#include "protocol/ScanResultsDocument.h"
#include "protocol/ScanSettings.h"

namespace HS = Voxlet::Preferences::HardwareService;

void CReceiverNetwork::RunBackgroundScan(uint16_t channelMask) {
  const ScanSettings& settings = ProcessScanSettings();
  uint16_t mask = channelMask;
  int channels = 0;
  int seconds = 0;
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (mask == 0) {
      // The periodic tick: one channel every `interval` ticks, round robin, one scan at a time.
      if (!settings.on || m_pendingScanMask != 0) return;
      m_scanCounter = (m_scanCounter + 1) % settings.interval;
      if (m_scanCounter != 0) return;
      mask = static_cast<uint16_t>(1u << m_nextScanChannel);
      m_nextScanChannel = (m_nextScanChannel + 1) & 15;
    }
    // Channel 26 is never scanned on receivers that may not use it.
    if (m_productText == u"QX" || m_productText.empty()) mask &= 0x7FFF;
    m_pendingScanMask = mask;
    channels = std::popcount(mask);
    seconds = settings.channelSeconds * channels;
    m_expectedScanSeconds = seconds;
    m_scanning = true;
    m_scanDeadline = m_env.timestamp(seconds + 90);
  }
  if (Handler())
    Handler()->StartBackgroundScan(mask, static_cast<uint8_t>(settings.activeExponent),
                                   static_cast<uint8_t>(settings.energyExponent));
  OV_LOG(kLogDiagnostic,
         "Performing a background scan of %d channel(s) -- mask = 0x%04X expect this to take %d second(s)", channels,
         mask, seconds);
}

void CReceiverNetwork::OnScanResults(uint16_t scannedMask, uint16_t panMask, const ChannelScanResultsArray& results) {
  if (!results) return;
  bool startWaits = false;
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (m_scanning)
      OV_LOG(kLogDiagnostic, "In the time it took us to get our scan results back we started scanning another channel");
    m_scanResults.Update(scannedMask, panMask, *results, m_env.timestamp(0));
    startWaits = m_networkStartPending && !m_networkStarted;
  }
  // The activated-status query put off during the scan is sent now that its results are in.
  if (startWaits) m_receiver.AskActivatedStatusAgain();
  if (ChannelAnalysisOn()) ReportChannelAnalysis();
}

ScanResultsTable CReceiverNetwork::ScanResults() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_scanResults;
}

Voxlet::XmlDocumentPtr CReceiverNetwork::ScanResultsDocument() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return BuildScanResultsDocument(m_scanResults, m_thresholdGoodPoor, m_thresholdExcellentGood);
}

int CReceiverNetwork::ChooseChannel() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return ChooseChannelLocked();
}

int CReceiverNetwork::ChooseChannelLocked() {
  ChannelChoice choice;
  choice.table = &m_scanResults;
  choice.exclude26 = m_productText == u"QX" || m_productText.empty();
  choice.current = m_currentChannel != -1 ? m_currentChannel : m_previousChannel;
  if (choice.current == -1) choice.current = LastChannelPreference();
  choice.thresholdPercent = static_cast<int>(
      ReceiverPreferences::ReadFileInteger(HS::ScanThresholdGoodPoor, HS::DefaultScanThresholdGoodPoor));
  choice.random = m_env.random;
  return ::ChooseChannel(choice);
}

void CReceiverNetwork::QueueTimedAction(const TimedAction& action) {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_timedActions.push_back(std::make_shared<TimedAction>(action));
}

void CReceiverNetwork::RunTimedWork() {
  std::shared_ptr<TimedAction> action;
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (m_timedActions.empty() || !Platform::TickReached(m_env.clock(), m_timedActions.front()->dueTime)) return;
    action = m_timedActions.front();
    m_timedActions.pop_front();
  }
  if (action->kind == kTimedNetworkStop && Handler()) Handler()->SetNetworkState(NetworkState::kStop, Delivery::kRetry);
}
