#pragma once
#include <functional>
#include <utility>

#include "platform/WaitEvent.h"
#include "service/ServiceEvents.h"

// A receiver manager that does nothing but run until it is stopped; onRun, when given, is
// called as Run begins.
class IdleManager : public IServiceManager {
 public:
  explicit IdleManager(std::function<void()> onRun = {}) : m_onRun(std::move(onRun)) {}
  void Run() override {
    if (m_onRun) m_onRun();
    m_stop.Wait(-1);
  }
  void Stop() override { m_stop.Set(); }
  void OnDeviceEvent(const DeviceEvent&) override {}
  void OnPowerEvent(PowerEvent) override {}
  void OnLogChanged() override {}

 private:
  std::function<void()> m_onRun;
  ReceiverService::CWaitEvent m_stop;
};
