#include "tools/service-sim/ServiceSimulator.h"

#include <chrono>
#include <map>

#include "tools/service-sim/SimText.h"

namespace ServiceSim {

ServiceSimulator::ServiceSimulator(Scenario scenario)
    : m_scenario(std::move(scenario)),
      m_manager(m_scenario),
      m_server([this](const SimRequest& request) { return Answer(request); }) {
  m_manager.OnFirstReceiverSubscribed([this] {
    {
      std::lock_guard lock(m_lock);
      m_timelineStarted = true;
    }
    m_wake.notify_all();
  });
  m_timeline = std::thread([this] { PlayTimeline(); });
}

ServiceSimulator::~ServiceSimulator() {
  {
    std::lock_guard lock(m_lock);
    m_quit = true;
  }
  m_wake.notify_all();
  m_timeline.join();
  m_server.Stop();
}

bool ServiceSimulator::Start(uint16_t port) { return m_server.Start(port); }

void ServiceSimulator::Stop() { m_server.Stop(); }

std::string ServiceSimulator::Uri() const { return "http://127.0.0.1:" + std::to_string(Port()) + "/"; }

void ServiceSimulator::OverrideReply(const std::string& path, SimReply reply) {
  std::lock_guard lock(m_lock);
  m_overridePath = path;
  m_override = std::move(reply);
}

size_t ServiceSimulator::ActionsRun() const {
  std::lock_guard lock(m_lock);
  return m_actionsRun;
}

SimReply ServiceSimulator::Answer(const SimRequest& request) {
  {
    std::lock_guard lock(m_lock);
    if (!m_overridePath.empty()) {
      std::string path;
      std::map<std::string, std::string> query;
      SplitTarget(request.target, path, query);
      if (path == m_overridePath) return m_override;
    }
  }
  return m_manager.Handle(request);
}

// Waits (without polling) for the first receiver's subscription, then runs each action at its
// offset from that moment.
void ServiceSimulator::PlayTimeline() {
  std::unique_lock lock(m_lock);
  m_wake.wait(lock, [&] { return m_quit || m_timelineStarted; });
  const auto start = std::chrono::steady_clock::now();
  for (const TimelineEvent& event : m_scenario.timeline) {
    const auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(event.at));
    if (m_wake.wait_until(lock, due, [&] { return m_quit; })) return;
    lock.unlock();
    m_manager.RunAction(event);
    lock.lock();
    ++m_actionsRun;
  }
}

}  // namespace ServiceSim
