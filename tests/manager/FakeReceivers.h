#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "devices/ManagedReceiver.h"

// Stand-ins for the receivers that the manager drives.

// Which ports open, and what was opened and closed.
class FakeLinks {
 public:
  std::map<Voxlet::StringBuffer, uint32_t> openResult;  // ports not listed open with 0
  std::vector<Voxlet::StringBuffer> opened, closed;
  int opening = 0;
  std::mutex lock;
  std::condition_variable changed;

  bool holdOpens = false;   // opens wait until Release, as a link trying line settings does
  bool holdCloses = false;  // closes wait until Release, as a USB tty draining its output does
  int closing = 0;
  std::vector<Voxlet::StringBuffer> closingPorts;

  uint32_t Open(const Voxlet::StringBuffer& port) {
    std::unique_lock<std::mutex> guard(lock);
    ++opening;
    changed.notify_all();
    changed.wait(guard, [this] { return !holdOpens; });
    --opening;
    auto it = openResult.find(port);
    uint32_t result = it == openResult.end() ? 0 : it->second;
    // A link still closing holds its tty: the port is in use until the close has ended.
    if (std::count(closingPorts.begin(), closingPorts.end(), port) > 0) result = 3;
    if (result == 0) opened.push_back(port);
    changed.notify_all();
    return result;
  }
  void Close(const Voxlet::StringBuffer& port) {
    std::unique_lock<std::mutex> guard(lock);
    ++closing;
    closingPorts.push_back(port);
    changed.notify_all();
    changed.wait(guard, [this] { return !holdCloses; });
    --closing;
    closingPorts.erase(std::find(closingPorts.begin(), closingPorts.end(), port));
    closed.push_back(port);
    changed.notify_all();
  }
  bool WaitForOpen(const Voxlet::StringBuffer& port) { return WaitFor(opened, port); }
  bool WaitForClose(const Voxlet::StringBuffer& port) { return WaitFor(closed, port); }
  void Release() {
    std::lock_guard<std::mutex> guard(lock);
    holdOpens = holdCloses = false;
    changed.notify_all();
  }
  bool WaitForOpening() {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20), [&] { return opening > 0; });
  }
  bool WaitForClosing() {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20), [&] { return closing > 0; });
  }
  bool WaitFor(const std::vector<Voxlet::StringBuffer>& ports, const Voxlet::StringBuffer& port) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20),
                            [&] { return std::count(ports.begin(), ports.end(), port) > 0; });
  }
  size_t Opens(const Voxlet::StringBuffer& port) {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<size_t>(std::count(opened.begin(), opened.end(), port));
  }
};

class FakeReceiver : public IManagedReceiver {
 public:
  FakeReceiver(FakeLinks& links, uint32_t number) : m_links(links), m_number(number) {}
  uint32_t Open(const Voxlet::StringBuffer& port) override {
    m_port = port;
    return m_links.Open(port);
  }
  void Close() override {
    if (!m_closed.exchange(true)) m_links.Close(m_port);
  }
  Voxlet::StringBuffer PortName() const override { return m_port; }
  uint32_t Number() const override { return m_number; }
  uint32_t State() const override { return 1; }
  void SendCommandText(const std::string&) override {}
  Voxlet::StringBuffer EndpointId() const override { return u"receiver.00-11-22-33-44-55-66-77"; }

 private:
  FakeLinks& m_links;
  uint32_t m_number;
  Voxlet::StringBuffer m_port;
  std::atomic<bool> m_closed{false};
};
