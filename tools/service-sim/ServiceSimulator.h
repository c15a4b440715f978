#pragma once
// The software-service simulator: the session manager behind an HTTP server on loopback, with
// the scenario's timeline played from the first receiver's subscription on.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tools/service-sim/HttpServer.h"
#include "tools/service-sim/SessionManager.h"

namespace ServiceSim {

class ServiceSimulator {
 public:
  explicit ServiceSimulator(Scenario scenario);
  ServiceSimulator(const ServiceSimulator&) = delete;
  ServiceSimulator& operator=(const ServiceSimulator&) = delete;
  ~ServiceSimulator();

  // Starts serving on 127.0.0.1:port (0 picks one); false when the port cannot be bound. The
  // session manager's state survives Stop and a later Start.
  bool Start(uint16_t port = 0);
  void Stop();
  uint16_t Port() const { return m_server.Port(); }
  // "http://127.0.0.1:PORT/"
  std::string Uri() const;

  SessionManager& Manager() { return m_manager; }
  HttpServer& Server() { return m_server; }

  // Replaces the reply to requests on exactly `path` (decoded, without query) with `reply`,
  // until cleared with an empty path.
  void OverrideReply(const std::string& path, SimReply reply);

  // Timeline actions run so far.
  size_t ActionsRun() const;

 private:
  SimReply Answer(const SimRequest& request);
  void PlayTimeline();

  const Scenario m_scenario;
  SessionManager m_manager;
  HttpServer m_server;

  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_timelineStarted = false;
  bool m_quit = false;
  size_t m_actionsRun = 0;
  std::string m_overridePath;
  SimReply m_override;
  std::thread m_timeline;
};

}  // namespace ServiceSim
