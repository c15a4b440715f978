// A burst of 100 clicker answers through the service program itself, as a lesson meets it: the
// receiver simulator writes the answers one frame after the other at the pace of the receiver's
// line (57600 baud, 10 bits a byte), the service decodes each and submits it to the software-
// service simulator. Per answer the latency runs from its frame written on the line to its
// submission's arrival.
//
// The `windows` argument: 0 this build's ovanta-hardware; 1 the Windows build's
// ovanta-hardware.exe under Wine, its line a COM port of the prefix and its settings in the
// prefix's registry (OVANTA_WINDOWS_HARDWARE_EXE names it and WINEPREFIX the prefix, whose
// persistent wineserver runs: scripts/windows/burst sets both up), run only when named; both in
// one run. Each iteration is one burst: every clicker answers question 1 again, with another
// choice than the time before.
//
// Counters (milliseconds): p50_ms and p99_ms of the answers of every burst; last_ms the mean
// time from a burst's last frame to its last arrival; lost the answers that had not arrived
// within 30 s (target: none).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchMode.h"
#include "tests/integration/SpoolLesson.h"
#include "tests/replay/WineService.h"

namespace {

using namespace SpoolLesson;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

// The Windows service under Wine, for a lesson: the line mapped to a COM port for as long as the
// launcher lives.
HardwareLauncher WindowsService(std::unique_ptr<Replay::WineService>& wine, const std::string& exe) {
  return [&wine, exe](const TempDir& dir, const std::string& logPath, const std::string& line, const std::string& uri,
                      const std::vector<std::string>& settings) -> std::optional<HardwareLaunch> {
    if (!wine) wine = std::make_unique<Replay::WineService>(exe, line);
    std::string error;
    if (wine->Port().empty() ||
        !wine->WriteSettings(ServiceSettings(dir, logPath, 17, wine->Port(), uri, settings, Replay::WindowsPath),
                             dir.File("settings.reg"), error))
      return std::nullopt;
    ChildOptions options;
    options.stdinFd = wine->NullInput();
    return HardwareLaunch{wine->Command(), wine->Environment(), options};
  };
}

void BM_ServiceAnswerBurst(benchmark::State& state) {
  std::unique_ptr<Replay::WineService> wine;  // outlives the lesson's service
  const bool windows = state.range(0) == 1;
  Lesson lesson({}, windows ? WindowsService(wine, Replay::WindowsServiceExe()) : HardwareLauncher(ThisBuildsService));
  if (!lesson.StartAtQuestion()) {
    state.SkipWithError(("the lesson did not start: " + (wine ? wine->Error() : "") + lesson.LogText()).c_str());
    return;
  }
  std::vector<double> latencies;
  double lastSum = 0;
  int bursts = 0, lost = 0;
  for (auto _ : state) {
    std::map<std::string, size_t> before;  // submissions per endpoint before the burst
    for (const ServiceSim::Submission& s : lesson.Manager().Submissions()) ++before[s.endpointId];
    const size_t total = lesson.Manager().Submissions().size();
    std::vector<Clock::time_point> written;
    std::atomic<bool> stop{false};
    AnswerAtLinePace(lesson.Receiver(), bursts % 2 ? "A" : "B", stop, &written).join();
    const bool all = lesson.Wait([&] { return lesson.Manager().Submissions().size() >= total + kClickers; });
    // Each clicker's new submission against its own frame.
    std::map<std::string, Clock::time_point> arrived;
    std::map<std::string, size_t> seen;
    for (const ServiceSim::Submission& s : lesson.Manager().Submissions())
      if (++seen[s.endpointId] > before[s.endpointId] && !arrived.count(s.endpointId))
        arrived[s.endpointId] = s.arrived;
    Clock::time_point last{};
    int arrivedCount = 0;
    for (int i = 0; i < kClickers; ++i) {
      const auto found = arrived.find(kEndpointPrefix + std::to_string(lesson.Receiver().ClickerAddress(i)));
      if (found == arrived.end()) continue;
      ++arrivedCount;
      latencies.push_back(Ms(found->second - written[static_cast<size_t>(i)]));
      last = std::max(last, found->second);
    }
    lost += kClickers - arrivedCount;
    if (all) lastSum += Ms(last - written.back());
    ++bursts;
  }
  state.counters["p50_ms"] = Percentile(latencies, 0.5);
  state.counters["p99_ms"] = Percentile(latencies, 0.99);
  state.counters["last_ms"] = bursts ? lastSum / bursts : 0;
  state.counters["lost"] = lost;
  ovanta_bench::Target(state, "all_arrived", lost == 0);
  lesson.StopHardwareService();
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = ovanta_bench::Iterations(20);
  for (int windows : {0, 1}) {
    if (windows && Replay::WindowsServiceExe().empty()) continue;
    benchmark::RegisterBenchmark("BM_ServiceAnswerBurst", BM_ServiceAnswerBurst)
        ->Arg(windows)
        ->ArgName("windows")
        ->Iterations(iterations)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
