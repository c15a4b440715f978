#pragma once
// The receiver manager as the SDK server sees it, for the server's tests and the client program's,
// and an SDK client that records what it hears, for the server's tests and the manager's.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "MessagingTestHelpers.h"
#include "sdk/SdkClient.h"
#include "sdk/server/SdkServerFactory.h"

// Records what it is asked; its fields are guarded by the lock (set them through Locked once a
// server runs).
class FakeManager : public ISDKServerEvents, public Recorded {
 public:
  int GetReceiverCount() override {
    return Locked([&] { return static_cast<int>(receivers.size()); });
  }
  int GetReceiverStatus(int count, ReceiverStatusW* records) override {
    return Locked([&] {
      const int filled = std::min(count, static_cast<int>(receivers.size()));
      std::copy_n(receivers.begin(), filled, records);
      return filled;
    });
  }
  void OnSendCommand(int receiverNumber, const std::string& command) override {
    Record([&] { commands.emplace_back(receiverNumber, command); });
  }
  void GetLogFileName(std::string& path) override {
    Locked([&] { path = logFile; });
  }
  void SetLogFlags(uint16_t value) override {
    Record([&] { flagsSet.push_back(value); });
  }
  uint16_t GetLogFlags() override {
    return Locked([&] { return flags; });
  }
  void FlushLog() override {
    Record([&] { ++flushes; });
  }

  std::vector<ReceiverStatusW> receivers;
  std::vector<std::pair<int, std::string>> commands;
  std::vector<uint16_t> flagsSet;
  uint16_t flags = 0;
  std::string logFile;
  int flushes = 0;
};

// A connected SDK client and what it has heard.
struct SdkListener : Recorded {
  bool WaitStatuses(size_t count) {
    return WaitFor([&] { return statuses.size() >= count; });
  }
  std::vector<std::vector<ReceiverStatusW>> statuses;
  int logChanges = 0;
  bool disconnected = false;
  CSdkClient sdk{{[this](const std::vector<ReceiverStatusW>& records) { Record([&] { statuses.push_back(records); }); },
                  [this] { Record([&] { ++logChanges; }); }, [this] { Record([&] { disconnected = true; }); }}};
};
