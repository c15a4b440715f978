#pragma once
// The software-service simulator: the session manager behind an HTTP server on loopback, with
// the scenario's timeline played from the first receiver's subscription on.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
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

  // Records every submission request in the file at `path` (see SubmissionLedger.h); false
  // when it cannot be opened.
  bool OpenLedger(const std::string& path);

  // Timeline actions run so far.
  size_t ActionsRun() const;

  // Runs one control line: a teacher action as the timeline takes it ("activate-class
  // class-2", "switch-class class-2", "activate-question q3", "next-question", ...) or one of
  // "summary" (what was received and the results tables), "results" (the results tables),
  // "state" (class, assessment, question), "stall-poll" (the next poll of a receiver endpoint
  // gets no reply), "drop-stalled" (the stalled polls' connections close) and "help". Sets `ok` to false, with the
  // reason in the text returned, for an unknown or unusable line.
  std::string Control(const std::string& line, bool& ok);
  // Where the timeline's summary and results actions print (nowhere by default).
  void OnOutput(std::function<void(const std::string&)> output);

  // The request path of the control lines: POST with one line per action as the body.
  static constexpr const char* kControlPath = "/control";

 private:
  SimReply Answer(const SimRequest& request);
  SimReply ControlRequest(const SimRequest& request);
  void PlayTimeline();
  // A fault line ("fault ..."): the reply, `ok` false for a line it does not know.
  std::string FaultControl(const std::vector<std::string>& args, bool& ok);
  // The reply a fault puts in place of handling the request, if any.
  std::optional<SimReply> FaultReply(const SimRequest& request, const std::string& path,
                                     const std::map<std::string, std::string>& query);

  const Scenario m_scenario;
  SubmissionLedger m_ledger;
  SessionManager m_manager;
  HttpServer m_server;

  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_timelineStarted = false;
  bool m_quit = false;
  size_t m_actionsRun = 0;
  std::string m_overridePath;
  SimReply m_override;
  std::function<void(const std::string&)> m_output;
  bool m_unavailable = false;  // every request but control gets 503
  bool m_resetting = false;    // every request but control has its connection closed unanswered
  std::thread m_timeline;
};

}  // namespace ServiceSim
