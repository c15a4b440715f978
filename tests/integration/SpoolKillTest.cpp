// The answer spool through the service binary and both simulators: the software service is away
// while 100 clickers answer at the pace of the receiver's line, and the hardware service is
// killed (SIGKILL) in the middle of the burst. After both start again and the clickers join
// again, every answer the service had kept (its "Holding" line was written before the kill)
// reaches the software service exactly once, with the document made before the kill.
//
// What cannot be kept are the answers that were on the line or in the service's queues at the
// kill: the oldest of them and the newest answer kept, measured from the end of the frame on the
// line to the kill, are recorded as properties (not asserted: a loaded machine widens them).
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tests/integration/ChildProcess.h"
#include "tests/integration/ServiceLog.h"
#include "tests/integration/ServiceSetup.h"
#include "tests/service/TestFiles.h"
#include "tests/tools/SampleLesson.h"
#include "tools/receiver-sim/ClickerAnswers.h"
#include "tools/receiver-sim/ReceiverSimulator.h"
#include "tools/receiver-sim/SimFraming.h"
#include "tools/service-sim/ServiceSimulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kWaitSeconds = 120;
constexpr int kClickers = 100;
constexpr int kKeptBeforeKill = 50;
constexpr uint8_t kAnswerUpload = 0x0B;
constexpr uint32_t kLineBaud = 57600;  // the receiver's default line, 10 bits a byte

ServiceSim::Scenario Classroom() {
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
std::string UtcNow() {
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

std::string Attribute(const std::string& document, const std::string& name) {
  const size_t at = document.find(name + "=\"");
  if (at == std::string::npos) return {};
  const size_t start = at + name.size() + 2;
  return document.substr(start, document.find('"', start) - start);
}

// The endpoints named by the service's "Holding the answer of endpoint ..." lines.
std::set<std::string> HeldEndpoints(const std::string& log) {
  const std::string prefix = "Holding the answer of endpoint ";
  std::set<std::string> endpoints;
  for (size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1)) {
    const size_t start = at + prefix.size();
    endpoints.insert(log.substr(start, log.find(' ', start) - start));
  }
  return endpoints;
}

class Lesson {
 public:
  Lesson() : m_receiver(Config(m_dir)) {}

  CReceiverSimulator& Receiver() { return m_receiver; }
  ServiceSim::ServiceSimulator& Service() { return *m_service; }
  ServiceSim::SessionManager& Manager() { return m_service->Manager(); }
  ServiceLog& Log() { return *m_log; }
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
    KeepDescriptorsFromChildren();
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string>{OVANTA_HARDWARE_EXE, "-d"},
        ServiceEnvironment(m_dir, m_dir.File("service.log"), 17, m_receiver.SlavePath(), m_service->Uri()));
    m_log = std::make_unique<ServiceLog>(*m_process, kWaitSeconds);
    return m_process->Started() && m_log->WaitFor("Receiver_Connect: Connect to receiver return 0");
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

 private:
  static SimulatorConfig Config(const TempDir& dir) {
    SimulatorConfig config;
    config.clickers = kClickers;
    config.linkPath = dir.File("receiver");
    config.seed = 1;
    return config;
  }
  TempDir m_dir;
  CReceiverSimulator m_receiver;
  uint16_t m_port = 0;
  std::vector<std::unique_ptr<ServiceSim::ServiceSimulator>> m_old;
  std::unique_ptr<ServiceSim::ServiceSimulator> m_service;
  std::unique_ptr<ChildProcess> m_process;
  std::unique_ptr<ServiceLog> m_log;  // after the process it reads
};

}  // namespace

TEST(AnswerSpoolKill, EveryAnswerKeptBeforeASigkillInABurstIsDeliveredOnceAfterTheRestart) {
  Lesson lesson;
  CReceiverSimulator& receiver = lesson.Receiver();
  std::mutex lock;
  std::map<uint16_t, Clock::time_point> written;  // answer frames on the line, by clicker
  receiver.OnWritten([&](const std::vector<uint8_t>& bytes, Clock::time_point at) {
    const std::vector<uint8_t> frame(bytes.begin(), bytes.end() - (bytes.empty() ? 0 : 1));
    const std::optional<std::vector<uint8_t>> packet = SimFraming::Unframe(frame);
    if (!packet || packet->size() < 4 || (*packet)[2] != kAnswerUpload) return;
    std::lock_guard guard(lock);
    written.emplace(static_cast<uint16_t>(((*packet)[0] << 8) | (*packet)[1]), at);
  });
  ASSERT_TRUE(receiver.Start());
  ASSERT_TRUE(lesson.StartService());
  ASSERT_TRUE(lesson.StartHardwareService()) << lesson.Log().Text();
  ASSERT_TRUE(lesson.Teacher("activate-class class-1"));
  ASSERT_TRUE(lesson.Wait([&] { return receiver.NetworkUp(); }));
  ASSERT_TRUE(lesson.JoinAll()) << lesson.Log().Text();
  ASSERT_TRUE(lesson.Teacher("activate-assessment lesson-quiz"));
  ASSERT_TRUE(lesson.Teacher("activate-question q1"));
  ASSERT_TRUE(lesson.Wait([&] { return receiver.Questions().Find(1) != nullptr; }));

  lesson.Service().Stop();
  ASSERT_TRUE(lesson.Log().WaitFor("Disconnected from session manager")) << lesson.Log().Text();

  // The burst, one frame after the other at the line's pace, on a thread of its own; the kill
  // once half of it is kept.
  const std::vector<uint8_t> answer = *SimAnswers::Encode(SimAnswers::Kind::Choice, "B");
  std::atomic<bool> stop{false};
  std::thread burst([&] {
    Clock::time_point due = Clock::now();
    for (int i = 0; i < kClickers && !stop; ++i) {
      std::this_thread::sleep_until(due);
      const uint16_t address = receiver.ClickerAddress(i);
      std::vector<uint8_t> packet = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), kAnswerUpload,
                                     1};
      packet.insert(packet.end(), answer.begin(), answer.end());
      const size_t bytes = SimFraming::Frame(packet).size();
      receiver.SendPackets({packet});
      due += std::chrono::microseconds(bytes * 10 * 1000000 / kLineBaud);
    }
  });
  const bool halfKept = lesson.Log().WaitFor("Holding the answer of endpoint", kKeptBeforeKill);
  lesson.Process().Signal(SIGKILL);
  const Clock::time_point killedAt = Clock::now();
  const std::string killedUtc = UtcNow();
  ASSERT_TRUE(lesson.Log().WaitClosed());
  lesson.Process().Wait();
  stop = true;
  burst.join();
  ASSERT_TRUE(halfKept) << lesson.Log().Text();
  const std::set<std::string> kept = HeldEndpoints(lesson.Log().All());
  ASSERT_GE(kept.size(), static_cast<size_t>(kKeptBeforeKill));

  // Both start again; the clickers join again and their kept answers follow.
  ASSERT_TRUE(lesson.StartService("class-1/lesson-quiz/q1"));
  ASSERT_TRUE(lesson.StartHardwareService()) << lesson.Log().Text();
  ASSERT_TRUE(lesson.Log().WaitFor("from the answer spool once their clickers are announced again"))
      << lesson.Log().Text();
  ASSERT_TRUE(lesson.Wait([&] { return receiver.NetworkUp(); }));
  ASSERT_TRUE(lesson.JoinAll()) << lesson.Log().Text();
  ASSERT_TRUE(lesson.Wait([&] {
    size_t in = 0;
    for (const ServiceSim::Submission& s : lesson.Manager().Submissions()) in += s.accepted;
    return in >= kept.size();
  })) << lesson.Log().Text();
  // Stopped before counting, so that a late second copy would be counted too.
  lesson.Process().Signal(SIGINT);
  ASSERT_TRUE(lesson.Log().WaitClosed());
  EXPECT_EQ(lesson.Process().Wait(), 0) << lesson.Log().Text();

  std::map<std::string, int> copies;
  for (const ServiceSim::Submission& s : lesson.Manager().Submissions()) {
    ++copies[s.endpointId];
    EXPECT_TRUE(s.accepted) << s.endpointId;
    EXPECT_EQ(s.questionId, "q1");
    EXPECT_EQ(s.answer, "B");
    // The document made when the answer came, before the kill, not one made anew (the stamp
    // has milliseconds: an answer of the kill's own millisecond has the kill's stamp).
    EXPECT_LE(Attribute(s.document, "voxlet:submitted"), killedUtc) << s.document;
  }
  for (const std::string& endpoint : kept) EXPECT_EQ(copies[endpoint], 1) << endpoint;
  for (const auto& [endpoint, n] : copies) EXPECT_EQ(n, 1) << endpoint << " was delivered more than once";

  // The window: the oldest answer on the line that was not kept, and the newest that was, by
  // how long before the kill their frames were written.
  double unkeptOldest = 0, keptNewest = -1;
  size_t unkept = 0;
  {
    std::lock_guard guard(lock);
    for (const auto& [address, at] : written) {
      if (at >= killedAt) continue;
      const double before = std::chrono::duration<double, std::milli>(killedAt - at).count();
      const std::string endpoint = "clickerhardware.receiver.00-12-4B-00-0A-0B-0C-0D." + std::to_string(address);
      if (copies.count(endpoint)) {
        keptNewest = keptNewest < 0 ? before : std::min(keptNewest, before);
      } else {
        ++unkept;
        unkeptOldest = std::max(unkeptOldest, before);
      }
    }
  }
  RecordProperty("kept_said_before_kill", std::to_string(kept.size()));
  RecordProperty("delivered", std::to_string(copies.size()));
  RecordProperty("unkept_on_the_line", std::to_string(unkept));
  RecordProperty("unkept_oldest_ms", std::to_string(unkeptOldest));
  RecordProperty("kept_newest_ms", std::to_string(keptNewest));
  std::printf(
      "said kept before the kill %zu, delivered %zu; written before the kill but not kept %zu, the oldest of them "
      "%.3f ms before it; the newest kept written %.3f ms before it\n",
      kept.size(), copies.size(), unkept, unkeptOldest, keptNewest);
}
