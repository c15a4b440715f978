#pragma once
#include <cstdint>

#include "client/StringBuffer.h"

// Receiver status record handed to the SDK server: 72 bytes.
struct ReceiverStatusW {
  uint32_t receiverNumber = 0;
  uint32_t receiverState = 0;      // link status: 1 analyzing data, 2 device not present, 3 device in use
  char16_t receiverName[32] = {};  // the port name; the last unit is always 0
};
static_assert(sizeof(ReceiverStatusW) == 72);

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
