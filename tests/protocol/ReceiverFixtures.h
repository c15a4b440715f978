#pragma once
#include <gmock/gmock.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ScopedTempRegistry.h"
#include "Unframe.h"
#include "connections/SBConnection.h"
#include "platform/Registry.h"
#include "protocol/ReceiverEvents.h"

class MockReceiverEvents : public IReceiverEvents {
 public:
  MOCK_METHOD(void, OnReceiverStatusChanged, (uint32_t, uint32_t), (override));
  MOCK_METHOD(void, QueueReceiverReset, (const Voxlet::StringBuffer&), (override));
};

// A link in memory: what is sent is kept as decoded packets; bytes can be made to arrive.
class FakeLink : public ISBConnection {
 public:
  FakeLink(const SBConnectionInfo& info, uint32_t openResult) : ISBConnection(info), m_openResult(openResult) {}

  uint32_t Open() override { return m_openResult; }
  bool IsOpen() override { return m_openResult == 0; }
  void Close() override {}
  std::unique_ptr<CSBIOPacket> GetReceivedPacket() override { return nullptr; }
  CWaitEvent* GetReceiveEvent() override { return &m_received; }
  void Send(std::unique_ptr<CSBIOPacket> packet) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_stream.insert(m_stream.end(), packet->Payload(), packet->Payload() + packet->PayloadLength());
    m_changed.notify_all();
  }
  bool WaitForSendsDone() override { return true; }
  Voxlet::StringBuffer GetPnPId() override { return {}; }
  bool SetCommParams(uint32_t baudRate, uint8_t, uint8_t, uint8_t) override {
    baud = baudRate;
    return true;
  }
  bool GetCommParams(uint32_t*, uint8_t*, uint8_t*, uint8_t*) override { return false; }
  bool GetNextCommParams(uint32_t*, uint8_t*, uint8_t*, uint8_t*) override { return false; }
  bool ResetDevice(uint32_t) override { return false; }
  bool IsDeviceLost() override { return false; }

  std::vector<Bytes> Sent() {
    std::lock_guard<std::mutex> guard(m_lock);
    return UnframeAll(m_stream);
  }
  // Waits until at least `count` packets were sent.
  bool WaitForSent(size_t count, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return UnframeAll(m_stream).size() >= count; });
  }

  std::atomic<uint32_t> baud{0};

 private:
  uint32_t m_openResult;
  CWaitEvent m_received;
  std::mutex m_lock;
  std::condition_variable m_changed;
  Bytes m_stream;
};
