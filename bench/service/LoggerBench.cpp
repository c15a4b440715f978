// The cost of a log call on the caller's thread, and the writer's lines per second, for
// CLogger and, in the same run, spdlog's asynchronous logger writing the same lines.
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "bench/BenchMode.h"
#include "log/Logger.h"

namespace {

std::string TempLog(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string("ovanta-bench-") + name + ".log")).string();
}

constexpr const char* kSource = "ReceiverProtocolHandler.cpp";

void BM_CLogger_CallerCost(benchmark::State& state) {
  const std::string path = TempLog("clogger-caller");
  std::filesystem::remove(path);
  CLogger logger(nullptr);
  logger.Open(path);
  logger.SetMask(0x15);
  uint32_t n = 0;
  for (auto _ : state) {
    logger.Log(kSource, 321, kLogPacket, "%s - CHANNEL packet: addr - %u, channel - %u", "/dev/ttyACM0", n & 0xFFFF,
               n % 16);
    ++n;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Spdlog_CallerCost(benchmark::State& state) {
  const std::string path = TempLog("spdlog-caller");
  std::filesystem::remove(path);
  spdlog::init_thread_pool(1 << 16, 1);
  auto logger = spdlog::create_async_nb<spdlog::sinks::basic_file_sink_mt>("caller", path);
  logger->set_pattern("%v");
  uint32_t n = 0;
  for (auto _ : state) {
    logger->info("{} - CHANNEL packet: addr - {}, channel - {}", "/dev/ttyACM0", n & 0xFFFF, n % 16);
    ++n;
  }
  state.SetItemsProcessed(state.iterations());
  logger->flush();
  spdlog::drop_all();
  spdlog::shutdown();
}

constexpr int kWriterLines = 200000;

// Lines per second from the first call until every line is on disk.
void BM_CLogger_WriterThroughput(benchmark::State& state) {
  const std::string path = TempLog("clogger-writer");
  for (auto _ : state) {
    std::filesystem::remove(path);
    const auto start = std::chrono::steady_clock::now();
    {
      CLogger logger(nullptr);
      logger.Open(path);
      logger.SetMask(0x15);
      for (int i = 0; i < kWriterLines; ++i)
        logger.Log(kSource, 321, kLogPacket, "%s - CHANNEL packet: addr - %u, channel - %u", "/dev/ttyACM0",
                   static_cast<unsigned>(i & 0xFFFF), static_cast<unsigned>(i % 16));
    }  // destruction writes whatever is still queued
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["lines_per_s"] = kWriterLines / seconds;
  }
}

void BM_Spdlog_WriterThroughput(benchmark::State& state) {
  const std::string path = TempLog("spdlog-writer");
  for (auto _ : state) {
    std::filesystem::remove(path);
    const auto start = std::chrono::steady_clock::now();
    {
      spdlog::init_thread_pool(1 << 16, 1);
      auto logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("writer", path);
      for (int i = 0; i < kWriterLines; ++i)
        logger->info("{} - CHANNEL packet: addr - {}, channel - {}", "/dev/ttyACM0", i & 0xFFFF, i % 16);
      spdlog::drop_all();
      spdlog::shutdown();  // joins the worker after the queue is written
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    state.counters["lines_per_s"] = kWriterLines / seconds;
  }
}

}  // namespace

BENCHMARK(BM_CLogger_CallerCost)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Spdlog_CallerCost)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_CLogger_WriterThroughput)
    ->UseManualTime()
    ->Iterations(ovanta_bench::Iterations(3))
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Spdlog_WriterThroughput)
    ->UseManualTime()
    ->Iterations(ovanta_bench::Iterations(3))
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
