#include "devices/DeviceHotplug.h"

#include <cstdio>
#include <optional>

#include "client/Strings.h"
#include "devices/ReceiverEnumerator.h"
#include "log/Logger.h"
#include "sdk/LogText.h"

std::string DescribeDevice(const DeviceEvent& device) {
  char ids[16];
  snprintf(ids, sizeof ids, "%04x:%04x", device.vendorId, device.productId);
  std::string text = ids;
  // The serial number is the device's own to choose, the rest comes from sysfs: none of it may
  // start a log line of its own.
  text += device.serial.empty() ? " without serial" : " serial " + EscapeForLog(device.serial);
  if (!device.sysPath.empty()) text += " at " + EscapeForLog(device.sysPath);
  if (!device.devNode.empty()) text += " (" + EscapeForLog(device.devNode) + ")";
  return text;
}

CDeviceHotplug::CDeviceHotplug(CReceiverSet& receivers) : m_receivers(receivers) {}

CDeviceHotplug::Outcome CDeviceHotplug::TryOpen(const DeviceEvent& device) {
  if (CReceiverEnumerator::IsRecognizedDevice(device.vendorId, device.productId) != 0) {
    OV_LOG(kLogDiagnostic, "Arrived device path, vid or pid not recognized: %s", DescribeDevice(device).c_str());
    return Outcome::kNotAReceiver;
  }
  Voxlet::StringBuffer port;
  if (CReceiverEnumerator::GetDevicePort(device, port) != 0) {
    OV_LOG(kLogDiagnostic, "Arrived device path, could not find port: %s", DescribeDevice(device).c_str());
    return Outcome::kNotYet;
  }
  OV_LOG(kLogMilestone, "Arrived device port: %s", Voxlet::UTF16to8(port).c_str());
  return m_receivers.ConnectDevice(port, device.sysPath) == 0 ? Outcome::kOpened : Outcome::kNotYet;
}

bool CDeviceHotplug::Arrival(const DeviceEvent& device, ArrivalRetry retry) {
  const Outcome outcome = TryOpen(device);
  if (outcome == Outcome::kOpened) {
    // Opened by a later event of the device (its tty's): what its first event left pending
    // must not open it again after a reset closed it.
    std::lock_guard<std::mutex> guard(m_lock);
    DropPending(guard, device);
  } else if (outcome == Outcome::kNotYet && retry == ArrivalRetry::kRetryLater) {
    OV_LOG(kLogDiagnostic, "Will check port %s again later", DescribeDevice(device).c_str());
    std::lock_guard<std::mutex> guard(m_lock);
    // One entry per device: a device arriving again starts its retries afresh.
    DropPending(guard, device);
    m_pending.push_back({0, device});
  }
  return outcome == Outcome::kOpened;
}

void CDeviceHotplug::Removal(const DeviceEvent& device) {
  if (CReceiverEnumerator::IsRecognizedDevice(device.vendorId, device.productId) != 0) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    DropPending(guard, device);  // it will not get its port now
  }
  // Unplugged, its port is usually gone from sysfs; the receiver on it remembers its device.
  std::optional<Voxlet::StringBuffer> port = m_receivers.List().PortOfDevice(device.sysPath);
  if (!port) {
    Voxlet::StringBuffer found;
    if (CReceiverEnumerator::GetDevicePort(device, found) != 0) return;
    port = found;
  }
  m_receivers.Remove(*port);
}

void CDeviceHotplug::DropPending(const std::lock_guard<std::mutex>&, const DeviceEvent& device) {
  std::erase_if(m_pending, [&](const Pending& entry) {
    return CReceiverEnumerator::SameDevice(entry.device.sysPath, device.sysPath);
  });
}

void CDeviceHotplug::ForgetOpened() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::erase_if(m_pending, [&](const Pending& entry) {
    return m_receivers.List().PortOfDevice(entry.device.sysPath).has_value();
  });
}

void CDeviceHotplug::RetryPending() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<Pending> kept;
  for (Pending& entry : m_pending) {
    if (entry.attempts >= kRetryLimit) {
      OV_LOG(kLogDiagnostic, "Giving up trying to connect to %s ", DescribeDevice(entry.device).c_str());
      continue;
    }
    if (TryOpen(entry.device) == Outcome::kOpened) continue;
    ++entry.attempts;
    kept.push_back(std::move(entry));
  }
  m_pending.swap(kept);
}

size_t CDeviceHotplug::PendingCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_pending.size();
}
