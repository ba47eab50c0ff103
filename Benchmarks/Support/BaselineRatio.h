#pragma once

#include <benchmark/benchmark.h>

#include <chrono>

namespace benchsupport {

// Times `ours` and `baseline` alternately in every iteration, so both see the same machine state, and reports
// microseconds per call of each and their ratio (ours / baseline). Register with ->UseManualTime(): the reported
// time is ours.
template <class Ours, class Baseline>
void MeasureAgainstBaseline(benchmark::State& state, Ours&& ours, Baseline&& baseline) {
  using Clock = std::chrono::steady_clock;
  std::chrono::duration<double> oursTotal{0}, baselineTotal{0};
  for (auto _ : state) {
    auto const start = Clock::now();
    baseline();
    auto const middle = Clock::now();
    ours();
    auto const end = Clock::now();
    baselineTotal += middle - start;
    oursTotal += end - middle;
    state.SetIterationTime(std::chrono::duration<double>(end - middle).count());
  }
  double const iterations = static_cast<double>(state.iterations());
  state.counters["ours_us"] = oursTotal.count() / iterations * 1e6;
  state.counters["baseline_us"] = baselineTotal.count() / iterations * 1e6;
  state.counters["ratio"] = oursTotal.count() / baselineTotal.count();
}

}  // namespace benchsupport
