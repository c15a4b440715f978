#include "devices/DeviceHotplug.h"

#include <cstdio>

#include "client/Strings.h"
#include "devices/ReceiverEnumerator.h"
#include "log/Logger.h"

std::string DescribeDevice(const DeviceEvent& device) {
  char ids[16];
  snprintf(ids, sizeof ids, "%04x:%04x", device.vendorId, device.productId);
  std::string text = ids;
  text += device.serial.empty() ? " without serial" : " serial " + device.serial;
  if (!device.sysPath.empty()) text += " at " + device.sysPath;
  if (!device.devNode.empty()) text += " (" + device.devNode + ")";
  return text;
}

CDeviceHotplug::CDeviceHotplug(CReceiverSet& receivers) : m_receivers(receivers) {}

CDeviceHotplug::Outcome CDeviceHotplug::TryOpen(const DeviceEvent& device) {
  if (CReceiverEnumerator::IsRecognizedDevice(device.vendorId, device.productId) != 0) {
    OV_LOG(kLogDiagnostic, "Arrived device path, vid or pid not recognized: %s", DescribeDevice(device).c_str());
    return Outcome::kNotAReceiver;
  }
  const Voxlet::StringBuffer serial = Voxlet::UTF8to16(device.serial);
  Voxlet::StringBuffer port;
  if (CReceiverEnumerator::GetDeviceVirtualPort(device.vendorId, device.productId, serial, port) != 0) {
    OV_LOG(kLogDiagnostic, "Arrived device path, could not find port: %s", DescribeDevice(device).c_str());
    return Outcome::kNotYet;
  }
  OV_LOG(kLogMilestone, "Arrived device port: %s", Voxlet::UTF16to8(port).c_str());
  return m_receivers.ConnectDevice(port, serial) == 0 ? Outcome::kOpened : Outcome::kNotYet;
}

bool CDeviceHotplug::Arrival(const DeviceEvent& device, ArrivalRetry retry) {
  const Outcome outcome = TryOpen(device);
  if (outcome == Outcome::kNotYet && retry == ArrivalRetry::kRetryLater) {
    OV_LOG(kLogDiagnostic, "Will check port %s again later", DescribeDevice(device).c_str());
    std::lock_guard<std::mutex> guard(m_lock);
    m_pending.push_back({0, device});
  }
  return outcome == Outcome::kOpened;
}

void CDeviceHotplug::Removal(const DeviceEvent& device) {
  if (CReceiverEnumerator::IsRecognizedDevice(device.vendorId, device.productId) != 0) return;
  const Voxlet::StringBuffer serial = Voxlet::UTF8to16(device.serial);
  Voxlet::StringBuffer port;
  if (CReceiverEnumerator::GetDeviceVirtualPort(device.vendorId, device.productId, serial, port) != 0) {
    // Unplugged: its port is gone from sysfs, but the receiver on it remembers its device.
    auto remembered = m_receivers.List().PortOfDevice(serial);
    if (!remembered) return;
    port = *remembered;
  }
  m_receivers.Remove(port);
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
