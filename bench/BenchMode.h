// What every benchmark program shares: the short mode CI runs them in, and how a target is
// reported so that the run can fail on a missed one.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace ovanta_bench {

// With OVANTA_BENCH_SHORT set (scripts/bench), a benchmark with a fixed number of iterations
// runs a tenth of them, at least two: enough to show that it works and what it roughly gives.
inline int Iterations(int full) { return std::getenv("OVANTA_BENCH_SHORT") ? std::max(2, full / 10) : full; }

// A target the benchmark is held to: a counter "target_<name>", 1 when met, 0 when missed.
// scripts/bench fails a run in which any target counter is 0.
inline void Target(benchmark::State& state, const std::string& name, bool met) {
  state.counters["target_" + name] = met ? 1 : 0;
}

}  // namespace ovanta_bench
