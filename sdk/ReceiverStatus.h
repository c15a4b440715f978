#pragma once
#include <cstdint>

// A receiver's status as the SDK carries it to its clients: 72 bytes.
struct ReceiverStatusW {
  uint32_t receiverNumber = 0;
  uint32_t receiverState = 0;      // link status: 1 analyzing data, 2 device not present, 3 device in use
  char16_t receiverName[32] = {};  // the port name; the last unit is always 0
};
static_assert(sizeof(ReceiverStatusW) == 72);
