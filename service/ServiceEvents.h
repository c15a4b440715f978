#pragma once
#include <cstdint>
#include <string>

#include "log/Logger.h"

// What happened to a device, numbered as the system's device events number it (DBT_*). Linux's
// udev reports arrivals and completed removals only; a code not named here passes through as it
// came.
enum class DeviceAction : uint32_t {
  kArrival = 0x8000,
  kQueryRemove = 0x8001,
  kQueryRemoveFailed = 0x8002,
  kRemovePending = 0x8003,
  kRemoval = 0x8004,  // the removal is complete
  kCustom = 0x8006,
};

// What a device event describes (DBT_DEVTYP_*): a device interface (a USB device, what udev
// reports), a serial port, or an open handle's device.
enum class DeviceType : uint32_t { kPort = 3, kInterface = 5, kHandle = 6 };

// One USB device event, as udev or the system's device broadcast describes the device.
struct DeviceEvent {
  DeviceAction action = DeviceAction::kArrival;
  DeviceType type = DeviceType::kInterface;
  // Linux: the USB device's sysfs path, e.g. "/sys/devices/pci0000:00/.../usb1/1-1".
  // Windows: the device interface's path, e.g. "\\?\USB#VID_16D3&PID_3000#R00042#{a5dcbf10-...}",
  // or the port's name for a port event.
  std::string sysPath;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string serial;   // empty when the device has none
  std::string devNode;  // e.g. "/dev/bus/usb/001/004"; empty when udev names none
};

// A device event as the system's device broadcast gives it: the vendor and product ids and the
// serial number are read from the device interface's path, "<prefix>#VID_vvvv&PID_pppp#<serial>#
// <class>": the last four characters of each half of the second part, in hex, and the third
// part. A path without those parts leaves the ids 0 and the serial empty (no receiver).
DeviceEvent DeviceEventFromPath(DeviceAction action, DeviceType type, const std::string& path);

// The machine about to sleep or back from it, numbered as the system's power events number
// them (PBT_*); a code not named here passes through as it came.
enum class PowerEvent : uint32_t {
  kQuerySuspend = 0,        // a sleep is asked for, and may yet be refused
  kQuerySuspendFailed = 2,  // the sleep asked for was refused
  kSuspend = 4,             // the machine goes to sleep now
  kResumeCritical = 6,      // back from a sleep nobody was asked about
  kResumeSuspend = 7,       // back from an announced sleep
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
