#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "devices/ReceiverSet.h"
#include "service/ServiceEvents.h"

// What an arrival does when the device's port cannot be opened yet.
enum class ArrivalRetry { kRetryLater, kNone };

// The device as the log names it, so that a user can find it: vendor and product ids as lsusb
// prints them, the serial number, the sysfs path and the device node when there is one, e.g.
// "16d3:3000 serial R00042 at /sys/devices/.../usb1/1-1 (/dev/bus/usb/001/004)".
std::string DescribeDevice(const DeviceEvent& device);

// USB receivers plugged in and unplugged, and the devices whose port could not be opened yet,
// retried on the tick until they open or the retries run out.
//
// Its one lock guards the pending list and is held for a whole retry pass, which opens
// receivers: it is taken before the receiver set's lock, never under it.
class CDeviceHotplug {
 public:
  static constexpr uint32_t kRetryLimit = 30;

  explicit CDeviceHotplug(CReceiverSet& receivers);
  CDeviceHotplug(const CDeviceHotplug&) = delete;
  CDeviceHotplug& operator=(const CDeviceHotplug&) = delete;

  // True when a receiver was opened for the device. Devices are told apart by their sysfs
  // path, never by their serial number (which two receivers may share, or both lack). A device
  // whose receiver opened is no longer pending; one that did not open is pending once.
  bool Arrival(const DeviceEvent& device, ArrivalRetry retry);
  // Closes the receiver on the device and drops the device from the pending list.
  void Removal(const DeviceEvent& device);
  void RetryPending();
  // Drops the pending devices whose receiver is open by now (opened by an enumeration).
  void ForgetOpened();
  size_t PendingCount() const;

 private:
  enum class Outcome { kOpened, kNotAReceiver, kNotYet };
  struct Pending {
    uint32_t attempts = 0;
    DeviceEvent device;
  };
  Outcome TryOpen(const DeviceEvent& device);
  void DropPending(const std::lock_guard<std::mutex>& held, const DeviceEvent& device);

  CReceiverSet& m_receivers;
  mutable std::mutex m_lock;
  std::vector<Pending> m_pending;
};
