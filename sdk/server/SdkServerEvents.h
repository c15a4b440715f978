#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sdk/ReceiverStatus.h"

// What the SDK server asks of the receiver manager.
class ISDKServerEvents {
 public:
  virtual ~ISDKServerEvents() = default;
  virtual int GetReceiverCount() = 0;
  // Fills at most count records, in receiver-list order; answers how many were filled.
  virtual int GetReceiverStatus(int count, ReceiverStatusW* records) = 0;
  virtual void OnSendCommand(int receiverNumber, const std::string& command) = 0;
  virtual void GetLogFileName(std::string& path) = 0;
  virtual void SetLogFlags(uint16_t flags) = 0;
  virtual uint16_t GetLogFlags() = 0;
  virtual void FlushLog() = 0;
};

// The SDK server as the manager drives it: it broadcasts receiver status and log changes to
// its clients.
class ISDKServer {
 public:
  virtual ~ISDKServer() = default;
  virtual int Port() const = 0;
  virtual void SendReceiverStatus(const std::vector<ReceiverStatusW>& records) = 0;
  virtual void SendLogChanged() = 0;
};
