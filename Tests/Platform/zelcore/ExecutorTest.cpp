#include "zelcore/Executor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Foundation/ManualExecutor.h"
#include "zelcore/Logging.h"

namespace {

using namespace zelcore::async;
using namespace std::chrono_literals;

// Counts events; tests wait for a number of them with a generous deadline instead of sleeping.
class Events {
 public:
  void Add() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool WaitFor(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

using ManualExecutor = zelcore::async::test_support::ManualExecutor;

TEST(ExecutorTest, SubExecutorNeverRunsMoreThanItsWidth) {
  for (std::size_t const width : {1, 2, 3}) {
    SCOPED_TRACE(width);
    // Four test threads serve the parent, so only the sub-executor's width limits the tasks.
    auto parent = std::make_shared<ManualExecutor>();
    auto executor = CreateSubExecutor(parent, width);
    std::atomic<int> active = 0, maxActive = 0, ran = 0;
    executor->Pause();  // half the tasks get their runners from Resume, half from Execute
    for (int i = 0; i < 200; ++i) {
      if (i == 100) executor->Resume();
      ASSERT_TRUE(executor->Execute([&] {
        int const now = ++active;
        int seen = maxActive.load();
        while (now > seen && !maxActive.compare_exchange_weak(seen, now)) {
        }
        for (int spin = 0; spin < 5; ++spin) std::this_thread::yield();
        --active;
        ++ran;
      }));
    }
    std::vector<std::thread> workers;
    auto const deadline = std::chrono::steady_clock::now() + 10s;
    for (int i = 0; i < 4; ++i) {
      workers.emplace_back([&] {
        while (ran < 200 && std::chrono::steady_clock::now() < deadline) {
          if (!parent->RunAll()) std::this_thread::yield();
        }
      });
    }
    for (auto& worker : workers) worker.join();
    EXPECT_EQ(ran.load(), 200);
    EXPECT_LE(maxActive.load(), static_cast<int>(width));
  }
}

TEST(ExecutorTest, WidthOneRunsInFifoOrderAndSurvivesThrowingTasks) {
  std::vector<zelcore::logging::LoggedException> logged;
  auto const previousSink = zelcore::logging::SetLogSink([&](auto const& e) { logged.push_back(e); });
  auto executor = CreateSubExecutor(GetDefaultExecutor(), 1);
  std::vector<int> order;  // unguarded on purpose: a width-1 executor runs one task at a time
  for (int i = 0; i < 1000; ++i) {
    executor->Execute([&order, i] {
      order.push_back(i);
      if (i == 500) throw std::runtime_error("task failed");
    });
  }
  executor->Drain();
  zelcore::logging::SetLogSink(previousSink);
  ASSERT_EQ(order.size(), 1000u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].message, "task failed");
}

TEST(ExecutorTest, PauseHoldsTasksOfTheExecutorAndOfItsChildren) {
  auto manual = std::make_shared<ManualExecutor>();
  auto parent = CreateSubExecutor(manual, 1);
  auto child = CreateSubExecutor(parent, 1);
  std::vector<int> ran;

  // A task that pauses its own executor finishes; the next one waits for Resume and keeps its place.
  parent->Execute([&] {
    parent->Pause();
    parent->Execute([&] { ran.push_back(3); });
    ran.push_back(1);
  });
  parent->Execute([&] { ran.push_back(2); });
  manual->RunAll();
  EXPECT_EQ(ran, (std::vector<int>{1}));
  parent->Resume();
  manual->RunAll();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));

  // Pausing the parent holds the child, also in the middle of a batch of the child's tasks.
  child->Execute([&] {
    parent->Pause();
    ran.push_back(4);
  });
  child->Execute([&] { ran.push_back(5); });
  manual->RunAll();
  child->Execute([&] { ran.push_back(6); });
  manual->RunAll();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
  parent->Drain();  // held tasks do not count
  parent->Resume();
  manual->RunAll();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4, 5, 6}));

  // The pool itself: no worker takes a task while it is paused.
  auto const pool = GetDefaultExecutor();
  std::atomic<bool> poolRan = false;
  Events done;
  pool->Pause();
  pool->Execute([&] {
    poolRan = true;
    done.Add();
  });
  pool->Drain();
  EXPECT_FALSE(poolRan);
  pool->Resume();
  EXPECT_TRUE(done.WaitFor(1));
}

TEST(ExecutorTest, LongQueueOfASerialExecutorLeavesRoomForItsParent) {
  auto manual = std::make_shared<ManualExecutor>();
  auto serial = CreateSubExecutor(manual, 1);
  std::vector<int> order;
  for (int i = 0; i < 200; ++i) serial->Execute([&order, i] { order.push_back(i); });
  manual->Execute([&] { order.push_back(-1); });
  manual->RunAll();
  ASSERT_EQ(order.size(), 201u);
  EXPECT_LT(std::find(order.begin(), order.end(), -1) - order.begin(), 200);
}

TEST(ExecutorTest, ShutdownDestroysQueuedTasksAndLetsTheRunningOneFinish) {
  auto executor = CreateSubExecutor(GetDefaultExecutor(), 1);
  Events started, finished;
  std::atomic<bool> release = false;
  executor->Execute([&] {
    started.Add();
    while (!release) std::this_thread::yield();
    finished.Add();
  });
  ASSERT_TRUE(started.WaitFor(1));
  std::atomic<int> ran = 0;
  auto token = std::make_shared<int>();  // every queued task holds a copy: counts the live ones
  for (int i = 0; i < 3; ++i) executor->Execute([&ran, token] { ++ran; });
  // A task destroyed unrun whose destructor calls back into the executor must not deadlock it.
  std::shared_ptr<void> callsBack(nullptr, [raw = executor.get()](void*) { EXPECT_FALSE(raw->Execute([] {})); });
  executor->Execute([callsBack = std::move(callsBack)] {});

  executor->Shutdown();
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_TRUE(executor->IsShutdown());
  EXPECT_FALSE(executor->Execute([] {}));
  EXPECT_FALSE(CallAsync(executor, [] {}));
  EXPECT_FALSE(CallAsync(
      executor, [] {}, 5));
  EXPECT_FALSE(CallAsync(nullptr, [] {}));
  release = true;
  EXPECT_TRUE(finished.WaitFor(1));
  executor->Drain();
  EXPECT_EQ(ran.load(), 0);

  // Shutdown from one of its own tasks does not wait for that task, and drops the rest of its batch.
  auto manual = std::make_shared<ManualExecutor>();
  auto self = CreateSubExecutor(manual, 1);
  bool returned = false;
  self->Execute([&] {
    self->Shutdown();
    returned = true;
  });
  for (int i = 0; i < 2; ++i) self->Execute([&ran, token] { ++ran; });
  manual->RunAll();
  EXPECT_TRUE(returned);
  EXPECT_EQ(token.use_count(), 1);

  // A shut-down parent drops the runner of a child, which shuts the child down.
  auto parent = CreateSubExecutor(std::make_shared<ManualExecutor>(), 1);
  auto child = CreateSubExecutor(parent, 1);
  parent->Pause();
  child->Execute([&ran, token] { ++ran; });
  parent->Shutdown();
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_TRUE(child->IsShutdown());
  EXPECT_FALSE(child->Execute([] {}));
  EXPECT_EQ(ran.load(), 0);
}

TEST(ExecutorTest, DelayedCallsRunAfterTheirDelayInDeadlineOrder) {
  auto executor = CreateSubExecutor(GetDefaultExecutor(), 1);
  auto const start = std::chrono::steady_clock::now();
  std::vector<int> order;
  bool early = false;
  Events ran;
  for (int delay : {0, 90, 30, 60}) {
    auto task = [&, delay] {
      early = early || std::chrono::steady_clock::now() - start < std::chrono::milliseconds(delay);
      order.push_back(delay);
      ran.Add();
    };
    ASSERT_TRUE(CallAsync(executor, task, details::DurationToInteger(std::chrono::milliseconds(delay))));
  }
  ASSERT_TRUE(ran.WaitFor(4));
  EXPECT_FALSE(early);
  EXPECT_EQ(order, (std::vector<int>{0, 30, 60, 90}));

  // A task that the executor refuses when its time comes is destroyed unrun.
  auto refusing = std::make_shared<ManualExecutor>();
  refusing->refusing = true;
  auto token = std::make_shared<int>();
  Events destroyed;
  auto notifier = std::shared_ptr<void>(nullptr, [&](void*) { destroyed.Add(); });
  ASSERT_TRUE(CallAsync(
      refusing, [token, notifier = std::move(notifier)] { *token = 1; }, 1));
  EXPECT_TRUE(destroyed.WaitFor(1));
  EXPECT_EQ(*token, 0);
}

TEST(ExecutorTest, PreTerminationDrainRunsEverythingQueuedOnItsSubExecutors) {
  EXPECT_EQ(CreatePreTerminationExecutor(), CreatePreTerminationExecutor());
  auto store = CreateSubExecutor(CreatePreTerminationExecutor(), 1);
  std::atomic<int> ran = 0;
  // Each task queues the next one, so most of the work is queued while Drain already waits.
  std::function<void(int)> chain = [&](int left) {
    ++ran;
    if (left > 0) store->Execute([&chain, left] { chain(left - 1); });
  };
  for (int i = 0; i < 10; ++i) store->Execute([&] { chain(99); });
  store->Pause();  // the pre-termination drain resumes it
  CreatePreTerminationExecutor()->Drain();
  EXPECT_EQ(ran.load(), 1000);
}

TEST(ExecutorTest, DroppingASubExecutorKeepsHandedOverTasksAndDestroysHeldOnes) {
  std::atomic<int> ran = 0;
  auto token = std::make_shared<int>();
  CreateSubExecutor(GetDefaultExecutor(), 1)->Execute([&ran] { ++ran; });
  {
    auto executor = CreateSubExecutor(GetDefaultExecutor(), 1);
    for (int i = 0; i < 200; ++i) executor->Execute([&ran] { ++ran; });
    auto paused = CreateSubExecutor(GetDefaultExecutor(), 1);
    paused->Pause();
    paused->Execute([&ran, token] { ++ran; });
  }
  EXPECT_EQ(token.use_count(), 1);
  GetDefaultExecutor()->Drain();
  EXPECT_EQ(ran.load(), 201);
}

TEST(ExecutorTest, ManyThreadsPostingRunEveryTaskExactlyOnce) {
  auto greedy = CreateGreedySubExecutor();
  std::vector<std::shared_ptr<AsyncExecutor>> const targets = {GetDefaultExecutor(), greedy,
                                                               CreateSubExecutor(greedy, 2)};
  constexpr int kThreads = 6, kPerThread = 2000;
  std::vector<std::atomic<int>> runs(kThreads * kPerThread);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i) {
        ASSERT_TRUE(targets[i % targets.size()]->Execute([&runs, i] { ++runs[i]; }));
      }
    });
  }
  for (auto& poster : posters) poster.join();
  GetDefaultExecutor()->Drain();
  EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), kThreads * kPerThread);
}

// Idle workers watch the queue for a while before they sleep; a task must start whether it arrives while one
// watches, as the watch ends, or once all sleep.
TEST(ExecutorTest, LoneTasksRunWhateverTheGapBeforeThem) {
  Events ran;
  std::vector<std::chrono::microseconds> const gaps = {0us, 20us, 45us, 50us, 55us, 100us, 300us};
  for (int i = 0; i < 140; ++i) {
    std::this_thread::sleep_for(gaps[i % gaps.size()]);
    ASSERT_TRUE(GetDefaultExecutor()->Execute([&ran] { ran.Add(); }));
    ASSERT_TRUE(ran.WaitFor(i + 1)) << "task " << i << " never ran";
  }
}

TEST(ExecutorTest, KnowsWhetherTheCallingThreadRunsItsTasks) {
  auto greedy = CreateGreedySubExecutor();
  auto child = CreateSubExecutor(greedy, 1);
  auto sibling = CreateSubExecutor(greedy, 1);
  std::vector<bool> answers;
  child->Execute([&] {
    answers = {child->IsRunningOnCurrentThread(), greedy->IsRunningOnCurrentThread(),
               GetDefaultExecutor()->IsRunningOnCurrentThread(), sibling->IsRunningOnCurrentThread()};
  });
  greedy->Drain();
  EXPECT_EQ(answers, (std::vector<bool>{true, true, true, false}));
  EXPECT_FALSE(child->IsRunningOnCurrentThread());
  EXPECT_THROW(CreateSubExecutor(nullptr, 1), std::invalid_argument);
  EXPECT_THROW(CreateSubExecutor(greedy, 0), std::invalid_argument);
}

}  // namespace
