// Empty-task throughput: the default pool, a width-1 sub-executor of it, and Boost.Thread's basic_thread_pool;
// and chains of tasks that each post the next, as futures' continuations do.

#define BOOST_THREAD_VERSION 5
#define BOOST_THREAD_PROVIDES_EXECUTORS

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <boost/thread/executors/basic_thread_pool.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zelcore/Executor.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBatch = 100000;
constexpr int kChain = 10000;

// Every measured tasks-per-second figure of each benchmark (one per repetition), for the ratios at the end.
std::map<std::string, std::vector<double>>& Results() {
  static std::map<std::string, std::vector<double>> results;
  return results;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Counts the batch down; the task that ends it wakes the poster.
class Countdown {
 public:
  void Reset(int count) { remaining_.store(count, std::memory_order_relaxed); }
  void Done() {
    if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard lock(mutex_);
      finished_ = true;
      changed_.notify_one();
    }
  }
  void Wait() {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(60), [this] { return finished_; })) std::abort();
    finished_ = false;
  }

 private:
  std::atomic<int> remaining_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  bool finished_ = false;
};

// Posts batches of empty tasks with `post` and reports tasks per second.
template <class Post>
void RunBatches(benchmark::State& state, char const* name, Post&& post) {
  Countdown countdown;
  std::int64_t tasks = 0;
  Clock::duration elapsed{};
  for (auto _ : state) {
    auto const start = Clock::now();
    countdown.Reset(kBatch);
    for (int i = 0; i < kBatch; ++i) post([&countdown] { countdown.Done(); });
    countdown.Wait();
    elapsed += Clock::now() - start;
    tasks += kBatch;
  }
  state.SetItemsProcessed(tasks);
  Results()[name].push_back(static_cast<double>(tasks) / std::chrono::duration<double>(elapsed).count());
}

// Each task posts the next one, as continuations do: one hop at a time through the executor.
template <class Post>
void RunChains(benchmark::State& state, char const* name, Post&& post) {
  Countdown countdown;
  std::function<void(int)> hop = [&](int left) {
    if (left == 0) {
      countdown.Done();
    } else {
      post([&hop, left] { hop(left - 1); });
    }
  };
  std::int64_t hops = 0;
  Clock::duration elapsed{};
  for (auto _ : state) {
    auto const start = Clock::now();
    countdown.Reset(1);
    hop(kChain);
    countdown.Wait();
    elapsed += Clock::now() - start;
    hops += kChain;
  }
  state.SetItemsProcessed(hops);
  Results()[name].push_back(static_cast<double>(hops) / std::chrono::duration<double>(elapsed).count());
}

void BM_EmptyTasks_DefaultPool(benchmark::State& state) {
  auto const pool = zelcore::async::GetDefaultExecutor();
  RunBatches(state, "pool", [&](auto task) {
    if (!pool->Execute(std::move(task))) std::abort();
  });
}

void BM_EmptyTasks_WidthOneSubExecutor(benchmark::State& state) {
  auto const serial = zelcore::async::CreateSubExecutor(zelcore::async::GetDefaultExecutor(), 1);
  RunBatches(state, "serial", [&](auto task) {
    if (!serial->Execute(std::move(task))) std::abort();
  });
}

boost::executors::basic_thread_pool& BoostPool() {
  static boost::executors::basic_thread_pool pool(2);
  return pool;
}

void BM_EmptyTasks_BoostThreadPool(benchmark::State& state) {
  RunBatches(state, "boost", [&](auto task) { BoostPool().submit(std::move(task)); });
}

void BM_Chain_DefaultPool(benchmark::State& state) {
  auto const pool = zelcore::async::GetDefaultExecutor();
  RunChains(state, "pool chain", [&](auto task) {
    if (!pool->Execute(std::move(task))) std::abort();
  });
}

void BM_Chain_BoostThreadPool(benchmark::State& state) {
  RunChains(state, "boost chain", [&](auto task) { BoostPool().submit(std::move(task)); });
}

BENCHMARK(BM_EmptyTasks_DefaultPool)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmptyTasks_WidthOneSubExecutor)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmptyTasks_BoostThreadPool)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Chain_DefaultPool)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Chain_BoostThreadPool)->UseRealTime()->Unit(benchmark::kMillisecond);

void PrintRatio(char const* what, char const* ours, char const* baseline, double goal) {
  auto const& results = Results();
  auto o = results.find(ours);
  auto b = results.find(baseline);
  if (o == results.end() || b == results.end()) return;
  double const oursRate = Median(o->second);
  double const baselineRate = Median(b->second);
  double const ratio = oursRate / baselineRate;
  std::printf("%-40s %6.2fM vs %6.2fM tasks/s (medians): %.2fx", what, oursRate / 1e6, baselineRate / 1e6, ratio);
  if (goal > 0) std::printf(" (goal >= %.2fx) %s", goal, ratio >= goal ? "met" : "MISSED");
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\n");
  PrintRatio("width-1 sub-executor vs default pool", "serial", "pool", 0.7);
  PrintRatio("default pool vs Boost basic_thread_pool", "pool", "boost", 0);
  PrintRatio("chain of hops, default pool vs Boost", "pool chain", "boost chain", 0);
  benchmark::Shutdown();
  return 0;
}
