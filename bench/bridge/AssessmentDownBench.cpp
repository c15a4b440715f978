// A 40-question assessment from the software service to the radio: from the poll that brings
// the activated-assessment notification to the last question batch on the receiver's line. In
// between, the receiver's session fetches the assessment's metadata and document over loopback
// HTTP, packages the questions and queues the batch, and the receiver frames it onto the pty.
// The session sends the whole assessment (the setting for assessments without a current
// question), so the forty questions go down as one batch.
//
// Manual time: each iteration's time is that span. Counters: p50_ms and max_ms over the run,
// fetches the assessment-document requests of the last activation (2: document and metadata).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>

#include "ReceiverBench.h"
#include "bench/BenchMode.h"
#include "tests/tools/ChoiceAssessment.h"
#include "tools/service-sim/Scenario.h"

namespace {

using namespace ReceiverBench;

constexpr int kQuestions = 40;

ServiceSim::Scenario Classroom() {
  ServiceSim::Scenario lesson = SampleLesson();
  lesson.classes.front().assessments.push_back(ChoiceAssessment("forty", kQuestions));
  return lesson;
}

Stack* g_stack = nullptr;
std::string g_error;

void BM_AssessmentToTheRadio(benchmark::State& state) {
  if (!g_stack) return state.SkipWithError(("set-up failed: " + g_error).c_str());
  Stack& stack = *g_stack;
  std::vector<double> spans;
  for (auto _ : state) {
    const size_t before = QuestionBatches(stack.simulator->Received());
    const size_t fetches = stack.service.Manager().Count("database");
    if (!stack.Teacher("activate-assessment forty")) return state.SkipWithError("the assessment did not start");
    const Voxlet::ClientPtr client = stack.session->ServiceClient();
    if (!client) return state.SkipWithError("no client");
    const Clock::time_point start = Clock::now();
    stack.session->OnClientTick(*client);
    const bool down = stack.WaitForQuestionBatch(before);
    const Clock::time_point end = Clock::now();
    if (!down) return state.SkipWithError("no question batch");
    spans.push_back(Millis(end - start));
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    state.counters["fetches"] = static_cast<double>(stack.service.Manager().Count("database") - fetches);

    // Back to no assessment before the next round.
    state.PauseTiming();
    const bool reset = stack.Teacher("deactivate-assessment") && stack.PollOnce() && stack.Settle();
    state.ResumeTiming();
    if (!reset) return state.SkipWithError("the assessment did not stop");
  }
  state.counters["p50_ms"] = Percentile(spans, 0.5);
  state.counters["max_ms"] = spans.empty() ? 0 : *std::max_element(spans.begin(), spans.end());
}
BENCHMARK(BM_AssessmentToTheRadio)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(ovanta_bench::Iterations(30));

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  {
    Stack stack(Classroom());
    SessionEnvironment sessionEnv;
    sessionEnv.sendWholeAssessment = true;
    g_error = stack.Start(SimulatorConfig{}, sessionEnv);
    if (g_error.empty()) g_error = stack.StartClass("class-1");
    if (g_error.empty() && !stack.Settle()) g_error = "the receiver's client did not settle";
    if (g_error.empty()) g_stack = &stack;
    benchmark::RunSpecifiedBenchmarks();
    g_stack = nullptr;
  }
  benchmark::Shutdown();
  return 0;
}
