#pragma once
#include <cstdint>
#include <functional>
#include <memory>

#include "connections/SBConnection.h"
#include "protocol/ReceiverProtocolHandler.h"
#include "text/StringBuffer.h"

// Creates the link for a connection description (tests give their own).
using LinkFactory = std::function<std::unique_ptr<ISBConnection>(const SBConnectionInfo&)>;

// What the receiver side needs from the outside world besides the link; tests replace them.
struct ReceiverEnvironment {
  LinkFactory makeLink;
  // Timestamp text seconds from now (the client library's CurrentTimestamp).
  std::function<Voxlet::StringBuffer(int64_t)> timestamp;
  std::function<uint32_t()> random;
  TickSource clock;
  // Pause between the steps of the start-up worker.
  int startupStepMs = 2000;
};

// Timed action kinds (queued by the class lifecycle).
enum TimedActionKind : int32_t { kTimedNetworkStop = 1 };
struct TimedAction {
  int32_t kind = 0;
  uint32_t dueTime = 0;
};
