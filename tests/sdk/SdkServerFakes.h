#pragma once
// The receiver manager as the SDK server sees it, for the server's tests and the client program's.
#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "MessagingTestHelpers.h"
#include "sdk/SdkMessages.h"
#include "sdk/server/SdkServerFactory.h"

// Fields guarded by one lock: Record changes them and wakes the waiters, Locked reads them.
class Recorded {
 public:
  template <class Fn>
  bool WaitFor(Fn done) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_signal.WaitFor(lock, done);
  }
  template <class Fn>
  auto Locked(Fn fn) {
    std::lock_guard<std::mutex> guard(m_lock);
    return fn();
  }

 protected:
  template <class Fn>
  void Record(Fn fn) {
    std::lock_guard<std::mutex> guard(m_lock);
    fn();
    m_signal.Notify();
  }

 private:
  std::mutex m_lock;
  Signal m_signal;
};

// The receiver manager as the server sees it, recording what it is asked.
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

  // Guarded by the lock (set them through Locked once a server runs).
  std::vector<ReceiverStatusW> receivers;
  std::vector<std::pair<int, std::string>> commands;
  std::vector<uint16_t> flagsSet;
  uint16_t flags = 0;
  std::string logFile;
  int flushes = 0;
};

inline ReceiverStatusW Receiver(uint32_t number, uint32_t state, std::u16string_view name) {
  ReceiverStatusW record;
  record.receiverNumber = number;
  record.receiverState = state;
  CStatusMessage::SetName(record, name);
  return record;
}
