#pragma once
#include <cstdint>
#include <string>

#include "log/Logger.h"

// A USB device arriving or going.
enum class DeviceAction { kArrival, kRemoval };

// One USB device event, as udev describes the device.
struct DeviceEvent {
  DeviceAction action = DeviceAction::kArrival;
  std::string sysPath;  // the USB device's sysfs path, e.g. "/sys/devices/pci0000:00/.../usb1/1-1"
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string serial;   // empty when the device has none
  std::string devNode;  // e.g. "/dev/bus/usb/001/004"; empty when udev names none
};

// The machine about to sleep or back from it.
enum class PowerEvent {
  kQuerySuspend,        // a sleep is asked for, and may yet be refused
  kQuerySuspendFailed,  // the sleep asked for was refused
  kSuspend,             // the machine goes to sleep now
  kResumeCritical,      // back from a sleep nobody was asked about
  kResumeSuspend,       // back from an announced sleep
};

// How the service host drives the receiver manager.
class IServiceEvents {
 public:
  virtual ~IServiceEvents() = default;
  // Runs the manager on the calling thread; returns only after Stop.
  virtual void Run() = 0;
  // Asks Run to return; called on the service manager's handler thread.
  virtual void Stop() = 0;
  virtual void OnDeviceEvent(const DeviceEvent& event) = 0;
  virtual void OnPowerEvent(PowerEvent event) = 0;
};

// The manager as the host owns it: driven through IServiceEvents, told of log batches.
class IServiceManager : public IServiceEvents, public LogChangedIntf {};
