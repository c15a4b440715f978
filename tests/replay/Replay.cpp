#include "tests/replay/Replay.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>

#include "tests/integration/ChildProcess.h"
#include "tests/integration/ServiceLog.h"
#include "tests/integration/ServiceSetup.h"
#include "tests/replay/Transcript.h"
#include "tests/replay/WineService.h"
#include "tests/service/ReadOnlyDirectory.h"
#include "tests/service/TestFiles.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace Replay {

namespace {

// Every wait's upper bound: far beyond what a step takes under the sanitizers on a loaded machine.
constexpr double kWaitSeconds = 90;

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The words from `first` on, joined by blanks.
std::string Rest(const std::vector<std::string>& words, size_t first) {
  std::string text;
  for (size_t i = first; i < words.size(); ++i) text += (text.empty() ? "" : " ") + words[i];
  return text;
}

std::optional<int> Number(const std::string& text) {
  try {
    size_t used = 0;
    const int value = std::stoi(text, &used, 0);
    if (used == text.size()) return value;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// Polls `done` until it holds or the wait's bound passes, for state nobody signals.
bool Soon(const std::function<bool()>& done) { return Eventually(done, kWaitSeconds); }

std::string MacOf(const ClickerInfo& clicker) {
  char text[24];
  std::snprintf(text, sizeof text, "%08x%08x", clicker.macHigh, clicker.macLow);
  return text;
}

SimulatorConfig ReceiverConfig(const Script& script, const std::string& linkPath) {
  SimulatorConfig config;
  config.clickers = script.clickers;
  config.linkPath = linkPath;
  config.seed = 1;
  return config;
}

class Player {
 public:
  Player(const Script& script, const std::string& simData)
      : m_script(script), m_receiver(ReceiverConfig(script, m_dir.File("receiver"))) {
    std::string error;
    const auto lesson = ServiceSim::LoadScenario(simData + "/lesson.scenario", error);
    if (lesson) {
      m_lesson = *lesson;
      m_lesson.timeline.clear();
    }
    m_setupError = error;
  }

  Outcome Run() {
    Outcome outcome;
    if (!m_setupError.empty()) return Fail(outcome, "the sample lesson: " + m_setupError);
    if (!m_receiver.Start()) return Fail(outcome, "the receiver simulator does not start");
    if (const std::string exe = WindowsServiceExe(); !exe.empty()) {
      m_wine = std::make_unique<WineService>(exe, m_receiver.SlavePath());
      if (m_wine->Port().empty()) return Fail(outcome, m_wine->Error());
    }
    std::map<std::string, int> macs;
    for (const ClickerInfo& clicker : m_receiver.Clickers()) macs[MacKey(MacOf(clicker))] = clicker.index;
    m_names = std::make_unique<EndpointNames>(std::move(macs));
    m_services.push_back(std::make_unique<ServiceSim::ServiceSimulator>(m_lesson));
    if (!m_services.back()->Start(0)) return Fail(outcome, "the software-service simulator does not start");
    m_port = m_services.back()->Port();
    m_seen.emplace_back();

    std::string header;
    for (size_t i = 0; i < m_script.steps.size(); ++i) {
      const Step& step = m_script.steps[i];
      header += "## " + step.text + "\n";
      std::string error;
      if (!(step.IsWait() ? Wait(step, error) : Do(step, error))) {
        Collect();
        outcome.transcript += m_sections.Close(header);
        return Fail(outcome, "line " + std::to_string(step.line) + " (" + step.text + "): " + error);
      }
      const bool barrier = step.IsWait() && (i + 1 == m_script.steps.size() || !m_script.steps[i + 1].IsWait());
      if (barrier || i + 1 == m_script.steps.size()) {
        Collect();
        outcome.transcript += m_sections.Close(header) + "\n";
        header.clear();
      }
    }
    outcome.ok = true;
    if (m_log) outcome.log = m_log->Text();
    return outcome;
  }

 private:
  struct Seen {
    size_t requests = 0, submissions = 0;
  };

  Outcome& Fail(Outcome& outcome, const std::string& error) {
    outcome.ok = false;
    outcome.error = error;
    if (m_log) outcome.error += "\nthe service's log:\n" + m_log->Text();
    return outcome;
  }

  ServiceSim::ServiceSimulator& Service() { return *m_services.back(); }

  // Everything recorded since the last look, into the open section.
  void Collect() {
    for (size_t s = 0; s < m_services.size(); ++s) {
      const ServiceSim::SessionManager& manager = m_services[s]->Manager();
      const std::vector<ServiceSim::ReceivedRequest> requests = manager.Requests();
      const std::vector<ServiceSim::Submission> submissions = manager.SubmissionsFrom(m_seen[s].submissions);
      for (size_t r = m_seen[s].requests; r < requests.size(); ++r) m_names->Learn(requests[r]);
      size_t nextSubmission = 0;
      for (size_t r = m_seen[s].requests; r < requests.size(); ++r) {
        const ServiceSim::ReceivedRequest& request = requests[r];
        const ServiceSim::Submission* submission = nullptr;
        if (request.route == "submit" && nextSubmission < submissions.size())
          submission = &submissions[nextSubmission++];
        if (const auto line = RequestLine(request, submission, *m_names)) m_sections.Add(*line);
      }
      m_seen[s].requests = requests.size();
      m_seen[s].submissions += nextSubmission;
    }
    const auto received = m_receiver.Received();
    for (size_t p = m_receivedSeen; p < received.size(); ++p)
      if (const auto line = PacketLine(received[p], true)) m_sections.Add(*line);
    m_receivedSeen = received.size();
    const auto sent = m_receiver.Sent();
    for (size_t p = m_sentSeen; p < sent.size(); ++p)
      if (const auto line = PacketLine(sent[p], false)) m_sections.Add(*line);
    m_sentSeen = sent.size();
  }

  bool Do(const Step& step, std::string& error) {
    const std::vector<std::string>& w = step.words;
    const std::string& verb = w[0];
    if (verb == "start") {
      if (m_process && !m_exited) return (error = "the service already runs", false);
      m_log.reset();  // the log reader goes before the process it reads
      m_process.reset();
      m_exited = false;
      const std::string logPath = m_dir.File("service.log");
      std::vector<std::string> command = {OVANTA_HARDWARE_EXE, "-d"};
      std::vector<std::string> environment;
      ChildOptions options;
      if (m_wine) {
        const auto settings =
            ServiceSettings(m_dir, logPath, 17, m_wine->Port(), Service().Uri(), m_script.settings, WindowsPath);
        if (!m_wine->WriteSettings(settings, m_dir.File("settings.reg"), error)) return false;
        command = m_wine->Command();
        environment = m_wine->Environment();
        options.stdinFd = m_wine->NullInput();
      } else {
        environment =
            ServiceEnvironment(m_dir, logPath, 17, m_receiver.SlavePath(), Service().Uri(), m_script.settings);
      }
      KeepDescriptorsFromChildren();
      m_process = std::make_unique<ChildProcess>(command, environment, options);
      if (!m_process->Started()) return (error = "the service binary does not start", false);
      m_log = std::make_unique<ServiceLog>(*m_process, kWaitSeconds);
      return true;
    }
    if (verb == "stop")
      return m_process ? (m_process->Signal(SIGINT), true) : (error = "the service does not run", false);
    if (verb == "kill" && w.size() == 2 && (w[1] == "TERM" || w[1] == "KILL")) {
      if (!m_process || m_exited) return (error = "the service does not run", false);
      // Windows has no SIGTERM (Wine ends a program on it without a word): the system's request
      // to stop a console program is its Ctrl-C event, which Wine raises for SIGINT.
      m_process->Signal(w[1] == "KILL" ? SIGKILL : m_wine ? SIGINT : SIGTERM);
      if (!m_log->WaitClosed()) return (error = "the service did not end", false);
      const int status = m_process->Wait();
      m_exited = true;
      if (w[1] == "TERM" && status != 0) return (error = "the service exited with " + std::to_string(status), false);
      return true;
    }
    if (verb == "spool" && w.size() == 2 && w[1] == "read-only") {
      m_readOnlySpool.emplace(m_dir.File("spool"));
      return m_readOnlySpool->Made() || (error = "the directory cannot be made read-only", false);
    }
    if (verb == "spool" && w.size() == 3 && (w[1] == "cut" || w[1] == "flip")) {
      if (m_process && !m_exited) return (error = "the service runs", false);
      return DamageSpool(w[1] == "cut", Number(w[2]).value_or(-1), error);
    }
    if (verb == "teacher") {
      bool ok = false;
      const std::string reply = Service().Control(Rest(w, 1), ok);
      if (!ok) error = reply;
      return ok;
    }
    if (verb == "replug") return m_receiver.Replug() || (error = "no new pseudo-terminal", false);
    if (verb == "service" && w.size() >= 2 && w[1] == "stop") return Service().Stop(), true;
    if (verb == "service" && w.size() == 3 && w[1] == "hold") return Service().Server().HoldReplies(w[2]), true;
    if (verb == "service" && w.size() == 2 && w[1] == "release") return Service().Server().ReleaseHeld(), true;
    if (verb == "service" && w.size() == 2 && (w[1] == "stall-poll" || w[1] == "drop-stalled")) {
      bool ok = false;
      error = Service().Control(w[1], ok);
      return ok;
    }
    if (verb == "expect" && w.size() == 3 && w[1] == "duplicates") {
      size_t duplicates = 0;
      for (const auto& service : m_services) duplicates += service->Manager().DuplicateSubmissions();
      if (Number(w[2]) == static_cast<int>(duplicates)) return true;
      return (error = std::to_string(duplicates) + " duplicate submission(s) recorded", false);
    }
    if (verb == "service" && w.size() >= 2 && w[1] == "reply") {
      ServiceSim::SimReply reply;
      reply.status = w.size() >= 5 ? Number(w[3]).value_or(0) : 0;
      if (w.size() >= 5) reply.contentType = w[4];
      reply.body = Rest(w, 5);
      if (w.size() != 2 && reply.status == 0) return (error = "no status", false);
      Service().OverrideReply(w.size() == 2 ? "" : w[2], reply);
      return true;
    }
    if (verb == "service" && w.size() >= 2 && w[1] == "start") {
      ServiceSim::Scenario scenario = m_lesson;
      if (w.size() >= 3 && !ServiceSim::SetRunning(scenario, w[2])) return (error = "not in the lesson", false);
      m_services.push_back(std::make_unique<ServiceSim::ServiceSimulator>(scenario));
      m_seen.emplace_back();
      return m_services.back()->Start(m_port) || (error = "the port is taken", false);
    }
    return Clicker(w, error);
  }

  bool Clicker(const std::vector<std::string>& w, std::string& error) {
    const std::optional<int> i = w.size() >= 2 ? Number(w[1]) : std::nullopt;
    if (!i || *i < 0 || *i >= m_script.clickers) return (error = "no such clicker or step", false);
    const std::string& verb = w[0];
    if (verb == "join") return m_receiver.Join(*i, w.size() >= 3 ? w[2] : "") || (error = "bad number", false);
    if (verb == "login" && w.size() == 3) return m_receiver.Login(*i, w[2]) || (error = "bad number", false);
    if (const auto kind = SimAnswers::KindFromName(verb); kind && w.size() >= 4) {
      const std::optional<int> question = Number(w[2]);
      if (!question) return (error = "no question number", false);
      return m_receiver.AnswerText(*i, Rest(w, 3), *question, kind) || (error = "no such question or text", false);
    }
    if (verb == "hand") return m_receiver.RaiseHand(*i, w.size() < 3 || w[2] != "0"), true;
    if (verb == "battery" && w.size() == 4)
      return m_receiver.ReportBattery(*i, w[2] != "0", static_cast<uint8_t>(Number(w[3]).value_or(0))), true;
    if (verb == "end") return m_receiver.EndSession(*i), true;
    if (verb == "logoff") return m_receiver.LogOff(*i), true;
    return (error = "unknown step", false);
  }

  // Cuts `n` bytes off the end of the answer spool's records, or flips bit `n` of their middle
  // byte. The records are followed by the zeros written ahead of them, so a cut leaves zeros
  // where the bytes were, as a write cut short by a crash does.
  bool DamageSpool(bool cut, int n, std::string& error) {
    const std::string path = m_dir.File("spool/answers.spool");
    std::string journal = ReadFile(path);
    const size_t last = journal.find_last_not_of('\0');
    const size_t records = last == std::string::npos ? 0 : last + 1;
    if (n < 0 || (cut && static_cast<size_t>(n) > records) || (!cut && (n > 7 || records == 0)))
      return (error = "the spool holds " + std::to_string(records) + " bytes of records", false);
    if (cut)
      std::fill(journal.begin() + static_cast<std::ptrdiff_t>(records - static_cast<size_t>(n)),
                journal.begin() + static_cast<std::ptrdiff_t>(records), '\0');
    else
      journal[records / 2] = static_cast<char>(journal[records / 2] ^ (1 << n));
    WriteFile(path, journal);
    return true;
  }

  // Waits until the condition holds; false (with the reason) when the bound passes first. N, the
  // condition's count (or question number), is its last word.
  bool Wait(const Step& step, std::string& error) {
    const std::vector<std::string>& w = step.words;
    const std::string what = w.size() >= 2 ? w[1] : "";
    const int n = w.size() > 2 ? Number(w.back()).value_or(-1) : 1;
    const auto atLeastN = [n](const auto& items, const auto& is) {
      int in = 0;
      for (const auto& item : items) in += is(item);
      return in >= n;
    };
    ServiceSim::SessionManager& manager = Service().Manager();
    auto service = [&](const std::function<bool()>& done) { return manager.WaitFor(done, kWaitSeconds); };
    bool held = false;
    if (what == "log" && w.size() >= 4 && m_log) {  // wait log N TEXT...
      held = m_log->WaitFor(Rest(w, 3), static_cast<size_t>(Number(w[2]).value_or(-1)));
    } else if (what == "network" && w.size() == 3) {
      held = Soon([&] { return m_receiver.NetworkUp() == (w[2] == "up"); });
    } else if (what == "class-name") {
      held = Soon([&] { return !m_receiver.ClassName().empty(); });
    } else if (what == "question" && w.size() == 3) {
      held = Soon([&] { return m_receiver.Questions().Find(n) != nullptr; });
    } else if (what == "no-questions") {
      held = Soon([&] { return m_receiver.Questions().empty(); });
    } else if (what == "clickers" && w.size() == 4) {  // wait clickers STATE N: at least N clickers in STATE
      held = Soon([&] {
        return atLeastN(m_receiver.Clickers(), [&](const ClickerInfo& c) { return w[2] == ToString(c.state); });
      });
    } else if (what == "results" && w.size() == 3) {
      held = Soon(
          [&] { return atLeastN(m_receiver.Clickers(), [](const ClickerInfo& c) { return !c.results.empty(); }); });
    } else if (what == "requests" && w.size() == 4) {
      held = service([&] { return manager.Count(w[2]) >= static_cast<size_t>(n); });
    } else if (what == "signed-in" && w.size() == 3) {
      held = service([&] {
        return atLeastN(manager.Endpoints(),
                        [](const auto& e) { return e.second.kind == "clicker" && e.second.signedIn; });
      });
    } else if (what == "submitted" && w.size() == 4) {  // wait submitted QUESTION N: N accepted answers to it
      held = service([&] {
        return atLeastN(manager.Submissions(), [&](const auto& s) { return s.accepted && s.questionId == w[2]; });
      });
    } else if (what == "hands" && w.size() == 3) {
      held = service([&] { return manager.RaisedHands().size() >= static_cast<size_t>(n); });
    } else if ((what == "sent" || what == "answered") && w.size() == 5) {
      // wait sent ADDRESS COMMAND N: the service sent N packets of COMMAND (hex) to ADDRESS.
      // wait answered ADDRESS COMMAND N: the receiver sent N packets of COMMAND from ADDRESS
      // (its acknowledgements and answers), so the packets they answer have been handled.
      const std::optional<int> address = w[2] == "receiver" ? 0
                                         : w[2] == "all"    ? 0xFFFF
                                         : w[2].rfind("clicker-", 0) == 0
                                             ? std::optional<int>(0x0100 + Number(w[2].substr(8)).value_or(0xFF))
                                             : Number("0x" + w[2]);
      const std::optional<int> command = Number("0x" + w[3]);
      const auto enough = [&](const std::vector<std::vector<uint8_t>>& packets) {
        return atLeastN(packets, [&](const auto& p) {
          return p.size() >= 3 && ((p[0] << 8) | p[1]) == *address && p[2] == *command;
        });
      };
      if (address && command && what == "sent")
        held = m_receiver.WaitFor(enough, static_cast<int>(kWaitSeconds * 1000));
      else if (address && command)
        held = Soon([&] { return enough(m_receiver.Sent()); });
    } else if (what == "held" && w.size() == 3) {
      held = Service().Server().WaitHeld(static_cast<size_t>(n), kWaitSeconds);
    } else if (what == "stalled" && w.size() == 3) {  // wait stalled N: N requests stalled so far
      held = Service().Server().WaitStalled(static_cast<size_t>(n), kWaitSeconds);
    } else if (what == "exit" && m_log) {
      held = m_log->WaitClosed();
      m_exited = held;
      if (held && m_process->Wait() != 0)
        return (error = "the service exited with " + std::to_string(m_process->Wait()), false);
    } else {
      return (error = "unknown condition", false);
    }
    if (!held) error = "did not happen in time";
    return held;
  }

  const Script& m_script;
  ServiceSim::Scenario m_lesson;
  std::string m_setupError;
  TempDir m_dir;
  std::optional<ReadOnlyDirectory> m_readOnlySpool;  // in m_dir: goes first
  CReceiverSimulator m_receiver;
  std::vector<std::unique_ptr<ServiceSim::ServiceSimulator>> m_services;  // the last is the one running
  std::vector<Seen> m_seen;                                               // per software service
  uint16_t m_port = 0;
  size_t m_receivedSeen = 0, m_sentSeen = 0;
  std::unique_ptr<EndpointNames> m_names;
  Sections m_sections;
  // The Windows service under Wine instead of this build's (WindowsServiceExe).
  std::unique_ptr<WineService> m_wine;
  // The service binary, then its log reader (which kills it if the script stops early).
  std::unique_ptr<ChildProcess> m_process;
  std::unique_ptr<ServiceLog> m_log;
  bool m_exited = false;  // the service binary ran and has ended (it may start again)
};

}  // namespace

std::optional<Script> ParseScript(const std::string& text, std::string& error) {
  Script script;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    if (script.steps.empty() && words[0] == "clickers" && words.size() == 2) {
      const std::optional<int> n = Number(words[1]);
      if (!n || *n < 1 || *n > 200) return (error = "line " + std::to_string(number) + ": bad count", std::nullopt);
      script.clickers = *n;
    } else if (script.steps.empty() && words[0] == "setting" && words.size() == 2 &&
               words[1].find('=') != std::string::npos) {
      script.settings.push_back(words[1]);
    } else {
      script.steps.push_back({number, Rest(words, 0), std::move(words)});
    }
  }
  if (script.steps.empty()) return (error = "no steps", std::nullopt);
  return script;
}

Outcome Play(const Script& script, const std::string& simData) { return Player(script, simData).Run(); }

}  // namespace Replay
