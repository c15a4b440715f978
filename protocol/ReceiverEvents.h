#pragma once
#include <cstdint>

#include "text/StringBuffer.h"

// What a receiver tells its manager.
class IReceiverEvents {
 public:
  virtual ~IReceiverEvents() = default;
  // The receiver's link status changed.
  virtual void OnReceiverStatusChanged(uint32_t receiverNumber, uint32_t state) = 0;
  // The receiver should be closed (and, by setting, opened again): state mismatch, watchdog
  // reset or an overdue scan.
  virtual void QueueReceiverReset(const Voxlet::StringBuffer& portName) = 0;
};
