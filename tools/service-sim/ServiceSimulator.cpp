#include "tools/service-sim/ServiceSimulator.h"

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>

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

void ServiceSimulator::OnOutput(std::function<void(const std::string&)> output) {
  std::lock_guard lock(m_lock);
  m_output = std::move(output);
}

namespace {
// A number of seconds (0 to a day), -1 for anything else.
double SecondsOf(const std::string& text) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  return end && *end == '\0' && !text.empty() && seconds >= 0 && seconds <= 86400 ? seconds : -1;
}
}  // namespace

bool ServiceSimulator::OpenLedger(const std::string& path) {
  if (!m_ledger.Open(path)) return false;
  m_manager.SetLedger(&m_ledger);
  return true;
}

std::string ServiceSimulator::FaultControl(const std::vector<std::string>& args, bool& ok) {
  const std::string kind = args.empty() ? "" : args[0];
  const std::string value = args.size() > 1 ? args[1] : "";
  const bool on = value == "on";
  if (kind == "clear" && args.size() == 1) {
    {
      std::lock_guard lock(m_lock);
      m_unavailable = m_resetting = false;
    }
    m_manager.DelaySubmissionReplies(0);
    m_manager.RefuseClicker("");
  } else if ((kind == "unavailable" || kind == "reset") && (on || value == "off")) {
    std::lock_guard lock(m_lock);
    (kind == "unavailable" ? m_unavailable : m_resetting) = on;
  } else if (kind == "slow" && (value == "off" || SecondsOf(value) >= 0)) {
    m_manager.DelaySubmissionReplies(value == "off" ? 0 : static_cast<int>(SecondsOf(value) * 1000));
  } else if (kind == "refuse" && !value.empty()) {
    m_manager.RefuseClicker(value == "off" ? "" : value);
  } else {
    ok = false;
    return "fault: unavailable on|off, reset on|off, slow SECONDS|off, refuse STUDENT-OR-MAC|off, clear\n";
  }
  std::string line = "ok fault";
  for (const std::string& arg : args) line += " " + arg;
  return line + "\n";
}

std::optional<SimReply> ServiceSimulator::FaultReply(const SimRequest& request, const std::string& path,
                                                     const std::map<std::string, std::string>& query) {
  bool unavailable, resetting;
  {
    std::lock_guard lock(m_lock);
    unavailable = m_unavailable;
    resetting = m_resetting;
  }
  if (!unavailable && !resetting) return std::nullopt;
  SimReply reply;
  if (resetting) {
    reply.raw = std::string();  // the connection closes without a reply
  } else {
    reply.status = 503;
    reply.contentType = "text/plain";
    reply.body = "starting up\n";
  }
  if (path == "/voxlet/builtins/teachers/submit" && m_ledger.IsOpen()) {
    LedgerEntry entry;
    entry.outcome = resetting ? "reset" : "unavailable";
    entry.status = resetting ? 0 : 503;
    entry.endpoint = request.Header(kEndpointHeader);
    entry.student = request.Header(kStudentHeader);
    const auto value = [&](const char* name) {
      const auto it = query.find(name);
      return it == query.end() ? std::string() : it->second;
    };
    entry.classId = value("class");
    entry.assessment = value("assessment");
    const std::vector<BodyPart> parts = SplitMultipart(request.Header("Content-Type"), request.body);
    entry.document = parts.empty() ? request.body : parts.front().content;
    m_ledger.Record(entry);
  }
  return reply;
}

std::string ServiceSimulator::Control(const std::string& line, bool& ok) {
  ok = true;
  std::istringstream in(line);
  TimelineEvent event;
  in >> event.action;
  for (std::string word; in >> word;) event.args.push_back(word);
  if (event.action == "fault") return FaultControl(event.args, ok);
  if (event.action == "summary") return m_manager.Summary() + m_manager.ResultsSummary();
  if (event.action == "results") return m_manager.ResultsSummary();
  if (event.action == "state") return m_manager.State();
  if (event.action == "progress") return m_manager.Progress();
  if (event.action == "stall-poll" && event.args.empty()) {
    m_server.StallNext([this](const SimRequest& request) {
      std::string path;
      std::map<std::string, std::string> query;
      SplitTarget(request.target, path, query);
      return request.method == "GET" && path == "/voxlet/builtins/anyone/hello" &&
             m_manager.EndpointKind(request.Header(kEndpointHeader)) == "receiver";
    });
    return "ok " + line + "\n";
  }
  if (event.action == "drop-stalled" && event.args.empty()) {
    m_server.DropStalled();
    return "ok " + line + "\n";
  }
  if (event.action == "help")
    return "actions: activate-class [CLASS] | deactivate-class [logoff] [next-anonymous] | switch-class CLASS |\n"
           "  activate-assessment [ASSESSMENT] | deactivate-assessment | activate-question ID|NUMBER |\n"
           "  next-question | deactivate-question | network-name TEXT | disconnect-student STUDENT-ID |\n"
           "  cancel-raised-hand STUDENT-ID | review-mode-off | database-opened | mode-switching |\n"
           "  hold-notifications | release-notifications | summary | results | state | progress |\n"
           "  stall-poll | drop-stalled | fault unavailable|reset on|off | fault slow SECONDS|off |\n"
           "  fault refuse STUDENT-OR-MAC|off | fault clear | help\n";
  if (event.action.empty()) {
    ok = false;
    return "empty control line\n";
  }
  if (!IsKnownAction(event.action)) {
    ok = false;
    return "unknown action: " + event.action + "\n";
  }
  if (!m_manager.RunAction(event)) {
    ok = false;
    return "not done (unknown name or bad arguments): " + line + "\n";
  }
  return "ok " + line + "\n";
}

// POST /control: each line of the body is one control line; 200 when all were done, else 400.
// The replies go back in the body; summary and results are also printed.
SimReply ServiceSimulator::ControlRequest(const SimRequest& request) {
  SimReply reply;
  reply.contentType = "text/plain";
  if (request.method != "POST") {
    reply.status = 405;
    reply.body = "POST a control line\n";
    return reply;
  }
  bool allOk = true;
  std::istringstream lines(request.body);
  for (std::string line; std::getline(lines, line);) {
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') continue;
    line = line.substr(start, line.find_last_not_of(" \t\r") - start + 1);
    bool ok = true;
    const std::string text = Control(line, ok);
    reply.body += text;
    allOk = allOk && ok;
    // A summary asked for over the control path is printed where the timeline's goes, too.
    const std::string action = line.substr(0, line.find_first_of(" \t"));
    if (action == "summary" || action == "results") {
      std::function<void(const std::string&)> output;
      {
        std::lock_guard lock(m_lock);
        output = m_output;
      }
      if (output) output(text);
    }
  }
  if (reply.body.empty()) {
    allOk = false;
    reply.body = "empty control request\n";
  }
  reply.status = allOk ? 200 : 400;
  return reply;
}

SimReply ServiceSimulator::Answer(const SimRequest& request) {
  std::string path;
  std::map<std::string, std::string> query;
  SplitTarget(request.target, path, query);
  if (path == kControlPath) return ControlRequest(request);
  if (std::optional<SimReply> fault = FaultReply(request, path, query)) return *fault;
  {
    std::lock_guard lock(m_lock);
    if (!m_overridePath.empty() && path == m_overridePath) return m_override;
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
    const auto output = m_output;
    lock.unlock();
    if (event.action == "summary" || event.action == "results") {
      bool ok = true;
      const std::string text = Control(event.action, ok);
      if (output) output(text);
    } else {
      m_manager.RunAction(event);
    }
    lock.lock();
    ++m_actionsRun;
  }
}

}  // namespace ServiceSim
