#pragma once
#include <cstdint>

#include "log/Logger.h"

// How the service host drives the receiver manager.
class IServiceEvents {
 public:
  virtual ~IServiceEvents() = default;
  // Runs the manager on the calling thread; returns only after Stop.
  virtual void Run() = 0;
  // Asks Run to return; called on the service manager's handler thread.
  virtual void Stop() = 0;
  virtual void OnDeviceEvent(uint32_t eventType, const void* eventData) = 0;
  virtual void OnPowerEvent(uint32_t eventType, const void* eventData) = 0;
};

// The manager as the host owns it: driven through IServiceEvents, told of log batches.
class IServiceManager : public IServiceEvents, public LogChangedIntf {};
