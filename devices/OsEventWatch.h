#pragma once
#include <functional>
#include <memory>

#include "service/ServiceEvents.h"

using DeviceEventHandler = std::function<void(const DeviceEvent& event)>;
using PowerEventHandler = std::function<void(PowerEvent event)>;

// The machine's device and power events, watched while the manager runs where nobody hands
// them to the service: on Linux udev's USB hotplug and logind's sleep (devices/Linux/OsEvents.h).
// On Windows the service control manager delivers both through the service's control handler,
// so this watches nothing there.
class COsEventWatch {
 public:
  COsEventWatch(DeviceEventHandler devices, PowerEventHandler power);
  ~COsEventWatch();
  COsEventWatch(const COsEventWatch&) = delete;
  COsEventWatch& operator=(const COsEventWatch&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
