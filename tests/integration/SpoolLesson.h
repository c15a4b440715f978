#pragma once
// What the answer spool's tests through the service binary share: a lesson of 100 clickers with
// both simulators, the service binary started (again) on the same folder and spool, a burst of
// answers at the line's pace, and the check that each answer reached the software service once
// with the document made when it came.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/ChildProcess.h"
#include "tests/integration/ServiceLog.h"
#include "tests/integration/ServiceSetup.h"
#include "tests/service/TestFiles.h"
#include "tests/tools/SampleLesson.h"
#include "tools/receiver-sim/ClickerAnswers.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/receiver-sim/SimFraming.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace SpoolLesson {

using Clock = std::chrono::steady_clock;
constexpr double kWaitSeconds = 120;
constexpr int kClickers = 100;
constexpr uint8_t kAnswerUpload = 0x0B;
constexpr uint32_t kLineBaud = 57600;  // the receiver's default line, 10 bits a byte
const std::string kEndpointPrefix = "clickerhardware.receiver.00-12-4B-00-0A-0B-0C-0D.";  // + short address

inline ServiceSim::Scenario Classroom() {
  ServiceSim::Scenario lesson = SampleLessonWithoutTimeline();
  std::vector<ServiceSim::Student>& students = lesson.classes.front().students;
  for (int n = 1001; n < 1001 + kClickers; ++n) {
    const std::string number = std::to_string(n);
    if (std::none_of(students.begin(), students.end(), [&](const auto& s) { return s.number == number; }))
      students.push_back({number, "s-" + number, "Student " + number});
  }
  return lesson;
}

// UTC now as the service writes its time texts, whose string order is time order.
inline std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
  return text;
}

inline std::string Attribute(const std::string& document, const std::string& name) {
  const size_t at = document.find(name + "=\"");
  if (at == std::string::npos) return {};
  const size_t start = at + name.size() + 2;
  return document.substr(start, document.find('"', start) - start);
}

// The endpoints named by the service's "Holding the answer of endpoint ..." lines.
inline std::set<std::string> HeldEndpoints(const std::string& log) {
  const std::string prefix = "Holding the answer of endpoint ";
  std::set<std::string> endpoints;
  for (size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1)) {
    const size_t start = at + prefix.size();
    endpoints.insert(log.substr(start, log.find(' ', start) - start));
  }
  return endpoints;
}

// Each clicker in turn answers question 1 with `choice`, one frame after the other at the line's
// pace, on a thread of its own, until all have or `stop` is set. `written`, when given, gets the
// time each clicker's frame was written, by clicker (read it once the thread has ended).
inline std::thread AnswerAtLinePace(CReceiverSimulator& receiver, const std::string& choice, std::atomic<bool>& stop,
                                    std::vector<Clock::time_point>* written = nullptr) {
  if (written) written->assign(kClickers, Clock::time_point{});
  return std::thread([&receiver, &stop, written, answer = *SimAnswers::Encode(SimAnswers::Kind::Choice, choice)] {
    Clock::time_point due = Clock::now();
    for (int i = 0; i < kClickers && !stop; ++i) {
      std::this_thread::sleep_until(due);
      const uint16_t address = receiver.ClickerAddress(i);
      std::vector<uint8_t> packet = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), kAnswerUpload,
                                     1};
      packet.insert(packet.end(), answer.begin(), answer.end());
      const size_t bytes = SimFraming::Frame(packet).size();
      receiver.SendPackets({packet});
      if (written) (*written)[static_cast<size_t>(i)] = Clock::now();
      due += std::chrono::microseconds(bytes * 10 * 1000000 / kLineBaud);
    }
  });
}

// The software service's submissions, by endpoint: how many copies of each. Each is checked to be
// accepted, for question 1, with `choice`, and with the document made by `madeBefore` (UTC).
inline std::map<std::string, int> CheckedCopies(ServiceSim::SessionManager& manager, const std::string& choice,
                                                const std::string& madeBefore) {
  std::map<std::string, int> copies;
  for (const ServiceSim::Submission& s : manager.Submissions()) {
    ++copies[s.endpointId];
    EXPECT_TRUE(s.accepted) << s.endpointId;
    EXPECT_EQ(s.questionId, "q1");
    EXPECT_EQ(s.answer, choice);
    // The document made when the answer came, not one made anew.
    EXPECT_LE(Attribute(s.document, "voxlet:submitted"), madeBefore) << s.document;
  }
  return copies;
}

// How a lesson starts the service binary: the command, its environment and its standard files,
// for the lesson's folder, the service's log, the receiver's line, the software service's URI and
// further settings of the hardware-service key. Nothing when it cannot be started.
struct HardwareLaunch {
  std::vector<std::string> command;
  std::vector<std::string> environment;
  ChildOptions options;
};
using HardwareLauncher =
    std::function<std::optional<HardwareLaunch>(const TempDir& dir, const std::string& logPath, const std::string& line,
                                                const std::string& uri, const std::vector<std::string>& settings)>;

// This build's service binary on the console, its settings in a registry store of the folder.
inline std::optional<HardwareLaunch> ThisBuildsService(const TempDir& dir, const std::string& logPath,
                                                       const std::string& line, const std::string& uri,
                                                       const std::vector<std::string>& settings) {
  return HardwareLaunch{{OVANTA_HARDWARE_EXE, "-d"}, ServiceEnvironment(dir, logPath, 17, line, uri, settings), {}};
}

// Both simulators and the service binary on one folder: its registry store and its answer
// spool stay across the service's runs, and so does the receiver's link.
class Lesson {
 public:
  // `settings`: further lines of the hardware-service key; `launch`: how the service binary
  // starts.
  explicit Lesson(std::vector<std::string> settings = {}, HardwareLauncher launch = ThisBuildsService)
      : m_settings(std::move(settings)), m_launch(std::move(launch)), m_receiver(Config(m_dir)) {}

  const TempDir& Folder() const { return m_dir; }

  CReceiverSimulator& Receiver() { return m_receiver; }
  ServiceSim::ServiceSimulator& Service() { return *m_service; }
  ServiceSim::SessionManager& Manager() { return m_service->Manager(); }
  ServiceLog& Log() { return *m_log; }
  // What the service binary logged so far, for a failure's message.
  std::string LogText() const { return m_log ? m_log->Text() : "(the service binary was not started)"; }
  ChildProcess& Process() { return *m_process; }

  // A software service (on the first one's port after the first), with that much running.
  bool StartService(const std::string& running = "") {
    ServiceSim::Scenario scenario = Classroom();
    if (!running.empty() && !ServiceSim::SetRunning(scenario, running)) return false;
    if (m_service) m_service->Stop();
    m_old.push_back(std::move(m_service));
    m_service = std::make_unique<ServiceSim::ServiceSimulator>(scenario);
    if (!m_service->Start(m_port)) return false;
    m_port = m_service->Port();
    return true;
  }
  bool StartHardwareService() {
    m_log.reset();
    m_process.reset();
    const std::optional<HardwareLaunch> launch =
        m_launch(m_dir, m_dir.File("service.log"), m_receiver.SlavePath(), m_service->Uri(), m_settings);
    if (!launch) return false;
    KeepDescriptorsFromChildren();
    m_process = std::make_unique<ChildProcess>(launch->command, launch->environment, launch->options);
    m_log = std::make_unique<ServiceLog>(*m_process, kWaitSeconds);
    return m_process->Started() && m_log->WaitFor("Receiver_Connect: Connect to receiver return 0");
  }
  // Stops the service binary as its unit would; its exit status.
  int StopHardwareService() {
    m_process->Signal(SIGINT);
    EXPECT_TRUE(m_log->WaitClosed());
    return m_process->Wait();
  }
  bool Wait(const std::function<bool()>& done) { return Manager().WaitFor(done, kWaitSeconds); }
  bool Teacher(const std::string& line) {
    bool ok = false;
    Service().Control(line, ok);
    return ok;
  }
  // Every clicker joins and signs in.
  bool JoinAll() {
    for (int i = 0; i < kClickers; ++i)
      if (!m_receiver.Join(i, std::to_string(1001 + i))) return false;
    return Wait([&] {
      int in = 0;
      for (const auto& [id, e] : Manager().Endpoints()) in += e.kind == "clicker" && e.signedIn;
      return in >= kClickers;
    });
  }
  // Everything started, every clicker in, question 1 on the clickers.
  bool StartAtQuestion() {
    return m_receiver.Start() && StartService() && StartHardwareService() && Teacher("activate-class class-1") &&
           Wait([&] { return m_receiver.NetworkUp(); }) && JoinAll() && Teacher("activate-assessment lesson-quiz") &&
           Teacher("activate-question q1") && Wait([&] { return m_receiver.Questions().Find(1) != nullptr; });
  }
  // The software service goes away; true once the hardware service has seen it.
  bool StopService() {
    Service().Stop();
    return Log().WaitFor("Disconnected from session manager");
  }
  // Once the software service is back: the clickers join again, and at least `count` accepted
  // submissions arrive.
  bool JoinedAgainAndDelivered(size_t count) {
    return Wait([&] { return m_receiver.NetworkUp(); }) && JoinAll() && Wait([&] {
             size_t in = 0;
             for (const ServiceSim::Submission& s : Manager().Submissions()) in += s.accepted;
             return in >= count;
           });
  }

 private:
  static SimulatorConfig Config(const TempDir& dir) {
    SimulatorConfig config;
    config.clickers = kClickers;
    config.linkPath = dir.File("receiver");
    config.seed = 1;
    return config;
  }
  TempDir m_dir;
  std::vector<std::string> m_settings;
  HardwareLauncher m_launch;
  CReceiverSimulator m_receiver;
  uint16_t m_port = 0;
  std::vector<std::unique_ptr<ServiceSim::ServiceSimulator>> m_old;
  std::unique_ptr<ServiceSim::ServiceSimulator> m_service;
  std::unique_ptr<ChildProcess> m_process;
  std::unique_ptr<ServiceLog> m_log;  // after the process it reads
};

}  // namespace SpoolLesson
