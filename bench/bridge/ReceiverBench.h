#pragma once
// The receiver stack between its two simulators, for the bridge benchmarks: the simulated
// software service, the simulated receiver on a pseudo-terminal, and a real CReceiver with its
// CReceiverSession, brought up to a subscribed receiver (start-up scan over, software service
// reached). The benchmark plays the teacher through the service simulator's control lines and
// ticks the receiver's client itself.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/ReceiverSession.h"
#include "client/http/Client.h"
#include "client/http/Globals.h"
#include "log/Logger.h"
#include "platform/Registry.h"
#include "protocol/Receiver.h"
#include "tests/protocol/ScopedTempRegistry.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace ReceiverBench {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

inline double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The question batches (command 0x0A to the receiver itself) among the packets received.
inline size_t QuestionBatches(const std::vector<Bytes>& packets) {
  return static_cast<size_t>(std::count_if(packets.begin(), packets.end(), [](const Bytes& p) {
    return p.size() > 3 && p[0] == 0 && p[1] == 0 && p[2] == 0x0A;
  }));
}

inline double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size())));
  return values[at];
}

// The service simulator's sample lesson without its timeline (the benchmark is the teacher),
// its classes listed.
inline ServiceSim::Scenario SampleLesson() {
  std::string error;
  std::optional<ServiceSim::Scenario> loaded =
      ServiceSim::LoadScenario(std::string(OVANTA_SERVICE_SIM_DATA) + "/lesson.scenario", error);
  if (!loaded) {
    std::fprintf(stderr, "lesson.scenario: %s\n", error.c_str());
    return {};
  }
  ServiceSim::Scenario lesson = *loaded;
  lesson.timeline.clear();
  if (lesson.classes.empty()) lesson.classes = lesson.AllClasses();
  return lesson;
}

class NoReceiverEvents : public IReceiverEvents {
 public:
  void OnReceiverStatusChanged(uint32_t, uint32_t) override {}
  void QueueReceiverReset(const Voxlet::StringBuffer&) override {}
};

class Stack {
 public:
  explicit Stack(ServiceSim::Scenario scenario) : service(std::move(scenario)) {}
  ~Stack() {
    session.reset();
    receiver.reset();
    if (simulator) simulator->Stop();
    service.Stop();
    g_pLogger.store(nullptr);
    logger.reset();
    if (m_keepLog)
      std::fprintf(stderr, "the receiver stack's log: %s\n", logPath.c_str());
    else
      unlink(logPath.c_str());
  }
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  // Empty when the receiver is subscribed, else what failed. `config` is the simulated
  // receiver's; `hook` runs on the simulator before the receiver opens it.
  std::string Start(SimulatorConfig config, SessionEnvironment sessionEnv,
                    const std::function<void(CReceiverSimulator&)>& hook = {}) {
    char path[] = "/tmp/ovanta-bench-log-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    logPath = path;
    logger = std::make_unique<CLogger>(nullptr);
    logger->Open(logPath);
    // No per-packet lines; with OVANTA_BENCH_KEEP_LOG set, the diagnostic lines too (every answer
    // not submitted says why), and the log is kept.
    m_keepLog = getenv("OVANTA_BENCH_KEEP_LOG") != nullptr;
    logger->SetMask(m_keepLog ? kLogMilestone | kLogDiagnostic : kLogMilestone);
    g_pLogger.store(logger.get());
    if (!service.Start(0)) return "the service simulator did not start";
    if (!WriteRegistryString(Platform::kLocalMachine, "SOFTWARE\\Vantrel\\Voxlet\\SoftwareService", "Uri",
                             service.Uri(), kRegistryStoreName))
      return "the registry store cannot be written";
    const uint16_t port = service.Port();
    service.Stop();  // away until the receiver's start-up scan is over

    config.scanMs = 1;
    simulator = std::make_unique<CReceiverSimulator>(config);
    if (!simulator->Start()) return "the receiver simulator has no pty";
    if (hook) hook(*simulator);
    ReceiverEnvironment env;
    env.startupStepMs = 1;
    sessionEnv.powerDownStepMs = 1;
    sessionEnv.makeClient = [] { return std::make_shared<Voxlet::Client>(false); };  // ticked here
    receiver = std::make_unique<CReceiver>(&events, env);
    session = std::make_unique<CReceiverSession>(*receiver, sessionEnv);
    if (receiver->Open(Voxlet::UTF8to16(simulator->SlavePath())) != 0) return "the receiver did not open";
    const Bytes scanResultsQuery = {0x00, 0x00, 0x11, 0x7F, 0xFF};
    if (!simulator->WaitFor(
            [&](const std::vector<Bytes>& p) { return std::find(p.begin(), p.end(), scanResultsQuery) != p.end(); },
            20000))
      return "no scan";
    if (!service.Start(port)) return "the service simulator did not come back";
    if (!WaitForCount("activatedStatus", 1)) return "the receiver did not subscribe";
    return {};
  }

  // The class starts and its network is up on the simulated receiver.
  std::string StartClass(const std::string& classId) {
    if (!Teacher("activate-class " + classId) || !PollOnce()) return "the class did not start";
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (!simulator->NetworkUp()) {
      if (Clock::now() > deadline) return "no network";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
  }

  bool Teacher(const std::string& line) {
    bool ok = false;
    service.Control(line, ok);
    return ok;
  }
  bool WaitForCount(const std::string& route, size_t count) {
    return service.Manager().WaitFor([&] { return service.Manager().Count(route) >= count; }, 20);
  }
  // One tick of the receiver's client, and its poll hello answered.
  bool PollOnce() {
    const Voxlet::ClientPtr client = session->ServiceClient();
    if (!client) return false;
    const size_t hellos = service.Manager().Count("hello");
    session->OnClientTick(*client);
    return WaitForCount("hello", hellos + 1);
  }
  // Waits for a question batch beyond the first `before` on the receiver's line. The session sends
  // an assessment's questions only once it holds the assessment's document, so from then on it
  // decodes the answers to them; that the document's request reached the simulated service says
  // nothing of that: its reply is handled on the session's lifecycle worker, later.
  bool WaitForQuestionBatch(size_t before = 0) {
    return simulator->WaitFor([&](const std::vector<Bytes>& p) { return QuestionBatches(p) > before; }, 20000);
  }
  // Two requests of the benchmark's own through the receiver's client: once the second has
  // arrived, every reply before the first has been handled and what it led to was sent.
  bool Settle() {
    for (int i = 0; i < 2; ++i) {
      auto message = Voxlet::Message::Create();
      message->Open(Voxlet::Methods::Get, u"/marker");
      const size_t before = service.Manager().Count("unknown");
      const Voxlet::ClientPtr client = session->ServiceClient();
      if (!client || !client->Send(message) || !WaitForCount("unknown", before + 1)) return false;
    }
    return true;
  }

  ScopedTempRegistry registry;
  Voxlet::Globals library;
  std::string logPath;
  std::unique_ptr<CLogger> logger;
  ServiceSim::ServiceSimulator service;
  NoReceiverEvents events;
  std::unique_ptr<CReceiverSimulator> simulator;
  std::unique_ptr<CReceiver> receiver;
  std::unique_ptr<CReceiverSession> session;  // destroyed first: closes the receiver

 private:
  bool m_keepLog = false;
};

}  // namespace ReceiverBench
