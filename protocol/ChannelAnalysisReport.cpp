// Channel-analysis mode: periodic reports of what the channel choice would do at ten
// thresholds.
#include "client/HardwareServicePreferences.h"
#include "log/Logger.h"
#include "protocol/ChannelChoice.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverNetwork.h"
#include "protocol/ReceiverPreferences.h"

namespace HS = Voxlet::Preferences::HardwareService;

bool CReceiverNetwork::ChannelAnalysisOn() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  return m_analysis.on;
}

void CReceiverNetwork::StartChannelAnalysis() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  m_analysis.on = ReceiverPreferences::ReadFileInteger(HS::ChannelAnalysis, HS::DefaultChannelAnalysis) != 0;
  if (!m_analysis.on) return;
  m_analysis.reportMinutes = static_cast<int>(
      ReceiverPreferences::ReadFileInteger(HS::ChannelAnalysisFrequency, HS::DefaultChannelAnalysisFrequency));
  m_analysis.thresholds.clear();
  for (int t = 5; t <= 50; t += 5) m_analysis.thresholds.push_back({t, 0, 0});
  m_analysis.reports = 0;
  m_analysis.initialised = false;
  m_analysis.savedThreshold =
      ReceiverPreferences::ReadFileInteger(HS::ScanThresholdGoodPoor, HS::DefaultScanThresholdGoodPoor);
  m_analysis.startMs = m_analysis.lastReportMs = m_env.clock();
  OV_LOG(kLogMilestone, "***Channel Analysis has been turned on. Reporting will occur every %d minutes",
         m_analysis.reportMinutes);
}

void CReceiverNetwork::StopChannelAnalysis() {
  std::lock_guard<std::mutex> guard(m_stateLock);
  if (!m_analysis.on) return;
  OV_LOG(kLogMilestone, "Channel Analysis has been turned off.");
  ReceiverPreferences::WriteFileInteger(HS::ScanThresholdGoodPoor, m_analysis.savedThreshold);
}

void CReceiverNetwork::ReportChannelAnalysis() {
  int initialChannel = 0;
  bool setInitial = false;
  std::lock_guard<std::mutex> guard(m_stateLock);
  ChannelAnalysis& a = m_analysis;
  if (a.reports == 0 && !a.initialised) {
    initialChannel = ChooseChannelLocked();
    // No usable channel (-1): the receiver stays where it is.
    setInitial = initialChannel >= 11 && initialChannel <= 26;
    a.initialised = true;
  }
  if (setInitial && Handler()) Handler()->SetChannel(static_cast<uint8_t>(initialChannel - 11));
  const uint32_t now = m_env.clock();
  if (static_cast<uint64_t>(now - a.lastReportMs) <= static_cast<uint64_t>(a.reportMinutes) * 60 * 1000) return;

  ++a.reports;
  const uint16_t runTime = static_cast<uint16_t>((now - a.startMs) / 1000);
  OV_LOG(kLogMilestone, "Report begin ****************************************************");
  OV_LOG(kLogMilestone,
         "Total number of channel analysis reports: %d\tTest run time: %.0f hours, %.0f minutes, and %.0f seconds",
         a.reports, static_cast<double>(runTime / 3600), static_cast<double>((runTime % 3600) / 60),
         static_cast<double>(runTime % 60));
  const bool exclude26 = m_productText == u"QX" || m_productText.empty();
  for (ChannelAnalysis::Threshold& t : a.thresholds) {
    ReceiverPreferences::WriteFileInteger(HS::ScanThresholdGoodPoor, t.threshold);
    const int current = m_currentChannel;
    int chosen = ChooseChannelLocked();
    if (chosen < 11 || chosen > 26) chosen = current;  // no usable channel: no switch
    const bool switched = chosen != current;
    bool pidSwitch = false;
    double currentLevel = 0;
    double chosenLevel = 0;
    if (switched) {
      ++t.switches;
      if (current >= 11 && current <= 26) {
        const ScanChannel& channel = m_scanResults.Channel(current);
        pidSwitch = !channel.latest.pid.empty();
        currentLevel = WeightedLevel(BuildChannelInfo(channel, exclude26).readings);
      }
      if (pidSwitch) ++t.switchesDueToPid;
      if (chosen >= 11 && chosen <= 26)
        chosenLevel = WeightedLevel(BuildChannelInfo(m_scanResults.Channel(chosen), exclude26).readings);
    }
    const double total = static_cast<double>(t.switches) / a.reports * 100.0;
    const double pid = t.switches > 0 ? static_cast<double>(t.switchesDueToPid) / t.switches * 100.0 : 0;
    const double energy = t.switches > 0 ? 100.0 - pid : 0;
    OV_LOG(kLogMilestone,
           "Threshold: %d\tTotal switches: %.2f%%\tSwitches due to PID:%.2f%%\tSwitches due to energy levels:%.2f%%",
           t.threshold, total, pid, energy);
    if (switched && pidSwitch) {
      OV_LOG(kLogMilestone,
             "A switch from channel %d to channel %d has occurred due to the PanID (something is using this channel).",
             current, chosen);
    } else if (switched) {
      OV_LOG(kLogMilestone,
             "A switch from channel %d to channel %d has occurred due to the energy levels being too low.", current,
             chosen);
      OV_LOG(kLogMilestone, "Channel %d levels: %.4f\tChannel %d levels: %.4f", current, currentLevel, chosen,
             chosenLevel);
    }
  }
  OV_LOG(kLogMilestone, "Report end ******************************************************");
  a.lastReportMs = now;
}
