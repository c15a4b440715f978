// The receiver's network status reports: repeat logging, the mismatch tolerance while a
// class runs, unexpected scans and scan-end detection.
#include "log/Logger.h"
#include "protocol/Receiver.h"
#include "protocol/ReceiverNetwork.h"

namespace {

const char* StatusName(int status) {
  switch (status) {
    case 0:
      return "FLAG_NETWORK_STATUS_IDLE";
    case 1:
      return "FLAG_NETWORK_STATUS_SCANNING";
    case 2:
      return "FLAG_NETWORK_STATUS_UP";
    case 3:
      return "FLAG_NETWORK_STATUS_CHANNEL_FIND_FAILED";
    case 4:
      return "FLAG_NETWORK_STATUS_CLASS_NAME_CONFLICT";
    default:
      return "invalid status";
  }
}

const char* StatusMeaning(int status) {
  switch (status) {
    case 0:
      return "idle";
    case 1:
      return "scanning";
    case 3:
      return "stalled due to a channel conflict";
    case 4:
      return "stalled due to a class name conflict";
    default:
      return "not up and not in a valid state";
  }
}

constexpr int kIdle = 0;
constexpr int kScanning = 1;
constexpr int kUp = 2;

}  // namespace

void CReceiverNetwork::OnReceiverStatus(uint8_t networkStatus) {
  const int s = networkStatus;
  bool reset = false;
  bool queryScan = false;
  uint16_t scanMask = 0;
  {
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (s == m_previousStatus) {
      if (++m_repeatCount == kStatusRepeatLogEvery) {
        OV_LOG(kLogDiagnostic, "DEVICE_STATUS receiver - previous status %d (%s) repeated %d time(s)", m_previousStatus,
               StatusName(m_previousStatus), m_repeatCount);
        m_repeatCount = 0;
        OV_LOG(kLogDiagnostic, "DEVICE_STATUS receiver - ucNetworkStatus: %d (%s)", s, StatusName(s));
      }
    } else if (m_repeatCount > 0) {
      OV_LOG(kLogDiagnostic, "DEVICE_STATUS receiver - previous status %d (%s) repeated %d time(s)", m_previousStatus,
             StatusName(m_previousStatus), m_repeatCount);
      m_repeatCount = 0;
      OV_LOG(kLogDiagnostic, "DEVICE_STATUS receiver - ucNetworkStatus: %d (%s)", s, StatusName(s));
    }

    bool scanEndOnly = false;
    if (m_networkStarted && s != kUp) {
      ++m_mismatchCount;
      OV_LOG(kLogDiagnostic,
             "We think the receiver network is started but the receiver is telling us that it is %s; this has "
             "happened %d time(s)",
             StatusMeaning(s), m_mismatchCount);
      if (m_mismatchCount == kMismatchTolerance) {
        OV_LOG(kLogMilestone, "Our tolerance for state mismatch has been exceeded; faking disconnecting the receiver");
        reset = true;
      } else if (s == kIdle && m_previousStatus == kUp) {
        OV_LOG(kLogMilestone,
               "The receiver has gone down during a class unexpectedly; possibly a watchdog reset or some other USB "
               "power event?");
        reset = true;
      } else if (s == kIdle) {
        scanEndOnly = true;
      }
    } else {
      m_mismatchCount = 0;
    }

    if (!reset) {
      if (!scanEndOnly && s == kScanning && !m_scanning) {
        OV_LOG(kLogDiagnostic,
               "For some reason, the receiver is performing a channel scan but we don't recall telling it to.... was "
               "the hardware service restarted recently???");
        m_scanning = true;
        m_scanDeadline = m_env.timestamp(m_expectedScanSeconds + 90);
      }

      if (m_scanning && s != kScanning) {
        ++m_nonScanningCount;
        const char* reason = nullptr;
        if (m_previousStatus == kScanning && s == kIdle)
          reason = "we saw a scanning-->idle state transition";
        else if (m_nonScanningCount == 3)
          reason = "we've seen enough non-scanning states to conclude that a very short scan has finished";
        if (reason) {
          OV_LOG(kLogMilestone,
                 "We think that the channel scan is finished because %s; sending a query for scan results", reason);
          m_scanning = false;
          queryScan = true;
          scanMask = m_pendingScanMask;
          m_pendingScanMask = 0;
        }
      } else {
        m_nonScanningCount = 0;
        if (m_scanning && s == kScanning && !m_scanDeadline.empty() && m_scanDeadline < m_env.timestamp(0)) {
          OV_LOG(kLogMilestone,
                 "We have a problem; the last scan didn't finish in a reasonable amount of time; the receiver may need "
                 "a hard reset.");
          reset = true;
        }
      }

      m_previousStatus = s;
    }
  }
  if (queryScan && Handler()) Handler()->QueryScanResults(scanMask);
  if (reset) {
    m_receiver.QueueReset();
    return;
  }
  // A network that came up after a class start is reported to the software service.
  if (s == kUp) m_receiver.ReportNetworkUp();
}
