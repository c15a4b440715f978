#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The operating system's device and power events, in the shape the receiver manager takes
// them: device events carry a device interface name "\\?\USB#VID_16D3&PID_3000#serial#{guid}",
// power events the power-broadcast codes.

// Device event types.
enum DeviceEventType : uint32_t {
  kDeviceArrival = 0x8000,
  kDeviceQueryRemove = 0x8001,
  kDeviceQueryRemoveFailed = 0x8002,
  kDeviceRemovePending = 0x8003,
  kDeviceRemoveComplete = 0x8004,
  kDeviceCustomEvent = 0x8006,
};

// Device types of a device event.
enum DeviceBroadcastType : uint32_t {
  kDevTypePort = 3,
  kDevTypeDeviceInterface = 5,
  kDevTypeHandle = 6,
};

// Power event types.
enum PowerEventType : uint32_t {
  kPowerQuerySuspend = 0,
  kPowerQuerySuspendFailed = 2,
  kPowerSuspend = 4,
  kPowerResumeCritical = 6,
  kPowerResumeSuspend = 7,
};

// The event data of a device event.
struct DeviceBroadcast {
  uint32_t deviceType = kDevTypeDeviceInterface;
  std::string name;  // the device interface name, or the port name for kDevTypePort
};

// The device interface name of a USB device: what device arrival and removal parse.
std::string DeviceInterfaceName(uint16_t vendorId, uint16_t productId, const std::string& serial);

using DeviceEventHandler = std::function<void(uint32_t eventType, const DeviceBroadcast& data)>;
using PowerEventHandler = std::function<void(uint32_t eventType)>;

// Watches USB and tty hotplug through udev and reports arrivals and removals of USB devices.
// Without udev (containers, CI) it logs once and reports nothing.
class CUdevMonitor {
 public:
  explicit CUdevMonitor(DeviceEventHandler handler);
  ~CUdevMonitor();
  CUdevMonitor(const CUdevMonitor&) = delete;
  CUdevMonitor& operator=(const CUdevMonitor&) = delete;
  bool Running() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Turns logind's PrepareForSleep into suspend and resume events, holding a sleep delay lock so
// that the receivers are closed before the machine sleeps. Without a system bus it logs once
// and reports nothing.
class CSleepMonitor {
 public:
  explicit CSleepMonitor(PowerEventHandler handler);
  ~CSleepMonitor();
  CSleepMonitor(const CSleepMonitor&) = delete;
  CSleepMonitor& operator=(const CSleepMonitor&) = delete;
  // Watching the bus: false without one, and once the connection to it was lost.
  bool Running() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
