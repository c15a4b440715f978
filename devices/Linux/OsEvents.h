#pragma once
#include <functional>
#include <memory>

#include "devices/OsEventWatch.h"

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
