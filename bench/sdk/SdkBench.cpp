// SDK messaging: a blocking ping's round trip over loopback, and the receiver-list message.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "sdk/SdkClient.h"
#include "sdk/SdkMessages.h"
#include "sdk/server/SdkServerFactory.h"

namespace {

// Round trip of ping (id 6) and its answer (id 7) through the server's incoming-message
// thread; p50 and p99 over the run's iterations are reported as counters (microseconds).
void BM_BlockingPingRoundTrip(benchmark::State& state) {
  auto server = StartSdkServer(nullptr);
  CSdkClient client;
  if (!server || !client.Connect(static_cast<uint16_t>(server->Port()))) {
    state.SkipWithError("no SDK server");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const bool answered = client.Ping();
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    if (!answered) state.SkipWithError("ping unanswered");
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  }
}
BENCHMARK(BM_BlockingPingRoundTrip)->UseRealTime();

std::vector<ReceiverStatusW> EightReceivers() {
  std::vector<ReceiverStatusW> records(8);
  for (uint32_t i = 0; i < records.size(); ++i) {
    records[i].receiverNumber = i;
    records[i].receiverState = 1 + i % 3;
    CStatusMessage::SetName(records[i], u"/dev/ttyACM" + std::u16string(1, static_cast<char16_t>(u'0' + i)));
  }
  return records;
}

void BM_StatusEncode(benchmark::State& state) {
  const CStatusMessage status(EightReceivers());
  size_t bytes = 0;
  for (auto _ : state) {
    auto frame = status.Write();
    bytes += frame->Frame().size();
    benchmark::DoNotOptimize(frame);
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusEncode);

void BM_StatusDecode(benchmark::State& state) {
  const auto frame = CStatusMessage(EightReceivers()).Write();
  for (auto _ : state) {
    CStatusMessage status;
    const bool read = status.Read(*frame);
    benchmark::DoNotOptimize(read);
  }
  state.SetBytesProcessed(static_cast<int64_t>(frame->Frame().size() * state.iterations()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StatusDecode);

}  // namespace

BENCHMARK_MAIN();
