// A burst of 100 clicker answers from the radio to the software service: the simulated receiver
// writes the answers on its pseudo-terminal, the real receiver stack (CReceiver and its
// CReceiverSession) decodes them and submits each to the simulated software service. Per answer,
// the latency runs from the last byte of its frame on the line to the arrival of its submission.
// A plain loopback HTTP round trip to the same service, measured in the same run, gives the scale.
//
// Three ways to write the burst (the `burst` argument): 0 one write per frame as fast as the
// simulator can, 1 the 100 frames in one write, 2 one frame after the other at the pace of the
// receiver's serial line (the default 57600 baud, 10 bits a byte): the rate at which a real
// receiver hands a burst of radio answers to the computer. A pseudo-terminal has no line rate, so
// bursts 0 and 1 measure how fast the stack drains answers that are all waiting at once.
//
// The `spool` argument: 0 without the answer spool, 1 with each answer kept in a spool in a
// temporary directory (on the machine's disk, synced) before it leaves. Both run in one program,
// on two lessons set up one after the other.
//
// Counters (milliseconds unless said): p50_ms and p99_ms of the answers of every burst of the run;
// last_ms the mean time from a burst's last frame to its last arrival (last_max_ms the worst);
// first_ms the mean latency of each burst's quickest answer; spacing_ms the mean time between
// consecutive arrivals of a burst; cpu_us_per_answer the CPU time of the whole process (service
// stack and both simulators, every thread) during the bursts per answer, which bounds how fast
// 100 answers can get through on the machine's cores; lost the answers that had not arrived within 10 s, rejected
// those the service refused, duplicates the extra submissions of one answer; http_rtt_ms the
// median of 200 GETs right after the bursts, p50_per_rtt the ratio; and a flag per target (1 met,
// 0 not): all_arrived, last_within_50ms (the worst burst), p50_within_10_rtt. With the spool:
// syncs_per_burst the data syncs of its journal per burst; kept_p50_ms and kept_max_ms from the
// end of an answer's frame on the line to its record written (before that a killed service
// loses it), synced_max_ms to its record synced (before that a machine that goes down loses it).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ReceiverBench.h"
#include "bench/BenchMode.h"
#include "bridge/AnswerSpool.h"
#include "client/HardwareServicePreferences.h"
#include "tools/receiver-sim/ClickerAnswers.h"
#include "tools/receiver-sim/SimFraming.h"

namespace {

using namespace ReceiverBench;

constexpr int kClickers = 100;
constexpr uint8_t kQuestion = 1;
constexpr uint8_t kAnswerUpload = 0x0B;
constexpr auto kLostAfter = std::chrono::seconds(10);
const std::string kReceiverEndpoint = "receiver.00-12-4B-00-0A-0B-0C-0D";  // the simulator's MAC

// The answer-upload frames the simulator has written, by clicker address: when the last byte of
// each went onto the line.
class WriteLog {
 public:
  void Written(const Bytes& bytes, Clock::time_point at) {
    std::vector<uint16_t> addresses;
    Bytes frame;
    for (uint8_t b : bytes) {
      if (b != 0) {
        frame.push_back(b);
        continue;
      }
      const std::optional<Bytes> packet = SimFraming::Unframe(frame);
      frame.clear();
      if (packet && packet->size() >= 4 && (*packet)[2] == kAnswerUpload && (*packet)[3] == kQuestion)
        addresses.push_back(static_cast<uint16_t>(((*packet)[0] << 8) | (*packet)[1]));
    }
    if (addresses.empty()) return;
    std::lock_guard guard(m_lock);
    for (uint16_t a : addresses) m_written[a] = at;
    m_changed.notify_all();
  }
  void Clear() {
    std::lock_guard guard(m_lock);
    m_written.clear();
  }
  // Waits until `count` answer frames are on the line; their write times by address.
  std::map<uint16_t, Clock::time_point> WaitFor(size_t count, Clock::duration limit) {
    std::unique_lock lock(m_lock);
    m_changed.wait_for(lock, limit, [&] { return m_written.size() >= count; });
    return m_written;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::map<uint16_t, Clock::time_point> m_written;
};

// The simulated service with a class of 100 students, the simulated receiver with 100 clickers,
// and the receiver stack between them, brought up to a running assessment with every clicker
// logged in. Built once for the whole program (it takes seconds).
// Built before the stack and destroyed after it: the simulator's write hook reaches it until the
// simulator stops.
struct WrittenFrames {
  WriteLog writes;
};

// When each answer's record was written to the spool and synced, by clicker address.
class SpoolLog {
 public:
  void Kept(const SpooledAnswer& answer, AnswerSpool::Stage stage) {
    const Clock::time_point now = Clock::now();
    std::lock_guard guard(m_lock);
    (stage == AnswerSpool::Stage::Written ? m_written : m_synced)[answer.address] = now;
  }
  void Clear() {
    std::lock_guard guard(m_lock);
    m_written.clear();
    m_synced.clear();
  }
  std::pair<std::map<uint16_t, Clock::time_point>, std::map<uint16_t, Clock::time_point>> Times() {
    std::lock_guard guard(m_lock);
    return {m_written, m_synced};
  }

 private:
  std::mutex m_lock;
  std::map<uint16_t, Clock::time_point> m_written, m_synced;
};

class Lesson : private WrittenFrames, public Stack {
 public:
  using WrittenFrames::writes;
  explicit Lesson(bool spooled) : Stack(Classroom()), m_spooled(spooled) {}
  ~Lesson() {
    session.reset();  // the last user of the spool
    spool.reset();
    if (!m_spoolDir.empty()) std::filesystem::remove_all(m_spoolDir);
  }

  bool Spooled() const { return m_spooled; }
  std::shared_ptr<AnswerSpool> spool;
  SpoolLog kept;

  // Empty when ready, else what failed.
  std::string Prepare() {
    SimulatorConfig config;
    config.clickers = kClickers;
    SessionEnvironment sessionEnv;
    sessionEnv.sendWholeAssessment = true;  // the questions go to the receiver without a current one
    if (m_spooled) {
      char dir[] = "/var/tmp/ovanta-bench-spool-XXXXXX";  // on the disk, not in memory
      if (!mkdtemp(dir)) return "no spool directory";
      m_spoolDir = dir;
      AnswerSpool::Options options;
      options.observer = [this](const SpooledAnswer& answer, AnswerSpool::Stage stage) { kept.Kept(answer, stage); };
      spool = std::make_shared<AnswerSpool>(m_spoolDir, options);
      if (!spool->Durable()) return "the spool cannot be written";
      sessionEnv.spool = spool;
    }
    std::string failed = Start(config, sessionEnv, [this](CReceiverSimulator& sim) {
      sim.OnWritten([this](const Bytes& bytes, Clock::time_point at) { writes.Written(bytes, at); });
    });
    if (failed.empty()) failed = StartClass("class-1");
    if (!failed.empty()) return failed;
    for (int i = 0; i < kClickers; ++i)
      if (!simulator->Join(i, std::to_string(1001 + i))) return "clicker " + std::to_string(i) + " cannot join";
    const bool loggedIn = simulator->WaitForClickers(
        [](const std::map<int, ClickerInfo>& c) {
          for (int i = 0; i < kClickers; ++i)
            if (!c.at(i).loggedIn()) return false;
          return true;
        },
        60000);
    if (!loggedIn) return "not every clicker logged in";
    const bool signedIn = service.Manager().WaitFor(
        [&] {
          int n = 0;
          for (const auto& [id, e] : service.Manager().Endpoints()) n += e.kind == "clicker" && e.signedIn;
          return n >= kClickers;
        },
        60);
    if (!signedIn) return "not every clicker signed in";

    // The answers go only once the questions are on the receiver: before that the session may not
    // hold the assessment's document yet, and drops answers to it (the first bursts of a lesson
    // lost some or all of their answers so, now and then).
    if (!Teacher("activate-assessment lesson-quiz") || !PollOnce()) return "the assessment did not start";
    if (!WaitForQuestionBatch()) return "the questions did not reach the receiver";
    if (!Settle()) return "the receiver's client did not settle";
    return {};
  }

  // The median loopback round trip of a GET to an unknown path, on a client of its own.
  std::optional<double> HttpRoundTripMs(int count) {
    Voxlet::Client client(false);
    std::mutex lock;
    std::condition_variable changed;
    bool connected = false;
    client.StateChanged().connect([&](Voxlet::Client&, int s) {
      std::lock_guard guard(lock);
      connected = connected || s == Voxlet::ClientStates::Connected;
      changed.notify_all();
    });
    if (!client.Connect(Voxlet::UTF8to16(service.Uri()))) return std::nullopt;
    {
      std::unique_lock guard(lock);
      if (!changed.wait_for(guard, std::chrono::seconds(10), [&] { return connected; })) return std::nullopt;
    }
    std::vector<double> trips;
    for (int i = 0; i < count; ++i) {
      auto message = Voxlet::Message::Create();
      message->Open(Voxlet::Methods::Get, u"/bench/round-trip");
      const Clock::time_point start = Clock::now();
      if (!client.Send(message) || !message->BlockUntil(Voxlet::RequestStates::Complete, 10.0)) return std::nullopt;
      trips.push_back(Millis(Clock::now() - start));
    }
    client.Disconnect();
    return Percentile(trips, 0.5);
  }

  ServiceSim::SessionManager& Manager() { return service.Manager(); }

  static std::string ClickerEndpoint(uint16_t address) {
    return "clickerhardware." + kReceiverEndpoint + "." + std::to_string(address);
  }

 private:
  // The sample lesson, its first class grown to students 1001 .. 1100, no timeline (the
  // benchmark is the teacher).
  static ServiceSim::Scenario Classroom() {
    ServiceSim::Scenario lesson = SampleLesson();
    std::vector<ServiceSim::Student>& students = lesson.classes.front().students;
    for (int n = 1001; n < 1001 + kClickers; ++n) {
      const std::string number = std::to_string(n);
      const bool known = std::any_of(students.begin(), students.end(),
                                     [&](const ServiceSim::Student& s) { return s.number == number; });
      if (!known) students.push_back({number, "s-" + number, "Student " + number});
    }
    return lesson;
  }

  bool m_spooled;
  std::string m_spoolDir;
};

// The lesson of the running benchmark: set up anew when a benchmark asks for the other spool mode.
std::unique_ptr<Lesson> g_lesson;
std::string g_lessonError;

Lesson* LessonFor(bool spooled) {
  if (g_lesson && g_lesson->Spooled() == spooled) return g_lesson.get();
  g_lesson.reset();
  auto lesson = std::make_unique<Lesson>(spooled);
  g_lessonError = lesson->Prepare();
  if (g_lessonError.empty()) g_lesson = std::move(lesson);
  return g_lesson.get();
}

enum Burst { kFramePerWrite = 0, kOneWrite = 1, kLineRate = 2 };

// The time the receiver's serial line takes to carry `bytes` at the default baud rate.
Clock::duration LineTime(size_t bytes) {
  const double seconds = static_cast<double>(bytes) * 10.0 / Voxlet::Preferences::HardwareService::DefaultBaudRate;
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// One line for a burst that lost answers, naming them (OVANTA_BENCH_KEEP_LOG keeps the stack's
// log, which says what became of each).
void ReportLost(size_t burst, const std::map<uint16_t, Clock::time_point>& written, const std::vector<uint16_t>& lost) {
  std::string addresses;
  for (uint16_t a : lost) addresses += " " + std::to_string(a);
  std::fprintf(stderr, "burst %zu: %zu answer frame(s) written, %zu not arrived:%s\n", burst, written.size(),
               lost.size(), addresses.c_str());
}

// All 100 clickers answer question 1 at once, written as `Burst` (the argument) says. Each
// iteration answers another choice, so a straggler of an earlier burst is not taken for an answer
// of this one.
void BM_AnswerBurst(benchmark::State& state) {
  if (!LessonFor(state.range(0) != 0)) return state.SkipWithError(("set-up failed: " + g_lessonError).c_str());
  Lesson& lesson = *g_lesson;
  const auto burst = static_cast<Burst>(state.range(1));
  std::vector<double> keptMs, syncedMs;
  uint64_t syncs = 0;
  const char* const kChoices[] = {"A", "B", "C", "D"};
  std::vector<double> latencies;
  std::vector<double> lastMs, firstMs, spacingMs;
  size_t lost = 0, rejected = 0, duplicates = 0, bursts = 0;
  double cpuSeconds = 0;
  auto processCpu = [] {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  };
  for (auto _ : state) {
    const double cpuBefore = processCpu();
    const std::string choice = kChoices[bursts++ % 4];
    const Bytes answer = *SimAnswers::Encode(SimAnswers::Kind::Choice, choice);
    const size_t before = lesson.Manager().SubmissionCount();
    lesson.writes.Clear();
    lesson.kept.Clear();
    const uint64_t syncsBefore = lesson.spool ? lesson.spool->GetCounts().syncs : 0;

    std::vector<Bytes> packets;
    for (int i = 0; i < kClickers; ++i) {
      const uint16_t a = lesson.simulator->ClickerAddress(i);
      Bytes packet(4 + answer.size());
      packet[0] = static_cast<uint8_t>(a >> 8);
      packet[1] = static_cast<uint8_t>(a);
      packet[2] = kAnswerUpload;
      packet[3] = kQuestion;
      std::copy(answer.begin(), answer.end(), packet.begin() + 4);
      packets.push_back(std::move(packet));
    }
    const Clock::time_point start = Clock::now();
    if (burst == kOneWrite) {
      lesson.simulator->SendPackets(packets);
    } else if (burst == kFramePerWrite) {
      for (int i = 0; i < kClickers; ++i) lesson.simulator->Answer(i, kQuestion, answer);
    } else {
      Clock::time_point due = start;
      for (const Bytes& packet : packets) {
        std::this_thread::sleep_until(due);
        lesson.simulator->SendPackets({packet});
        due += LineTime(SimFraming::Frame(packet).size());
      }
    }
    const std::map<uint16_t, Clock::time_point> written = lesson.writes.WaitFor(kClickers, kLostAfter);
    const Clock::time_point deadline = Clock::now() + kLostAfter;
    // Waits on the number of submissions: the predicate runs after every request handled, so it
    // takes the service's lock only briefly and copies nothing.
    lesson.Manager().WaitFor([&] { return lesson.Manager().SubmissionCount() >= before + kClickers; },
                             std::chrono::duration<double>(deadline - Clock::now()).count());

    // This burst's arrivals: the first submission of each clicker with this burst's answer.
    const std::vector<ServiceSim::Submission> all = lesson.Manager().SubmissionsFrom(before);
    std::map<std::string, const ServiceSim::Submission*> arrived;
    for (size_t k = 0; k < all.size(); ++k)
      if (all[k].questionId == "q1" && all[k].answer == choice)
        duplicates += !arrived.emplace(all[k].endpointId, &all[k]).second;
    std::vector<uint16_t> lostNow;
    Clock::time_point lastWrite{}, lastArrival{}, firstArrival = Clock::time_point::max();
    double fastest = -1;
    for (const auto& [address, at] : written) lastWrite = std::max(lastWrite, at);
    for (const auto& [address, at] : written) {
      const auto found = arrived.find(Lesson::ClickerEndpoint(address));
      if (found == arrived.end() || found->second->arrived > at + kLostAfter) {
        ++lost;
        lostNow.push_back(address);
        continue;
      }
      rejected += !found->second->accepted;
      const double latency = Millis(found->second->arrived - at);
      latencies.push_back(latency);
      fastest = fastest < 0 ? latency : std::min(fastest, latency);
      lastArrival = std::max(lastArrival, found->second->arrived);
      firstArrival = std::min(firstArrival, found->second->arrived);
    }
    lost += kClickers - std::min<size_t>(kClickers, written.size());  // never even written
    if (!lostNow.empty() || written.size() < static_cast<size_t>(kClickers)) ReportLost(bursts, written, lostNow);
    if (lastArrival != Clock::time_point{}) {
      lastMs.push_back(Millis(lastArrival - lastWrite));
      firstMs.push_back(fastest);
      if (arrived.size() > 1)
        spacingMs.push_back(Millis(lastArrival - firstArrival) / static_cast<double>(arrived.size() - 1));
    }
    cpuSeconds += processCpu() - cpuBefore;
    if (lesson.spool) {
      syncs += lesson.spool->GetCounts().syncs - syncsBefore;
      const auto [keptAt, syncedAt] = lesson.kept.Times();
      for (const auto& [address, at] : written) {
        if (const auto k = keptAt.find(address); k != keptAt.end()) keptMs.push_back(Millis(k->second - at));
        if (const auto s = syncedAt.find(address); s != syncedAt.end()) syncedMs.push_back(Millis(s->second - at));
      }
    }
    state.SetIterationTime(std::chrono::duration<double>(std::max(lastArrival, lastWrite) - start).count());
  }

  const double p50 = Percentile(latencies, 0.5);
  state.counters["answers"] = static_cast<double>(latencies.size());
  state.counters["p50_ms"] = p50;
  state.counters["p99_ms"] = Percentile(latencies, 0.99);
  double lastSum = 0, lastMax = 0;
  for (double m : lastMs) {
    lastSum += m;
    lastMax = std::max(lastMax, m);
  }
  state.counters["last_ms"] = lastMs.empty() ? 0 : lastSum / static_cast<double>(lastMs.size());
  state.counters["last_max_ms"] = lastMax;
  auto mean = [](const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
  };
  state.counters["first_ms"] = mean(firstMs);      // the quickest answer of a burst
  state.counters["spacing_ms"] = mean(spacingMs);  // between consecutive arrivals of a burst
  state.counters["cpu_us_per_answer"] =
      latencies.empty() ? 0 : cpuSeconds * 1e6 / static_cast<double>(latencies.size());
  state.counters["lost"] = static_cast<double>(lost);
  state.counters["rejected"] = static_cast<double>(rejected);
  state.counters["duplicates"] = static_cast<double>(duplicates);
  ovanta_bench::Target(state, "all_arrived", lost == 0 && rejected == 0 && duplicates == 0);
  if (lesson.spool) {
    state.counters["syncs_per_burst"] = bursts ? static_cast<double>(syncs) / static_cast<double>(bursts) : 0;
    state.counters["kept_p50_ms"] = Percentile(keptMs, 0.5);
    state.counters["kept_max_ms"] = Percentile(keptMs, 1.0);
    state.counters["synced_max_ms"] = Percentile(syncedMs, 1.0);
  }
  // The 50 ms is the relay's own target; with the spool on, the syncs are compared with the
  // spool-off run instead (the figures above), not held to it.
  if (!lesson.spool) ovanta_bench::Target(state, "last_within_50ms", !lastMs.empty() && lastMax <= 50.0);
  // The round trip right after the bursts, on the same service.
  const std::optional<double> rtt = lesson.HttpRoundTripMs(200);
  if (!rtt) return state.SkipWithError("the loopback HTTP round trip could not be measured");
  state.counters["http_rtt_ms"] = *rtt;
  state.counters["p50_per_rtt"] = p50 / *rtt;
  // Ten round trips is the relay's target at the pace a receiver hands a burst over, without the
  // spool (whose sync before each submission leaves is compared with the spool-off run instead).
  // All frames at once (memory speed) cost more than that on two cores before the hardware
  // service does anything (BM_BurstToTheServiceAlone shows the floor): there the ratio is only
  // reported.
  if (burst == kLineRate && !lesson.spool) ovanta_bench::Target(state, "p50_within_10_rtt", p50 <= 10 * *rtt);
}
BENCHMARK(BM_AnswerBurst)
    ->ArgNames({"spool", "burst"})
    ->ArgsProduct({{0, 1}, {kFramePerWrite, kOneWrite, kLineRate}})
    ->Iterations(ovanta_bench::Iterations(20))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Percent-encodes all but the unreserved characters (and '/' when `path`).
std::string PercentEncoded(const std::string& text, bool path) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || (path && c == '/')) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// A request the simulated service recorded, as bytes on the wire again.
std::string WireRequest(const ServiceSim::ReceivedRequest& r, uint16_t port) {
  std::string target = PercentEncoded(r.path, true);
  char separator = '?';
  for (const auto& [name, value] : r.query) {
    target += separator + PercentEncoded(name, false) + "=" + PercentEncoded(value, false);
    separator = '&';
  }
  std::string out = r.method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (const auto& [name, value] : r.headers)
    if (name != "host" && name != "content-length" && name != "connection" && name != "transfer-encoding")
      out += name + ": " + value + "\r\n";
  return out + "Content-Length: " + std::to_string(r.body.size()) + "\r\n\r\n" + r.body;
}

// The floor under any hardware service: 100 requests sent straight to the simulated software
// service, pipelined on `connections` keep-alive connections (1, or as many as the service's
// client opens at most), each connection's share in one write, with no receiver stack in
// between. The latency of each runs from the first write to its arrival (the whole request read and
// handed to the service). `requests` 0 sends the last 100 submissions the service made again:
// how fast the simulated service alone takes in a burst of submissions bounds the p50 of
// BM_AnswerBurst from below. `requests` 1 sends 100 of the round trip's own GETs (answered 404
// without further work): how fast any HTTP exchange takes in a burst on these cores. Counters as
// there, cpu_us_per_answer being the whole process's CPU time (the simulated service and this
// sender) per request.
void BM_BurstToTheServiceAlone(benchmark::State& state) {
  if (!g_lesson) return state.SkipWithError(("set-up failed: " + g_lessonError).c_str());
  Lesson& lesson = *g_lesson;
  const uint16_t port = lesson.service.Port();
  const auto connections = static_cast<size_t>(state.range(1));
  std::vector<std::string> wires(connections);  // request i goes on connection i % connections
  if (state.range(0) == 0) {
    std::vector<ServiceSim::ReceivedRequest> submits;
    for (ServiceSim::ReceivedRequest& r : lesson.Manager().Requests())
      if (r.route == "submit") submits.push_back(std::move(r));
    if (submits.size() < static_cast<size_t>(kClickers)) return state.SkipWithError("run BM_AnswerBurst first");
    for (size_t i = 0; i < static_cast<size_t>(kClickers); ++i)
      wires[i % connections] += WireRequest(submits[submits.size() - kClickers + i], port);
  } else {
    for (size_t i = 0; i < static_cast<size_t>(kClickers); ++i)
      wires[i % connections] +=
          "GET /bench/round-trip HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
  }

  std::vector<double> latencies, lastMs;
  double cpuSeconds = 0;
  size_t lost = 0;
  for (auto _ : state) {
    std::vector<int> sockets;
    for (size_t c = 0; c < connections; ++c) {
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(port);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (fd >= 0) sockets.push_back(fd);
      if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        for (int s : sockets) close(s);
        return state.SkipWithError("cannot connect to the simulated service");
      }
    }
    const size_t before = lesson.Manager().RequestCount();
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const Clock::time_point start = Clock::now();
    for (size_t c = 0; c < connections; ++c)
      for (size_t sent = 0; sent < wires[c].size();) {
        const ssize_t n = send(sockets[c], wires[c].data() + sent, wires[c].size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
    lesson.Manager().WaitFor([&] { return lesson.Manager().RequestCount() >= before + kClickers; },
                             std::chrono::duration<double>(kLostAfter).count());
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    for (int fd : sockets) close(fd);
    // Only these connections': the receiver stack's own polls may arrive meanwhile.
    size_t mine = 0;
    Clock::time_point last = start;
    for (const ServiceSim::ReceivedRequest& r : lesson.Manager().RequestsFrom(before)) {
      if (r.route != (state.range(0) == 0 ? "submit" : "unknown")) continue;
      ++mine;
      latencies.push_back(Millis(r.arrived - start));
      last = std::max(last, r.arrived);
    }
    lost += kClickers - std::min<size_t>(kClickers, mine);
    lastMs.push_back(Millis(last - start));
    cpuSeconds +=
        static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) + static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) * 1e-9;
    state.SetIterationTime(std::chrono::duration<double>(last - start).count());
  }
  const double p50 = Percentile(latencies, 0.5);
  state.counters["p50_ms"] = p50;
  state.counters["last_ms"] = Percentile(lastMs, 0.5);
  state.counters["lost"] = static_cast<double>(lost);
  state.counters["cpu_us_per_answer"] =
      latencies.empty() ? 0 : cpuSeconds * 1e6 / static_cast<double>(latencies.size());
  const std::optional<double> rtt = lesson.HttpRoundTripMs(200);
  if (!rtt) return state.SkipWithError("the loopback HTTP round trip could not be measured");
  state.counters["http_rtt_ms"] = *rtt;
  state.counters["p50_per_rtt"] = p50 / *rtt;
}
BENCHMARK(BM_BurstToTheServiceAlone)
    ->ArgNames({"requests", "connections"})
    ->ArgsProduct({{0, 1}, {1, Voxlet::Client::kMaxConnections}})
    ->Iterations(ovanta_bench::Iterations(20))
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  g_lesson.reset();
  benchmark::Shutdown();
  return 0;
}
