#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "Foundation/Future.h"
#include "Foundation/InlineExecutor.h"

namespace zelcore::async {
namespace {

// Ends `promise` one of four ways: value, exception, cancellation, or dropping it (which breaks it).
void End(std::optional<Promise<int>> promise, unsigned how) {
  if (!promise) return;
  switch (how % 4) {
    case 0:
      promise->Fulfill(static_cast<int>(how));
      break;
    case 1:
      promise->Fail(std::make_exception_ptr(std::runtime_error("stress")));
      break;
    case 2:
      promise->GetFuture().Cancel();
      break;
    default:
      break;
  }
}

TEST(FutureStressTest, ManyThreadsCompleteChainAndAbandonFuturesAtOnce) {
  constexpr std::size_t kThreads = 4;
  constexpr std::size_t kRounds = 800;
  constexpr std::size_t kTrackedPerRound = 3;
  constexpr std::size_t kSlots = 16;
  std::shared_ptr<AsyncExecutor> const pool = GetDefaultExecutor();
  std::shared_ptr<AsyncExecutor> const inl = GetInlineExecutor();

  // Promises that any thread may take out and end.
  std::mutex mutex;
  std::vector<std::optional<Promise<int>>> slots(kSlots);
  auto swap = [&](std::size_t slot, std::optional<Promise<int>> promise) {
    std::lock_guard<std::mutex> lock(mutex);
    return std::exchange(slots[slot], std::move(promise));  // ended by the caller, outside the lock
  };

  std::vector<std::atomic<int>> runs(kThreads * kRounds * kTrackedPerRound);
  std::atomic<std::size_t> totalRuns{0};
  auto track = [&](std::size_t id) {
    return [&runs, &totalRuns, id] {
      runs[id].fetch_add(1);
      totalRuns.fetch_add(1);
    };
  };

  auto worker = [&](std::size_t thread) {
    std::mt19937 random(static_cast<unsigned>(thread) + 1);
    for (std::size_t round = 0; round < kRounds; ++round) {
      std::size_t const id = (thread * kRounds + round) * kTrackedPerRound;
      Promise<int> promise;
      Future<int> future = promise.GetFuture();
      // Continuations that must run exactly once, whatever the outcome; nobody keeps their results.
      IgnoreExceptionsFuture(future).OnSuccessWithExecutor(inl, track(id));
      IgnoreExceptionsFuture(future).OnSuccessWithExecutor(pool, track(id + 1));
      Promise<int> forwarded;
      forwarded.Fulfill(future);
      IgnoreExceptionsFuture(forwarded.GetFuture()).OnSuccessWithExecutor(random() % 2 ? pool : inl, track(id + 2));
      // A continuation that ends another promise, which may chain back to this one.
      future.OnSuccessWithExecutor(random() % 2 ? pool : inl, [&swap, slot = random() % kSlots, how = random()](int) {
        End(swap(slot, std::nullopt), how);
      });
      // Work abandoned at once, or wanted only through a weak future.
      WeakFuture<int> abandoned =
          AsyncWithExecutorAndContinuationExecutorAndDelay(pool, std::chrono::milliseconds(0), inl, [] { return 1; });
      End(swap(random() % kSlots, std::move(promise)), random());
      End(swap(random() % kSlots, std::nullopt), random());
      if (random() % 3 == 0) future = Future<int>();
    }
  };

  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  for (auto& thread : threads) thread.join();
  for (std::size_t slot = 0; slot < kSlots; ++slot) swap(slot, std::nullopt);  // every promise left breaks

  auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (totalRuns.load() < runs.size() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  pool->Drain();  // nothing queued may outlive the locals it refers to
  std::size_t wrong = 0;
  for (auto const& count : runs) wrong += count.load() != 1;
  EXPECT_EQ(wrong, 0u) << "continuations that did not run exactly once, of " << runs.size();
  EXPECT_EQ(totalRuns.load(), runs.size());
}

}  // namespace
}  // namespace zelcore::async
